// Where the port is and who else has it, from samples of what the kernel writes: /proc/ioports
// as root and as an ordinary user sees it, /proc/modules, /proc/sys/dev/parport/*/base-addr and
// /sys/bus/pci/devices/*/{class,resource}. Also the lines that tell a user why the direct backend
// cannot reach the port and what to do instead.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "port/io.h"
#include "port/locate.h"

namespace {

namespace fs = std::filesystem;

// An onboard port and a PCIe card whose ECP range is its second I/O BAR, both driven by the
// kernel, as root reads it (an ordinary user reads 0000-0000 on every line).
constexpr const char *kIoports =
    "0000-0cf7 : PCI Bus 0000:00\n"
    "  0000-001f : dma1\n"
    "  0020-0021 : pic1\n"
    "  0070-0077 : rtc0\n"
    "  0370-037f : pnp 00:07\n"
    "  0378-037a : parport0\n"
    "  03f8-03ff : serial\n"
    "  0778-077a : parport0\n"
    "0cf8-0cff : PCI conf1\n"
    "0d00-ffff : PCI Bus 0000:00\n"
    "  d000-dfff : PCI Bus 0000:05\n"
    "    d000-d007 : 0000:05:00.0\n"
    "      d000-d002 : parport1\n"
    "    d010-d017 : 0000:05:00.0\n"
    "      d010-d012 : parport1\n";

constexpr const char *kModules =
    "parport_pc 53248 1 - Live 0x0000000000000000\n"
    "ppdev 24576 0 - Live 0x0000000000000000\n"
    "lp 20480 0 - Live 0x0000000000000000\n"
    "parport 73728 3 parport_pc,ppdev,lp, Live 0x0000000000000000\n";

// Resource lines: start, end, flags; 0x100 marks an I/O range. Six BARs, then the ROM.
std::string resource(const std::vector<std::string> &bars) {
    std::string text;
    for (size_t i = 0; i < 7; i++)
        text += i < bars.size() ? bars[i] + "\n" : "0x0000000000000000 0x0000000000000000 0x0000000000000000\n";
    return text;
}
const std::string kIoBar0 = "0x000000000000d010 0x000000000000d017 0x0000000000040101";
const std::string kIoBar1 = "0x000000000000d000 0x000000000000d007 0x0000000000040101";
const std::string kMemBar = "0x00000000fd000000 0x00000000fdffffff 0x0000000000040200";

// A directory of samples, pointed at by lp_kernel_files for the test's lifetime.
class Kernel : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tessal-locate-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        saved = lp_kernel_files;
        for (const char *d : {"parport", "pci"})
            fs::create_directories(dir + "/" + d);
        paths = {dir + "/ioports", dir + "/modules", dir + "/parport", dir + "/pci", dir + "/lockdown"};
        lp_kernel_files = {paths[0].c_str(), paths[1].c_str(), paths[2].c_str(), paths[3].c_str(), paths[4].c_str()};
    }
    void TearDown() override {
        lp_kernel_files = saved;
        fs::remove_all(dir);
    }
    void write(const std::string &rel, const std::string &text) {
        fs::create_directories(fs::path(dir + "/" + rel).parent_path());
        std::ofstream(dir + "/" + rel) << text;
    }
    void pci(const std::string &slot, const char *cls, const std::vector<std::string> &bars) {
        write("pci/" + slot + "/class", std::string(cls) + "\n");
        write("pci/" + slot + "/resource", resource(bars));
    }
    std::string claims(long base, long ecp, int expect_count) {
        char out[512];
        EXPECT_EQ(lp_kernel_claims(base, ecp, out, sizeof out), expect_count);
        return out;
    }
    std::string dir;
    std::vector<std::string> paths;
    struct lp_kernel_files saved{};
};

TEST(IoAddr, HexWithOrWithoutPrefix) {
    const struct {
        const char *text;
        long value;  // -1: refused
    } rows[] = {
        {"378", 0x378}, {"0x378", 0x378}, {"0XD010", 0xd010}, {"fffd", 0xfffd}, {"1", 1},
        {"0", -1}, {"fffe", -1}, {"10000", -1}, {"", -1}, {"0x", -1}, {"-378", -1}, {"+378", -1},
        {" 378", -1}, {"378h", -1}, {"0x0x3", -1},
    };
    for (const auto &r : rows) {
        long v = -1;
        EXPECT_EQ(lp_parse_ioaddr(r.text, &v), r.value < 0 ? -1 : 0) << r.text;
        if (r.value >= 0) {
            EXPECT_EQ(v, r.value) << r.text;
        }
    }
}

