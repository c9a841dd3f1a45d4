// A small model of the ECR and the ECP FIFO behind the recording fake, for the block transfers.
//
// The ECR keeps the bits written to it (mode, nErrIntrEn, dmaEn, serviceIntr) and computes the
// empty and full flags from the queue. serviceIntr is armed by writing it 0; the port sets it when
// the FIFO reaches its threshold: free bytes >= write threshold going forward, waiting bytes >=
// read threshold in reverse. A change to SPP or PS/2 mode empties the FIFO, as the hardware does.
//
// The peripheral acts before every ECR or FIFO access: forward (ECP mode, data lines forward) it
// takes up to `take` bytes; in reverse (ECP mode, data lines reversed, nReverseRequest low) it
// pushes bytes from `source`, one every `interval_us` of virtual time (0: as fast as the FIFO
// takes them). A write to a full FIFO fails the test: that byte would be lost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "tests/ieee1284/link_fixture.h"

namespace linktest {

class fifo_model {
public:
    fifo_model(fake::fake_io &io, const uint8_t &ctl) : io_(io), ctl_(ctl) {
        io.on_read(kEcr, [this] { return read_ecr(); });
        io.on_write(kEcr, [this](uint8_t v) { write_ecr(v); });
        io.on_read(kFifo, [this] { return read_fifo(); });
        io.on_write(kFifo, [this](uint8_t v) { write_fifo(v); });
    }

    uint8_t ecr = 0x34;          // PS/2 mode, nErrIntrEn and serviceIntr set, as opening leaves it
    size_t size = 16;
    size_t write_threshold = 8;
    size_t read_threshold = 8;
    bool service_works = true;   // false: the port never raises serviceIntr
    std::deque<uint8_t> q;       // the FIFO, front first

    // Forward peripheral: bytes taken per access, and what it has received.
    size_t take = 0;
    std::vector<uint8_t> received;

    // Reverse peripheral: what it still has to send, and its pace.
    std::deque<uint8_t> source;
    int64_t interval_us = 0;

    int overflows = 0;
    // Called first at every access, for peripherals whose behaviour changes over time.
    std::function<void(fifo_model &)> before;

    uint8_t mode() const { return ecr & 0xE0; }

private:
    bool forward() const { return mode() == 0x60 && !(ctl_ & 0x20); }
    bool reverse() const { return mode() == 0x60 && (ctl_ & 0x20) && !(ctl_ & 0x04); }

    void peripheral() {
        if (before)
            before(*this);
        if (forward()) {
            for (size_t i = 0; i < take && !q.empty(); i++) {
                received.push_back(q.front());
                q.pop_front();
            }
        } else if (reverse()) {
            while (!source.empty() && q.size() < size && io_.now_us >= next_us_) {
                q.push_back(source.front());
                source.pop_front();
                next_us_ = interval_us ? std::max(next_us_, io_.now_us) + interval_us : 0;
            }
        }
        if (service_works && !(ecr & 0x04)) {
            const bool due = (ctl_ & 0x20) ? q.size() >= read_threshold : size - q.size() >= write_threshold;
            if (due)
                ecr |= 0x04;
        }
    }

    uint8_t read_ecr() {
        peripheral();
        return uint8_t((ecr & 0xFC) | (q.empty() ? 0x01 : 0) | (q.size() >= size ? 0x02 : 0));
    }

    void write_ecr(uint8_t v) {
        const uint8_t m = v & 0xE0;
        if (m == 0x00 || m == 0x20)
            q.clear();
        if (m != mode())
            next_us_ = 0;
        ecr = v & 0xFC;
    }

    uint8_t read_fifo() {
        peripheral();
        if (q.empty()) {
            ADD_FAILURE() << "read of an empty FIFO";
            return 0xFF;
        }
        const uint8_t b = q.front();
        q.pop_front();
        return b;
    }

    void write_fifo(uint8_t v) {
        peripheral();
        if (q.size() >= size) {
            overflows++;
            return;
        }
        q.push_back(v);
    }

    fake::fake_io &io_;
    const uint8_t &ctl_;
    int64_t next_us_ = 0;
};

}  // namespace linktest
