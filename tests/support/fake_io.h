// The recording fake: a backend of the platform seam for unit tests.
//
// Reads are scripted per address (a fixed value, a sequence, or a callback; a string input takes its
// bytes from the same script, one read each); every access, sleep,
// clock read and acquire is logged in order, so a test states the exact sequence it expects. Time
// is virtual: sleeps and accesses advance `now_us` without waiting, so a 5 s time-out costs
// milliseconds. A read nobody scripted, or a write to a forbidden address, fails the test at once
// instead of handing the code under test a plausible value.
//
// Only one fake may live at a time: it installs itself as the process's backend and puts the
// x86 backend back when it dies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "port/io.h"

namespace fake {

struct access {
    char kind;       // 'R' read, 'W' write, 'O' string out, 'I' string in, 'S' sleep, 'T' clock read, 'A' acquire
    uint16_t addr;   // R, W, O, I, A (A: the base address, truncated to 16 bits)
    uint8_t value;   // R: the value returned; W: the value written
    size_t n;        // O, I: byte count; S: microseconds
    int64_t t_us;    // virtual time when the call began
};

class fake_io {
public:
    fake_io();   // installs itself with lp_io_use and calls lp_port_forget()
    ~fake_io();  // restores lp_io_x86
    fake_io(const fake_io &) = delete;
    fake_io &operator=(const fake_io &) = delete;

    // Scripted reads, per address; the latest call for an address wins.
    void set(uint16_t addr, uint8_t value);
    void sequence(uint16_t addr, std::vector<uint8_t> values);  // in turn; the last one repeats
    void on_read(uint16_t addr, std::function<uint8_t()> fn);
    // Observe writes at addr, string-out bytes included (one call per byte).
    void on_write(uint16_t addr, std::function<void(uint8_t)> fn);
    // A write (or string out) to addr fails the test.
    void forbid(uint16_t addr);

    std::vector<access> log;           // every call in order
    std::vector<uint8_t> outs;         // bytes of every string output, in order
    int64_t now_us = 1'000'000'000;    // virtual wall clock in microseconds
    int64_t access_cost_us = 1;        // added per byte read, byte written, and per string-in or -out byte
    int64_t clock_cost_us = 0;         // added on every clock read, after the time is taken
    int acquire_result = 0;            // what acquire returns

    std::vector<access> only(char kind) const;
    std::vector<std::pair<char, uint8_t>> rw(uint16_t addr) const;  // R/W and values at addr
    // The log as text, one line each: "R 37a 0c", "W 37a 2e", "O 778 16", "I 778 8", "S 5", "T", "A 378".
    std::string str() const;
    void clear();  // forget the log and outs; scripts stay

    // Counts, for assertions on long waits where the whole log is too big to compare.
    size_t count(char kind) const;
    size_t count(char kind, uint16_t addr) const;

private:
    struct script {
        std::vector<uint8_t> values;  // fixed value: one element
        size_t next = 0;
        std::function<uint8_t()> fn;
    };

    static fake_io *self(void *ctx) { return static_cast<fake_io *>(ctx); }
    static int do_acquire(void *ctx, long base);
    static uint8_t do_inb(void *ctx, uint16_t addr);
    static void do_outb(void *ctx, uint16_t addr, uint8_t value);
    static void do_outsb(void *ctx, uint16_t addr, const uint8_t *bytes, size_t n);
    static void do_insb(void *ctx, uint16_t addr, uint8_t *bytes, size_t n);
    static void do_gettime(void *ctx, struct timeval *tv);
    static void do_sleep(void *ctx, unsigned us);

    uint8_t read(uint16_t addr);
    void write(uint16_t addr, uint8_t value);

    std::map<uint16_t, script> reads_;
    std::map<uint16_t, std::function<void(uint8_t)>> writes_;
    std::set<uint16_t> forbidden_;
    lp_io_backend backend_;
};

}  // namespace fake