TEST_F(Kernel, TheOptionsChooseThePort) {
    write("parport/parport0/base-addr", "888\t1912\n");
    write("parport/parport1/base-addr", "53264\t53248\n");
    write("parport/parport2/base-addr", "632\t0\n");  // the driver found no ECP registers
    write("parport/parport3/base-addr", "888\n");
    pci("0000:05:00.0", "0x070102", {kIoBar0, kIoBar1});
    pci("0000:00:02.0", "0x030000", {kMemBar});
    const struct {
        const char *port_of, *base, *ecp;
        long want_base, want_ecp;  // want_base 0: refused with `message`
        std::string message;
    } rows[] = {
        {nullptr, nullptr, nullptr, 0x378, 0x778, ""},
        {nullptr, "d010", nullptr, 0xd010, 0xd410, ""},
        {nullptr, "0xd010", "d000", 0xd010, 0xd000, ""},
        {nullptr, nullptr, "none", 0x378, LP_NO_ECP, ""},
        {nullptr, "zz", nullptr, 0, 0, "bad value 'zz' for --base (a hexadecimal I/O address, 1 to fffd)"},
        {nullptr, nullptr, "-1", 0, 0, "bad value '-1' for --ecp (a hexadecimal I/O address, or none)"},
        {nullptr, nullptr, "37a", 0, 0, "the ECP registers at 0x37a overlap the port at 0x378"},
        {"parport0", "378", nullptr, 0, 0, "--port-of finds the addresses itself: give it or --base/--ecp, not both"},
        {"parport0", nullptr, nullptr, 0x378, 0x778, ""},
        {"parport1", nullptr, nullptr, 0xd010, 0xd000, ""},
        {"parport2", nullptr, nullptr, 0x278, LP_NO_ECP, ""},
        {"parport3", nullptr, nullptr, 0, 0, "/parport/parport3/base-addr does not hold two I/O addresses"},
        {"parport7", nullptr, nullptr, 0, 0, "no parport7 in " + paths[2] + ": no kernel driver has that port"},
        {"parports", nullptr, nullptr, 0, 0, "'parports' is not a port of the kernel's parport driver"},
        {"pci", nullptr, nullptr, 0xd010, 0xd000, ""},
        {"05:00.0", nullptr, nullptr, 0xd010, 0xd000, ""},
        {"0000:00:02.0", nullptr, nullptr, 0, 0, "0000:00:02.0 is not a parallel-port card (PCI class 0x030000)"},
        {"0000:09:00.0", nullptr, nullptr, 0, 0, "no PCI device 0000:09:00.0 in " + paths[3]},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string(r.port_of ? r.port_of : "-") + " " + (r.base ? r.base : "-") + " " + (r.ecp ? r.ecp : "-"));
        lp_port_addr a{-1, -1};
        char err[256] = "";
        const int rc = lp_port_choose(r.port_of, r.base, r.ecp, &a, err, sizeof err);
        if (r.want_base == 0) {
            EXPECT_EQ(rc, -1);
            EXPECT_NE(std::string(err).find(r.message), std::string::npos) << err;
            EXPECT_EQ(a.base, -1);  // untouched
        } else {
            EXPECT_EQ(rc, 0) << err;
            EXPECT_EQ(a.base, r.want_base);
            EXPECT_EQ(a.ecp, r.want_ecp);
        }
    }
}

TEST_F(Kernel, PciCardsMustBeOneOrNamed) {
    char err[256] = "";
    lp_port_addr a{};
    EXPECT_EQ(lp_pci_addr(nullptr, &a, err, sizeof err), -1);
    EXPECT_STREQ(err, ("no PCI parallel-port card (class 0x0701) in " + paths[3]).c_str());
    pci("0000:05:00.0", "0x070102", {kIoBar0});  // one I/O range: no ECP registers
    ASSERT_EQ(lp_pci_addr(nullptr, &a, err, sizeof err), 0) << err;
    EXPECT_EQ(a.base, 0xd010);
    EXPECT_EQ(a.ecp, LP_NO_ECP);
    pci("0000:06:00.0", "0x070100", {kMemBar, "0x000000000000c010 0x000000000000c017 0x0000000000040101"});
    EXPECT_EQ(lp_pci_addr(nullptr, &a, err, sizeof err), -1);
    EXPECT_STREQ(err, "2 PCI parallel-port cards (0000:05:00.0, 0000:06:00.0): name one with --port-of SLOT");
    ASSERT_EQ(lp_pci_addr("06:00.0", &a, err, sizeof err), 0) << err;
    EXPECT_EQ(a.base, 0xc010);  // the memory BAR before it is not an I/O range
    pci("0000:07:00.0", "0x070102", {kMemBar});
    EXPECT_EQ(lp_pci_addr("0000:07:00.0", &a, err, sizeof err), -1);
    EXPECT_STREQ(err, "the card 0000:07:00.0 has no I/O range (is it enabled?)");
}

