#include "tests/support/fake_io.h"

#include <cstdio>

#include <gtest/gtest.h>

#include "port/regs.h"

namespace fake {

fake_io::fake_io()
    : backend_{"fake", do_acquire, do_inb, do_outb, do_outsb, do_insb, do_gettime, do_sleep, this, nullptr, nullptr, nullptr} {
    lp_io_use(&backend_);
    lp_port_forget();
}

fake_io::~fake_io() {
    // Only hand the process back if it is still ours; the x86 backend is the default.
    if (lp_io_current() == &backend_)
        lp_io_use(&lp_io_x86);
}

void fake_io::set(uint16_t addr, uint8_t value) { reads_[addr] = script{{value}, 0, nullptr}; }

void fake_io::sequence(uint16_t addr, std::vector<uint8_t> values) {
    reads_[addr] = script{std::move(values), 0, nullptr};
}

void fake_io::on_read(uint16_t addr, std::function<uint8_t()> fn) {
    reads_[addr] = script{{}, 0, std::move(fn)};
}

void fake_io::on_write(uint16_t addr, std::function<void(uint8_t)> fn) { writes_[addr] = std::move(fn); }

void fake_io::forbid(uint16_t addr) { forbidden_.insert(addr); }

uint8_t fake_io::read(uint16_t addr) {
    auto it = reads_.find(addr);
    if (it == reads_.end() || (!it->second.fn && it->second.values.empty())) {
        ADD_FAILURE() << "fake_io: read of unscripted address 0x" << std::hex << addr;
        return 0xFF;
    }
    script &s = it->second;
    if (s.fn)
        return s.fn();
    const uint8_t v = s.values[s.next];
    if (s.next + 1 < s.values.size())
        s.next++;  // the last value repeats
    return v;
}

void fake_io::write(uint16_t addr, uint8_t value) {
    if (forbidden_.count(addr))
        ADD_FAILURE() << "fake_io: write of 0x" << std::hex << int(value) << " to forbidden address 0x"
                      << addr;
    auto it = writes_.find(addr);
    if (it != writes_.end() && it->second)
        it->second(value);
}

int fake_io::do_acquire(void *ctx, long base) {
    fake_io *f = self(ctx);
    f->log.push_back({'A', uint16_t(base), 0, 0, f->now_us});
    return f->acquire_result;
}

uint8_t fake_io::do_inb(void *ctx, uint16_t addr) {
    fake_io *f = self(ctx);
    const int64_t t = f->now_us;
    const uint8_t v = f->read(addr);
    f->log.push_back({'R', addr, v, 1, t});
    f->now_us += f->access_cost_us;
    return v;
}

void fake_io::do_outb(void *ctx, uint16_t addr, uint8_t value) {
    fake_io *f = self(ctx);
    f->log.push_back({'W', addr, value, 1, f->now_us});
    f->write(addr, value);
    f->now_us += f->access_cost_us;
}

void fake_io::do_outsb(void *ctx, uint16_t addr, const uint8_t *bytes, size_t n) {
    fake_io *f = self(ctx);
    f->log.push_back({'O', addr, 0, n, f->now_us});
    for (size_t i = 0; i < n; i++) {
        f->outs.push_back(bytes[i]);
        f->write(addr, bytes[i]);
    }
    // A string out is n I/O cycles on the bus, so it costs like n byte writes.
    f->now_us += f->access_cost_us * int64_t(n);
}

// One log entry for the string, n scripted reads for its bytes: the I/O cycles of n byte reads.
void fake_io::do_insb(void *ctx, uint16_t addr, uint8_t *bytes, size_t n) {
    fake_io *f = self(ctx);
    f->log.push_back({'I', addr, 0, n, f->now_us});
    for (size_t i = 0; i < n; i++)
        bytes[i] = f->read(addr);
    f->now_us += f->access_cost_us * int64_t(n);
}

void fake_io::do_gettime(void *ctx, struct timeval *tv) {
    fake_io *f = self(ctx);
    f->log.push_back({'T', 0, 0, 0, f->now_us});
    tv->tv_sec = time_t(f->now_us / 1'000'000);
    tv->tv_usec = suseconds_t(f->now_us % 1'000'000);
    f->now_us += f->clock_cost_us;
}

void fake_io::do_sleep(void *ctx, unsigned us) {
    fake_io *f = self(ctx);
    f->log.push_back({'S', 0, 0, us, f->now_us});
    f->now_us += us;
}

std::vector<access> fake_io::only(char kind) const {
    std::vector<access> out;
    for (const access &a : log)
        if (a.kind == kind)
            out.push_back(a);
    return out;
}

std::vector<std::pair<char, uint8_t>> fake_io::rw(uint16_t addr) const {
    std::vector<std::pair<char, uint8_t>> out;
    for (const access &a : log)
        if ((a.kind == 'R' || a.kind == 'W') && a.addr == addr)
            out.emplace_back(a.kind, a.value);
    return out;
}

std::string fake_io::str() const {
    std::string out;
    char line[64];
    for (const access &a : log) {
        switch (a.kind) {
        case 'R':
        case 'W':
            snprintf(line, sizeof line, "%c %x %02x\n", a.kind, unsigned(a.addr), unsigned(a.value));
            break;
        case 'O':
        case 'I':
            snprintf(line, sizeof line, "%c %x %zu\n", a.kind, unsigned(a.addr), a.n);
            break;
        case 'S':
            snprintf(line, sizeof line, "S %zu\n", a.n);
            break;
        case 'A':
            snprintf(line, sizeof line, "A %x\n", unsigned(a.addr));
            break;
        default:
            snprintf(line, sizeof line, "%c\n", a.kind);
            break;
        }
        out += line;
    }
    return out;
}

void fake_io::clear() {
    log.clear();
    outs.clear();
}

size_t fake_io::count(char kind) const {
    size_t n = 0;
    for (const access &a : log)
        n += a.kind == kind;
    return n;
}

size_t fake_io::count(char kind, uint16_t addr) const {
    size_t n = 0;
    for (const access &a : log)
        n += a.kind == kind && a.addr == addr;
    return n;
}

}  // namespace fake
