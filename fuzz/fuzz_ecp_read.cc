// Fuzz target: the software-handshake ECP read against an arbitrary reverse stream.
//
// Input: two bytes of read size (little-endian, taken modulo 4097), one byte whose bit 0 starts
// the link already reversed (else forward, so the read turns it round first), then (status, data)
// pairs. A scripted backend serves them: every STATUS read takes the next pair and returns its
// status, a DATA read returns the data of the pair taken last; once the pairs run out STATUS
// stays 0xF8, a peripheral that never presents a byte. Every access costs 100 us of a virtual
// clock and a sleep advances it, so every time-out ends after a few hundred accesses.
//
// The buffer is exactly the read size, from malloc, so ASan sees a byte stored past its end. The
// backend also follows the handshake: the byte the host acknowledges (HostAck high, event 44) is
// the one it read last, with the status read before it. From the acknowledged bytes alone the
// result is predicted, and the read must give it: run-length counts expanded into the next byte,
// never a channel address or a run that does not fit acknowledged, the count at most the size.
// Only the last acknowledged byte may be missing, when the peripheral never finished its
// handshake (no event 45).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/check.h"
#include "ieee1284/ieee1284.h"
#include "port/io.h"
#include "port/regs.h"

namespace {

constexpr uint16_t kData = 0x378, kStatus = 0x379, kControl = 0x37A;
constexpr uint64_t kAccessUs = 100;
constexpr uint8_t kIdleStatus = 0xF8;

struct acked {
    uint8_t status;  // the last STATUS read before the byte was read
    uint8_t data;
};

struct script {
    const uint8_t *pairs = nullptr;
    size_t npairs = 0;
    size_t next = 0;
    uint8_t status = kIdleStatus, data = 0xFF;  // the pair taken last
    uint8_t last_status = kIdleStatus;
    bool byte_read = false;  // a DATA read since the last acknowledgement
    acked pending{};
    uint8_t control = 0;
    uint64_t now_us = 0;
    std::vector<acked> acks;
};

script the_script;

void tick(script &s) { s.now_us += kAccessUs; }

int s_acquire(void *, long) { return 0; }

uint8_t s_inb(void *ctx, uint16_t addr) {
    script &s = *static_cast<script *>(ctx);
    tick(s);
    if (addr == kStatus) {
        if (s.next < s.npairs) {
            s.status = s.pairs[2 * s.next];
            s.data = s.pairs[2 * s.next + 1];
            s.next++;
        } else {
            s.status = kIdleStatus;
        }
        s.last_status = s.status;
        return s.status;
    }
    if (addr == kData) {
        s.pending = {s.last_status, s.data};
        s.byte_read = true;
        return s.data;
    }
    fuzz::fail("the software read reads register %#x", addr);
}

void s_outb(void *ctx, uint16_t addr, uint8_t value) {
    script &s = *static_cast<script *>(ctx);
    tick(s);
    if (addr != kControl)
        fuzz::fail("the software read writes %02x to register %#x", value, addr);
    if ((s.control & 0x02) && !(value & 0x02)) {  // HostAck high: event 44
        if (!s.byte_read)
            fuzz::fail("a byte acknowledged that was never read");
        s.acks.push_back(s.pending);
        s.byte_read = false;
    }
    s.control = value;
}

void s_outsb(void *, uint16_t addr, const uint8_t *, size_t) { fuzz::fail("string output to %#x", addr); }
void s_insb(void *, uint16_t addr, uint8_t *, size_t) { fuzz::fail("string input from %#x", addr); }

void s_gettime(void *ctx, struct timeval *tv) {
    script &s = *static_cast<script *>(ctx);
    tick(s);
    tv->tv_sec = time_t(s.now_us / 1000000);
    tv->tv_usec = suseconds_t(s.now_us % 1000000);
}

void s_sleep(void *ctx, unsigned us) { static_cast<script *>(ctx)->now_us += us; }

const lp_io_backend kScripted = {"scripted", s_acquire, s_inb, s_outb, s_outsb, s_insb, s_gettime, s_sleep, &the_script,
                                   nullptr, nullptr, nullptr};

// The port as an open ECP link in either direction, set up by hand so no pair goes to a probe.
struct port_data *ecp_port(bool reversed) {
    lp_port_forget();
    struct port_data *p = &port_data;
    p->phys = p;
    p->base = kData;
    p->base_hi = kData + 0x400;
    p->irq = -1;
    p->spin_us = 10;
    p->cad = &cad_data;
    cad_data.port = p;
    cad_data.timeout = 10;
    p->priv = &parport_pc_private_data;
    parport_pc_private_data.ecr_present = 1;
    p->mode = LP_MODE_ECP;
    // Reverse idle: lines reversed, HostAck and nReverseRequest low. Forward idle: nInit high.
    p->phase = reversed ? LP_PH_REV_IDLE : LP_PH_FWD_IDLE;
    priv_ctr = reversed ? 0x22 : 0x04;
    the_script.control = priv_ctr;
    return p;
}

// What the acknowledged bytes say the buffer must hold; fails on an acknowledgement that must
// not have happened. *last gets how many bytes the last acknowledgement added.
std::vector<uint8_t> predicted(const std::vector<acked> &acks, uint64_t len, size_t *last) {
    std::vector<uint8_t> out;
    bool run_pending = false;
    unsigned run = 0;
    *last = 0;
    for (const acked &a : acks) {
        *last = 0;
        if (!run_pending && (a.status & 0x80)) {  // PeriphAck low: a command
            if (a.data & 0x80)
                fuzz::fail("channel address %02x acknowledged", a.data);
            if (out.size() + a.data + 1 > len)
                fuzz::fail("run of %u acknowledged with %zu of %llu bytes stored", a.data + 1u, out.size(),
                           (unsigned long long)len);
            run = a.data + 1u;
            run_pending = true;
            continue;
        }
        *last = run_pending ? run : 1;
        if (out.size() + *last > len)
            fuzz::fail("byte acknowledged with the buffer full (%zu of %llu)", out.size(), (unsigned long long)len);
        out.insert(out.end(), *last, a.data);
        run_pending = false;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::keep_stderr();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3)
        return 0;
    const uint64_t len = (data[0] | unsigned(data[1]) << 8) % 4097;
    const bool reversed = data[2] & 1;
    script &s = the_script;
    s = script{};
    s.pairs = data + 3;
    s.npairs = (size - 3) / 2;
    lp_io_use(&kScripted);
    struct port_data *port = ecp_port(reversed);

    uint8_t *buf = static_cast<uint8_t *>(malloc(len));
    const uint64_t got = lp_ecp_read_data(port, buf, len);
    lp_io_use(nullptr);
    // FUZZ_SHOW=1 tells what a saved input did, to follow it by hand.
    if (getenv("FUZZ_SHOW"))
        dprintf(fuzz::report_fd, "read of %llu: %llu bytes, %zu acknowledged, %zu pairs of %zu taken, phase %d\n",
                (unsigned long long)len, (unsigned long long)got, s.acks.size(), s.next, s.npairs, port->phase);
    if (got > len)
        fuzz::fail("%llu bytes read into %llu", (unsigned long long)got, (unsigned long long)len);
    size_t last;
    const std::vector<uint8_t> want = predicted(s.acks, len, &last);
    if (got != want.size() && got + last != want.size())
        fuzz::fail("%llu bytes read, %zu acknowledged", (unsigned long long)got, want.size());
    if (got && memcmp(buf, want.data(), got) != 0)
        fuzz::fail("the bytes read are not the bytes acknowledged");
    if (port->phase != LP_PH_REV_IDLE && !(got == 0 && port->phase == LP_PH_ECP_DIR_UNKNOWN))
        fuzz::fail("phase %d after the read", port->phase);
    free(buf);
    return 0;
}
