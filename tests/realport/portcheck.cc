// portcheck: the port and link code of tessal on a real (or emulated) parallel port, without the
// daemon in between. tests/realport/run.sh runs it inside a QEMU guest, as root, on the x86
// backend; the emulated port prints to a file on the host, which the host then compares with
// the pattern this same program writes on the host side.
//
//   portcheck pattern N         N bytes of the test pattern on standard output (no port needed)
//   portcheck port BASE N       iopl, register read-back, the missing ECR, a negotiation nobody
//                               answers, then N pattern bytes by the software handshake
//   portcheck ppdev PATH N      the same through the kernel's parport device PATH, on tessal's
//                               parport-device backend, as an ordinary user in group lp: open,
//                               claim, register read-back, no ECR, the negotiation, N pattern bytes
//                               by the software handshake, release
//   portcheck ppdev PATH denied PATH cannot be opened (a user outside group lp)
//
// Every check prints one line, "realport-guest: PASS: what" or "realport-guest: FAIL: what (why)",
// which the host script counts; other lines begin "realport-guest: info:". The exit status is 1
// when a check failed, 2 on a usage error.
#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "ieee1284/ieee1284.h"
#include "port/io.h"
#include "port/locate.h"
#include "port/regs.h"

namespace {

int failures = 0;
const char *backend = "";  // "ppdev: " on the parport device, so the two runs' lines differ

void check(bool ok, const char *what, const char *why_fmt = nullptr, ...) {
    if (ok) {
        std::printf("realport-guest: PASS: %s%s\n", backend, what);
    } else {
        failures++;
        std::printf("realport-guest: FAIL: %s%s", backend, what);
        if (why_fmt) {
            va_list ap;
            va_start(ap, why_fmt);
            std::fputs(" (", stdout);
            std::vprintf(why_fmt, ap);
            std::fputc(')', stdout);
            va_end(ap);
        }
        std::fputc('\n', stdout);
    }
    std::fflush(stdout);
}

// Neighbouring bytes differ, every value occurs in each 256-byte block and the blocks differ, so
// a byte lost, doubled or swapped anywhere shows in a byte-for-byte comparison.
constexpr uint8_t pattern_byte(uint32_t i) { return uint8_t((i * 167u + (i >> 8) * 13u) ^ (i >> 16)); }

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

int write_pattern(uint32_t n) {
    std::vector<uint8_t> buf(n);
    for (uint32_t i = 0; i < n; i++)
        buf[i] = pattern_byte(i);
    return std::fwrite(buf.data(), 1, n, stdout) == n ? 0 : 1;
}

// The registers as the backend sees them: what is written reads back, the direction bit turns
// the data lines round, and nothing answers where the ECR would be.
void check_registers(uint16_t base) {
    const uint16_t data = base, status = base + 1, control = base + 2, ecr = base + 0x402;

    // CONTROL first, with nSelectIn high (bit 3 clear): no strobe edge can print anything.
    lp_outb(control, 0x04);
    bool ok = true;
    uint8_t bad_w = 0, bad_r = 0;
    for (uint8_t v : {0x00, 0x55, 0xAA, 0xFF, 0x01, 0x80}) {
        lp_outb(data, v);
        const uint8_t r = lp_inb(data);
        if (r != v && ok) {
            ok = false;
            bad_w = v;
            bad_r = r;
        }
    }
    check(ok, "DATA reads back what was written", "wrote 0x%02x, read 0x%02x", bad_w, bad_r);

    // Only the five line and interrupt bits and the direction bit are the host's; strobe stays
    // low whenever nInit and nSelectIn are both set.
    ok = true;
    for (uint8_t v : {0x00, 0x04, 0x08, 0x0C, 0x02, 0x0A, 0x0E, 0x01, 0x05}) {
        lp_outb(control, v);
        const uint8_t r = lp_inb(control);
        if ((r & 0x3F) != v && ok) {
            ok = false;
            bad_w = v;
            bad_r = r;
        }
    }
    check(ok, "CONTROL reads back what was written (bits 0-5)", "wrote 0x%02x, read 0x%02x", bad_w, bad_r);

    lp_outb(control, 0x0C);
    lp_outb(data, 0x55);
    lp_outb(control, 0x2C);  // data lines are inputs: the latch no longer shows
    const uint8_t reversed = lp_inb(data);
    lp_outb(control, 0x0C);
    const uint8_t forward = lp_inb(data);
    check(reversed != 0x55 && forward == 0x55, "the direction bit turns the data lines round",
          "DATA read 0x%02x reversed, 0x%02x forward", reversed, forward);

    const uint8_t st = lp_inb(status);
    check((st & 0xF8) == 0xD8, "STATUS shows an idle printer (0xd8)", "read 0x%02x", st);

    const uint8_t e0 = lp_inb(ecr);
    lp_outb(ecr, 0x34);  // PS/2 mode, as the daemon's open writes it
    const uint8_t e1 = lp_inb(ecr);
    check(e0 == 0xFF && e1 == 0xFF, "no ECR at base + 0x402 (reads 0xff, ignores writes)",
          "read 0x%02x, then 0x%02x after writing 0x34", e0, e1);
}

// The port and link code on whatever backend is in use, from the opening on; ecp as the daemon
// opens it (LP_NO_ECP on the parport device).
int check_link(uint16_t base, int64_t ecp, uint32_t n) {
    struct port_data *port = lp_port_open_at(base, ecp);
    std::printf("realport-guest: info: probe: ecr_present %d, fifo_size %d, thresholds %d/%d\n",
                int(port->priv->ecr_present), int(port->priv->fifo_size),
                int(port->priv->write_threshold), int(port->priv->read_threshold));

    double t = now_s();
    const int32_t r = lp_negotiate(port, LP_MODE_ECP);
    t = now_s() - t;
    check(r == -1 && t < 2.0, "ECP negotiation ends promptly with no IEEE 1284 peripheral (-1)",
          "result %d after %.3f s", int(r), t);
    check(port->phase == LP_PH_FWD_IDLE, "the link is left in forward idle", "phase %d", int(port->phase));

    // The emulated printer takes a byte on each rising edge of the strobe bit while nInit and
    // nSelectIn are set: exactly what the software handshake's event 35 gives it.
    port->phase = LP_PH_FWD_IDLE;
    lp_ctl_update(port, 0x0C, 0x0C);
    std::vector<uint8_t> buf(n);
    for (uint32_t i = 0; i < n; i++)
        buf[i] = pattern_byte(i);
    t = now_s();
    const uint64_t sent = m_parport_ieee1284_ecp_write_data(port, buf.data(), n);
    t = now_s() - t;
    check(sent == n, "software-handshake write takes every byte", "%llu of %u", (unsigned long long)sent, n);
    std::printf("realport-guest: info: %s%llu bytes by software handshake in %.2f s (%.0f bytes/s)\n", backend,
                (unsigned long long)sent, t, t > 0 ? double(sent) / t : 0.0);
    lp_outb(uint16_t(base + 2), 0x0C);  // strobe low, lines idle
    return failures ? 1 : 0;
}

int check_port(uint16_t base, uint32_t n) {
    const int err = lp_io_acquire(base);
    check(err == 0, "iopl(3) as root on the x86 backend", "%s", std::strerror(err));
    if (err != 0)
        return 1;
    check_registers(base);
    return check_link(base, int64_t(base) + 0x400, n);
}

// Through the device, every register access is an ioctl: the same checks then say that the
// kernel's DATA, STATUS and CONTROL (and PPDATADIR) mean what the port layer means by them.
int check_ppdev(const char *path, uint32_t n) {
    backend = "ppdev: ";
    lp_io_use(lp_io_ppdev(path, nullptr));
    constexpr uint16_t base = 0;  // as the daemon has it: the device's registers are its ioctls
    int err = lp_io_acquire(base);
    check(err == 0, "a user in group lp opens the parport device with the ppdev backend", "%s", std::strerror(err));
    if (err != 0)
        return 1;
    err = lp_io_claim();
    check(err == 0, "and claims the port", "%s", std::strerror(err));
    if (err != 0)
        return 1;
    check_registers(base);
    check_link(base, LP_NO_ECP, n);
    lp_io_release();
    // Released: another open file of the device can claim the port at once.
    const int fd = open(path, O_RDWR);
    check(fd >= 0 && ioctl(fd, PPCLAIM) == 0, "released: another open file claims the port", "%s", std::strerror(errno));
    if (fd >= 0)
        close(fd);
    return failures ? 1 : 0;
}

int check_denied(const char *path) {
    const int fd = open(path, O_RDWR);
    const int err = errno;
    check(fd < 0 && (err == EACCES || err == EPERM), "a user outside group lp cannot open the parport device", "%s",
          fd < 0 ? std::strerror(err) : "it opened");
    if (fd >= 0)
        close(fd);
    return failures ? 1 : 0;
}

uint32_t number(const char *s) { return uint32_t(std::strtoul(s, nullptr, 0)); }

}  // namespace

int main(int argc, char **argv) {
    const std::string_view what = argc > 1 ? argv[1] : "";
    if (what == "pattern" && argc == 3)
        return write_pattern(number(argv[2]));
    if (what == "port" && argc == 4)
        return check_port(uint16_t(number(argv[2])), number(argv[3]));
    if (what == "ppdev" && argc == 4 && std::string_view(argv[3]) == "denied")
        return check_denied(argv[2]);
    if (what == "ppdev" && argc == 4)
        return check_ppdev(argv[2], number(argv[3]));
    std::fprintf(stderr, "usage: portcheck pattern N | port BASE N | ppdev PATH N|denied\n");
    return 2;
}
