// Reaching the port: the whole daemon through the kernel's parport device (faked over the
// simulator, exactly as the backend calls the kernel), on a card at addresses of its own, and on
// a port without ECP registers; the start-up refusals that come before any of it.
#include <algorithm>
#include <set>
#include <sstream>

#include "tests/e2e/e2e.h"

namespace {

using e2e::expect_ok;

// The registers a trace shows accesses to, as the simulator writes their addresses.
std::set<std::string> addresses(const std::string &trace) {
    std::istringstream in(e2e::slurp(trace));
    std::set<std::string> seen;
    std::string t, kind, addr, rest;
    while (in >> t >> kind) {
        if (kind == "R" || kind == "W" || kind == "O") {
            in >> addr;
            seen.insert(kind + " " + addr);
        }
        std::getline(in, rest);
    }
    return seen;
}

void echo_round_trip(e2e::daemon_on_sim &d, size_t n) {
    tc_client c = d.connect();
    expect_ok(tc_init(c), 0);
    const auto data = e2e::pattern(n, uint32_t(n));
    expect_ok(tc_write(c, data), n);
    std::vector<uint8_t> back(n);
    expect_ok(tc_read(c, back), n);
    EXPECT_TRUE(back == data);
    expect_ok(tc_reset(c), 0);
}

// INIT, WRITE, READ and RESET over the parport-device backend: every byte by the software
// handshake both ways, said at -V 1, and nothing asked of ECP registers the device does not have.
TEST(Reach, ParportDeviceCarriesEveryRequest) {
    const std::string trace = e2e::temp_file("trace");
    {
        e2e::daemon_on_sim d("clock=real,rate=0,peer=echo,trace=" + trace,
                             {"-V", "1", "--parport-device", "/dev/parport0"});
        echo_round_trip(d, 3000);
        echo_round_trip(d, 1);  // a second connection: its own open, its own claim
        EXPECT_TRUE(d.proc().wait_for("no ECP FIFO behind the kernel's parport device /dev/parport0: "
                                      "using the software handshake (no probe)\n", false, 2000))
            << d.proc().out();
        const std::set<std::string> seen = addresses(trace);
        // The claim puts the port's ECR in its byte-wide mode, as the kernel does; nothing else
        // goes there, and the FIFO is never touched.
        EXPECT_EQ(seen, (std::set<std::string>{"R 378", "W 378", "R 379", "W 37a", "W 77a"}));
    }
    unlink(trace.c_str());
}

TEST(Reach, PrintJobOverTheParportDeviceLandsIntact) {
    const std::string sink = e2e::temp_file("sink");
    {
        e2e::daemon_on_sim d("clock=real,rate=0,peer=sink,sink=" + sink, {"--parport-device", "/dev/parport0"});
        tc_client c = d.connect();
        expect_ok(tc_init(c), 0);
        const auto job = e2e::pattern(40000, 7);
        expect_ok(tc_write(c, job), job.size());
        expect_ok(tc_reset(c), 0);
        EXPECT_TRUE(e2e::slurp_bytes(sink) == job);
    }
    unlink(sink.c_str());
}

// A card whose ECP range lies below its base: the FIFO path runs there, and not one access goes
// to the onboard port's addresses.
TEST(Reach, ACardAtItsOwnAddresses) {
    const std::string trace = e2e::temp_file("trace");
    {
        e2e::daemon_on_sim d("clock=virtual,rate=0,peer=echo,base=0xd010,ecp=0xd000,trace=" + trace,
                             {"-V", "1", "--base", "d010", "--ecp", "0xd000"});
        echo_round_trip(d, 5000);
        EXPECT_EQ(d.proc().out().find("software handshake"), std::string::npos) << d.proc().out();
        std::set<std::string> regs;
        for (const std::string &s : addresses(trace))
            regs.insert(s.substr(2));
        EXPECT_EQ(regs, (std::set<std::string>{"d000", "d002", "d010", "d011", "d012"}));
    }
    unlink(trace.c_str());
}

// A PS/2 port told to have no ECP range (an add-in card with one I/O range).
TEST(Reach, NoEcpRangeMeansTheSoftwareHandshake) {
    e2e::daemon_on_sim d("clock=virtual,rate=0,peer=echo,fault=no-ecr", {"-V", "1", "--ecp", "none"});
    echo_round_trip(d, 2000);
    EXPECT_TRUE(d.proc().wait_for("no ECP registers for the port at 0x378: using the software handshake\n", false, 60000))
        << d.proc().out();
}

// The simulated machine has its port elsewhere: the daemon's INIT finds nothing at 0x378.
TEST(Reach, NoPortAtTheChosenAddressFailsTheInit) {
    e2e::daemon_on_sim d("clock=virtual,rate=0,base=0xd010");
    tc_client c = d.connect();
    const tc_result r = tc_init(c);
    EXPECT_EQ(r.status, MSG_FAIL);
    EXPECT_EQ(r.count, uint32_t(MSG_FAIL_PORT_ACCESS));
    EXPECT_TRUE(d.proc().wait_for("ERROR: port access failed, No such device\n", true, 60000)) << d.proc().err();
}

// Refused before anything runs: exit status 2 and one error line.
TEST(Reach, StartUpRefusals) {
    const struct {
        std::vector<std::string> args;
        std::string line;
    } rows[] = {
        {{"--base", "zz"}, "ERROR: bad value 'zz' for --base (a hexadecimal I/O address, 1 to fffd)\n"},
        {{"--base", "378", "--ecp", "379"}, "ERROR: the ECP registers at 0x379 overlap the port at 0x378\n"},
        {{"--port-of", "parport0", "--base", "378"},
         "ERROR: --port-of finds the addresses itself: give it or --base/--ecp, not both\n"},
        {{"--parport-device", "/dev/parport0", "--ecp", "none"},
         "ERROR: --parport-device reaches the port through the kernel: leave out --base, --ecp and --port-of\n"},
        {{"--parport-device", "/nonexistent/parport9"},
         "ERROR: cannot open /nonexistent/parport9, No such file or directory; /nonexistent/parport9 does not exist: "
         "load the kernel's modules (modprobe parport_pc ppdev), and see ls /dev/parport* for the ports it found\n"},
        {{"--port-of", "0000:77:00.0"}, "ERROR: no PCI device 0000:77:00.0 in /sys/bus/pci/devices\n"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.args[0] + " " + r.args[1]);
        std::vector<std::string> args{"-f", "-p", std::to_string(testd::free_port())};
        args.insert(args.end(), r.args.begin(), r.args.end());
        testd::daemon d(args, 0);
        EXPECT_EQ(d.wait_exit(60000), 2);
        EXPECT_EQ(d.err(), r.line);
    }
}

TEST(Reach, StatusNamesThePortItWasGiven) {
    const struct {
        std::vector<std::string> args;
        std::string line;
    } rows[] = {
        {{"--status", "--base", "fff0"}, "port 0xfff0: free\n"},
        {{"--status", "--parport-device", "/dev/parport63"}, "port /dev/parport63: free\n"},
    };
    for (const auto &r : rows) {
        testd::daemon d(r.args, 0);
        EXPECT_EQ(d.wait_exit(60000), 0);
        EXPECT_EQ(d.out(), r.line);
    }
}

}  // namespace
