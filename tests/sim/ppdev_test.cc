// The kernel's parport device faked over the simulated port: the ioctls reach the registers at
// the configured addresses, the line bits and the direction bit stay apart as in the kernel, and
// nothing is allowed without the claim.
#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "tests/sim/harness.h"

using namespace simtest;

namespace {

class SimPpdev : public ::testing::Test {
protected:
    void make(const std::string &config) {
        h = std::make_unique<host>(config);
        k = sim_ppdev_calls(h->sim);
        fd = k->open(k->ctx, "/dev/parport0", O_RDWR | O_CLOEXEC);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override {
        if (fd >= 0)
            k->close(k->ctx, fd);
    }
    int io(unsigned long request, void *arg = nullptr) { return k->ioctl(k->ctx, fd, request, arg); }
    int put(unsigned long request, uint8_t v) { return io(request, &v); }
    uint8_t get(unsigned long request) {
        uint8_t v = 0xEE;
        EXPECT_EQ(io(request, &v), 0);
        return v;
    }
    uint64_t host_errors() {
        sim_counters c;
        sim_get_counters(h->sim, &c);
        return c.host_errors;
    }
    std::unique_ptr<host> h;
    const lp_ppdev_calls *k = nullptr;
    int fd = -1;
};

TEST_F(SimPpdev, NothingWithoutTheClaim) {
    make("clock=virtual");
    h->allow_host_errors();  // each refusal is one, counted below
    struct {
        unsigned long request;
        const char *what;
    } refused[] = {{PPRSTATUS, "read"}, {PPWDATA, "write"}, {PPRELEASE, "release"}};
    uint64_t errors = 0;
    for (const auto &r : refused) {
        uint8_t v = 0;
        errno = 0;
        EXPECT_EQ(io(r.request, &v), -1) << r.what;
        EXPECT_EQ(errno, EINVAL) << r.what;
        EXPECT_EQ(host_errors(), ++errors) << r.what;
    }
    ASSERT_EQ(io(PPCLAIM), 0);
    EXPECT_EQ(io(PPCLAIM), -1);  // claimed twice by one open file
    EXPECT_EQ(io(PPNEGOT), -1);  // the device's own IEEE 1284 calls are not modelled: never used
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(host_errors(), errors + 1);
    EXPECT_EQ(io(PPRELEASE), 0);
    EXPECT_EQ(k->ioctl(k->ctx, 12345, PPCLAIM, nullptr), -1);
    EXPECT_EQ(errno, EBADF);
}

// At a card's addresses: every ioctl is one access there, CONTROL's line bits and direction bit
// each keep the other as it was, and the claim leaves an ECP port in its byte-wide mode.
TEST_F(SimPpdev, IoctlsReachTheRegisters) {
    make("clock=virtual,base=0xd010,ecp=0xd000");
    ASSERT_EQ(io(PPCLAIM), 0);
    EXPECT_EQ(h->in(0xd002) & 0xE0, 0x20);
    EXPECT_EQ(put(PPWDATA, 0xA5), 0);
    EXPECT_EQ(get(PPRDATA), 0xA5);
    EXPECT_EQ(get(PPRSTATUS), h->in(0xd011));
    EXPECT_EQ(put(PPWCONTROL, 0xFF), 0);
    EXPECT_EQ(h->in(0xd012), 0x0F);  // the line bits only
    int reverse = 1;
    EXPECT_EQ(io(PPDATADIR, &reverse), 0);
    EXPECT_EQ(h->in(0xd012), 0x2F);
    EXPECT_EQ(put(PPWCONTROL, 0x04), 0);
    EXPECT_EQ(h->in(0xd012), 0x24);  // the lines changed, the direction stayed
    ppdev_frob_struct frob{0x03, 0x01};
    EXPECT_EQ(io(PPFCONTROL, &frob), 0);
    EXPECT_EQ(get(PPRCONTROL), 0x05);
    reverse = 0;
    EXPECT_EQ(io(PPDATADIR, &reverse), 0);
    EXPECT_EQ(h->in(0xd012), 0x05);
    sim_counters c;
    sim_get_counters(h->sim, &c);
    EXPECT_EQ(c.reads[SIM_REG_OTHER] + c.writes[SIM_REG_OTHER], 0u);
    EXPECT_EQ(c.host_errors, 0u);
}

// Closing the file gives the claim up, as the kernel does when its holder dies.
TEST_F(SimPpdev, CloseReleases) {
    make("clock=virtual,fault=no-ecr");
    ASSERT_EQ(io(PPCLAIM), 0);
    EXPECT_EQ(k->close(k->ctx, fd), 0);
    fd = k->open(k->ctx, "/dev/parport0", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(io(PPCLAIM), 0);
    EXPECT_EQ(host_errors(), 0u);
}

}  // namespace