// Cards that would be driven at the wrong addresses, or are no host port at all.
TEST_F(Kernel, PciCardsWithOddRangesAreRefusedOrLoseTheirEcp) {
    const std::string unassigned = "0x0000000000000000 0x0000000000000007 0x0000000000040101";
    const std::string two = "0x000000000000d020 0x000000000000d021 0x0000000000040101";
    const struct {
        const char *cls;
        std::vector<std::string> bars;
        long base, ecp;       // base 0: refused with `message`
        const char *message;
    } rows[] = {
        {"0x070102", {unassigned, kIoBar1}, 0, 0, "its first I/O range has no address"},
        {"0x070102", {two, kIoBar1}, 0, 0, "its first I/O range has 2 addresses, too few"},
        {"0x070102", {kIoBar0, two}, 0xd010, LP_NO_ECP, ""},
        {"0x070102", {kIoBar0, unassigned}, 0xd010, LP_NO_ECP, ""},
        {"0x0701fe", {kIoBar0, kIoBar1}, 0, 0, "is an IEEE 1284 target, not a host port (PCI class 0x0701fe)"},
        {"0x070103", {kIoBar0, kIoBar1}, 0xd010, 0xd000, ""},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string(r.cls) + " " + r.bars[0] + " " + r.bars[1]);
        pci("0000:05:00.0", r.cls, r.bars);
        lp_port_addr a{-1, -1};
        char err[256] = "";
        const int rc = lp_pci_addr("05:00.0", &a, err, sizeof err);
        if (r.base == 0) {
            EXPECT_EQ(rc, -1);
            EXPECT_NE(std::string(err).find(r.message), std::string::npos) << err;
        } else {
            EXPECT_EQ(rc, 0) << err;
            EXPECT_EQ(a.base, r.base);
            EXPECT_EQ(a.ecp, r.ecp);
        }
    }
    // A base-addr with a stray newline in the middle still makes one error line.
    write("parport/parport4/base-addr", "888\n\n");
    lp_port_addr a{};
    char err[256] = "";
    EXPECT_EQ(lp_parport_addr("parport4", &a, err, sizeof err), -1);
    EXPECT_EQ(std::string(err).find('\n'), std::string::npos) << err;
}

// The kernel's claims on the port, seen by root, by an ordinary user (addresses hidden), and
// through the parport driver's own description; firmware reservations and bus windows are no one's.
TEST_F(Kernel, ClaimsOnThePortAreNamed) {
    EXPECT_EQ(claims(0x378, 0x778, 0), "none");  // no file says anything
    write("ioports", kIoports);
    EXPECT_EQ(claims(0x378, 0x778, 1), "parport0 holds 0x378-0x37a, 0x778-0x77a");
    EXPECT_EQ(claims(0xd010, 0xd000, 1), "parport1 holds 0xd000-0xd002, 0xd010-0xd012");
    EXPECT_EQ(claims(0x278, 0x678, 0), "none");
    EXPECT_EQ(claims(0x379, LP_NO_ECP, 1), "parport0 holds 0x378-0x37a");
    write("modules", kModules);
    EXPECT_EQ(claims(0x278, 0x678, 1), "parport_pc, lp loaded");
    EXPECT_EQ(claims(0x378, 0x778, 2), "parport0 holds 0x378-0x37a, 0x778-0x77a; parport_pc, lp loaded");

    std::istringstream lines(kIoports);
    std::string hidden, line;
    while (std::getline(lines, line)) {  // as an ordinary user reads it
        const size_t at = line.find_first_not_of(' ');
        hidden += line.substr(0, at) + "0000-0000" + line.substr(line.find(" : ")) + "\n";
    }
    write("ioports", hidden);
    write("modules", "");
    EXPECT_EQ(claims(0x378, 0x778, 0), "none");
    write("parport/parport0/base-addr", "888\t1912\n");
    write("parport/default/spintime", "500\n");
    EXPECT_EQ(claims(0x378, 0x778, 1), "parport0 is the kernel's port at 0x378");
    EXPECT_EQ(claims(0x400, 0x778, 1), "parport0 is the kernel's port at 0x378");  // its ECP range
    write("ioports", kIoports);
    EXPECT_EQ(claims(0x378, 0x778, 1), "parport0 holds 0x378-0x37a, 0x778-0x77a");  // named once
}

// The end of "ERROR: port access failed, <errno text>" for the direct backend: why, and the way out.
TEST_F(Kernel, RefusedPortAccessSaysWhatToDo) {
    lp_io_use(&lp_io_x86);
    char why[400];
    const std::string device = "use the kernel's parport device instead, which needs no root (--parport-device /dev/parport0)";
    EXPECT_EQ(std::string(lp_io_explain(ENOSYS, why, sizeof why)),
              "; this kernel has no user-space port I/O (no iopl): " + device);
    write("lockdown", "none [integrity] confidentiality\n");  // the mode in force is in brackets
    EXPECT_EQ(std::string(lp_io_explain(EPERM, why, sizeof why)),
              "; the kernel is locked down (integrity, as under Secure Boot) and refuses iopl: " + device);
    write("lockdown", "[none] integrity confidentiality\n");
    EXPECT_EQ(std::string(lp_io_explain(EPERM, why, sizeof why)),
              "; iopl needs CAP_SYS_RAWIO, and a kernel under lockdown (Secure Boot) refuses it: " + device);
    EXPECT_STREQ(lp_io_explain(EIO, why, sizeof why), "");

    // Not root: acquiring fails at setuid(0), before iopl is ever tried.
    const pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && setuid(65534) != 0)
            _exit(2);
        const int err = lp_io_acquire(0x378);
        _exit(err == EPERM && std::string(lp_io_explain(err, why, sizeof why)) == "; tessal is not root: run it as root, or " + device
                  ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

}  // namespace
