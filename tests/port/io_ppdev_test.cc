// The parport-device backend against a recording kernel: every register access must become
// exactly the ioctl the ppdev interface defines for it, and nothing may reach ECP registers the
// device does not have.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "port/io.h"

namespace {

constexpr uint16_t kBase = 0xd010;

// What the device was asked, one line per call: "open /dev/parport1", "PPWCONTROL 05", ...
struct kernel {
    std::vector<std::string> log;
    int open_errno = 0;
    uint8_t status = 0xD8, data = 0x5A, control = 0xC4;  // what the reads return

    static kernel &of(void *ctx) { return *static_cast<kernel *>(ctx); }
    static int k_open(void *ctx, const char *path, int flags) {
        kernel &k = of(ctx);
        k.log.push_back(std::string("open ") + path + ((flags & O_ACCMODE) == O_RDWR ? "" : " not rdwr") +
                        ((flags & O_CLOEXEC) ? "" : " no cloexec"));
        errno = k.open_errno;
        return k.open_errno ? -1 : 42;
    }
    static int k_close(void *ctx, int fd) {
        of(ctx).log.push_back("close " + std::to_string(fd));
        return 0;
    }
    static int k_ioctl(void *ctx, int fd, unsigned long request, void *arg) {
        kernel &k = of(ctx);
        EXPECT_EQ(fd, 42);
        auto *b = static_cast<uint8_t *>(arg);
        char line[48];
        switch (request) {
        case PPCLAIM: k.log.push_back("PPCLAIM"); return 0;
        case PPRELEASE: k.log.push_back("PPRELEASE"); return 0;
        case PPRDATA: *b = k.data; k.log.push_back("PPRDATA"); return 0;
        case PPRSTATUS: *b = k.status; k.log.push_back("PPRSTATUS"); return 0;
        case PPRCONTROL: *b = k.control; k.log.push_back("PPRCONTROL"); return 0;
        case PPWDATA: std::snprintf(line, sizeof line, "PPWDATA %02x", *b); break;
        case PPWCONTROL: std::snprintf(line, sizeof line, "PPWCONTROL %02x", *b); break;
        case PPDATADIR: std::snprintf(line, sizeof line, "PPDATADIR %d", *static_cast<int *>(arg)); break;
        default: std::snprintf(line, sizeof line, "ioctl %#lx", request); break;
        }
        k.log.push_back(line);
        return 0;
    }
};

class Ppdev : public ::testing::Test {
protected:
    void SetUp() override {
        calls = {kernel::k_open, kernel::k_ioctl, kernel::k_close, &k};
        lp_io_use(lp_io_ppdev("/dev/parport1", &calls));
    }
    void TearDown() override {
        lp_io_ppdev("/dev/null", nullptr);  // closes the recorded descriptor while calls is alive
        lp_io_use(nullptr);
    }
    std::vector<std::string> take() { return std::exchange(k.log, {}); }
    kernel k;
    lp_ppdev_calls calls{};
};

using lines = std::vector<std::string>;

TEST_F(Ppdev, AcquireOpensOnceClaimAndReleaseFollowTheLock) {
    EXPECT_EQ(lp_io_acquire(kBase), 0);
    EXPECT_EQ(lp_io_acquire(kBase), 0);  // a second INIT of the process: the file stays open
    EXPECT_EQ(take(), lines{"open /dev/parport1"});
    EXPECT_EQ(lp_io_claim(), 0);
    EXPECT_EQ(take(), (lines{"PPCLAIM", "PPDATADIR 0"}));  // whoever had it may have left the lines reversed
    lp_io_release();
    lp_io_release();  // dropping a lock that holds no claim asks nothing
    EXPECT_EQ(take(), lines{"PPRELEASE"});
}

TEST_F(Ppdev, AFailedOpenReturnsItsErrnoAndTheWayOut) {
    k.open_errno = EACCES;
    EXPECT_EQ(lp_io_acquire(kBase), EACCES);
    EXPECT_EQ(lp_io_claim(), EBADF);  // nothing open: nothing is asked
    EXPECT_EQ(take(), lines{"open /dev/parport1"});
    char why[256];
    EXPECT_STREQ(lp_io_explain(EACCES, why, sizeof why),
                 "; the user may not open /dev/parport1: add it to group lp (usermod -aG lp USER), and log in again");
    EXPECT_NE(std::string(lp_io_explain(ENOENT, why, sizeof why)).find("modprobe parport_pc ppdev"), std::string::npos);
    EXPECT_STREQ(lp_io_explain(EIO, why, sizeof why), "");
}

// Each register operation is one ioctl; CONTROL's direction bit goes its own way (PPDATADIR),
// and a write that changes nothing still rewrites the lines.
TEST_F(Ppdev, RegistersBecomeIoctls) {
    ASSERT_EQ(lp_io_acquire(kBase), 0);
    ASSERT_EQ(lp_io_claim(), 0);
    take();
    const struct {
        char op;
        uint16_t addr;
        uint8_t value;  // written, or expected back
        lines calls;
    } rows[] = {
        {'W', kBase, 0x41, {"PPWDATA 41"}},
        {'R', kBase, 0x5A, {"PPRDATA"}},
        {'R', kBase + 1, 0xD8, {"PPRSTATUS"}},
        {'W', kBase + 2, 0x04, {"PPWCONTROL 04"}},
        {'W', kBase + 2, 0x04, {"PPWCONTROL 04"}},
        {'W', kBase + 2, 0x24, {"PPDATADIR 1"}},
        {'R', kBase + 2, 0x24, {"PPRCONTROL"}},  // the kernel's line bits, our direction bit
        {'W', kBase + 2, 0x26, {"PPWCONTROL 06"}},
        {'W', kBase + 2, 0x0C, {"PPDATADIR 0", "PPWCONTROL 0c"}},
        {'W', kBase + 1, 0x00, {}},  // STATUS is read only
        {'R', kBase + 3, 0xFF, {}},  // EPP registers: not the device's
        {'R', 0xd002, 0xFF, {}},     // where a card's ECR would be
        {'W', 0xd002, 0x34, {}},
        {'R', 0xd412, 0xFF, {}},     // and base + 0x402
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string(1, r.op) + " " + std::to_string(r.addr));
        if (r.op == 'W')
            lp_outb(r.addr, r.value);
        else
            EXPECT_EQ(lp_inb(r.addr), r.value);
        EXPECT_EQ(take(), r.calls);
    }
    const uint8_t bytes[] = {1, 2};
    lp_outsb(kBase, bytes, 2);
    EXPECT_EQ(take(), (lines{"PPWDATA 01", "PPWDATA 02"}));
    uint8_t in[2] = {};
    lp_insb(kBase, in, 2);  // no string input: one call per byte
    EXPECT_EQ(take(), (lines{"PPRDATA", "PPRDATA"}));
    EXPECT_EQ(in[1], 0x5A);
}

}  // namespace
