// The printer's Device ID through the whole stack: the DEVICE_ID request against the daemon on the
// simulator, and the report of `tessal --probe`, in text and in JSON, for a good port and the ways
// a port goes wrong.
#include <cctype>
#include <chrono>
#include <map>

#include "tests/e2e/e2e.h"

namespace {

using e2e::expect_ok;

const std::string kSimId = "MFG:Tessaline;MDL:MFP-1284 Sim;CMD:PCL,PJL;CLS:PRINTER;DES:tessal simulated MFP;";

int64_t ms_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t).count();
}

// A connection in the middle of a session reads the ID itself and keeps its session; another
// connection gets FAIL busy while the port is held and nothing is known, and the cached ID at once
// after.
TEST(DeviceId, ReadInASessionKeepsItAndOthersGetTheCacheAtOnce) {
    e2e::daemon_on_sim d("clock=virtual,rate=0", {"--wait-timeout", "0.3"});
    tc_client a = d.connect(), b = d.connect();
    expect_ok(tc_init(a), 0);
    std::string id;
    tc_result r = tc_device_id(b, id);
    EXPECT_EQ(r.status, MSG_FAIL);
    EXPECT_EQ(r.count, MSG_FAIL_BUSY) << "nothing cached, and the port held for the whole wait";

    r = tc_device_id(a, id);
    expect_ok(r, kSimId.size());
    EXPECT_EQ(id, kSimId);
    // The link is back in ECP mode: the session's WRITE and READ go on as if nothing happened.
    const std::vector<uint8_t> data = e2e::pattern(3000, 5);
    expect_ok(tc_write(a, data), data.size());
    std::vector<uint8_t> back(data.size());
    expect_ok(tc_read(a, back), data.size());
    EXPECT_EQ(back, data);

    const auto t0 = std::chrono::steady_clock::now();
    id.clear();
    expect_ok(tc_device_id(b, id), kSimId.size());
    EXPECT_EQ(id, kSimId);
    EXPECT_LT(ms_since(t0), 250) << "answered from the cache, not after waiting for the port";
    expect_ok(tc_reset(a), 0);
}

// Without a session the request takes the port, reads, and gives it back: an INIT after it is
// answered as usual. No usable ID is a FAIL with its reason. Neither is logged as a job.
TEST(DeviceId, EachPeripheralAnswersAndThePortIsGivenBack) {
    const struct {
        std::string config;
        std::vector<std::string> extra;
        int status;
        uint32_t count;  // the ID's length, or the FAIL reason
        std::string id;
        int init_status;
    } rows[] = {
        {"", {}, MSG_OK, uint32_t(kSimId.size()), kSimId, MSG_OK},
        {"fault=no-ecr", {}, MSG_OK, uint32_t(kSimId.size()), kSimId, MSG_OK},
        {"", {"--software"}, MSG_OK, uint32_t(kSimId.size()), kSimId, MSG_OK},
        {"fault=refuse:0x14", {}, MSG_OK, uint32_t(kSimId.size()), kSimId, MSG_OK},  // nibble mode then
        {"id=MFG:Acme;MDL:LP-1\t;CMD:PCL,PJL;", {}, MSG_OK, 31, "MFG:Acme;MDL:LP-1\t;CMD:PCL,PJL;", MSG_OK},
        {"fault=no-id", {}, MSG_FAIL, MSG_FAIL_NO_ID, "", MSG_OK},
        {"fault=id-length:5", {}, MSG_FAIL, MSG_FAIL_NO_ID, "", MSG_OK},
        {"fault=no-peripheral", {}, MSG_FAIL, MSG_FAIL_NO_PERIPHERAL, "", MSG_FAIL},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.config);
        std::vector<std::string> args = row.extra;
        args.insert(args.end(), {"-V", "3"});
        e2e::daemon_on_sim d("clock=virtual,rate=0" + (row.config.empty() ? "" : "," + row.config), args);
        tc_client c = d.connect();
        std::string id = "stale";
        const tc_result r = tc_device_id(c, id);
        EXPECT_EQ(r.error, tc_errc::none) << r.message;
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.count, row.count);
        EXPECT_EQ(id, row.id);
        tc_client other = d.connect();
        EXPECT_EQ(tc_init(other).status, row.init_status);
        // A query and a failed INIT move no bytes: neither is logged as a job.
        EXPECT_EQ(d.proc().out().find("Job ended"), std::string::npos) << d.proc().out();
    }
}

// The JSON object as path -> value ("ecr.fifo_size" -> "16", strings unescaped); whole() is false
// for anything but exactly one well-formed object.
struct json_paths {
    const std::string &s;
    size_t at = 0;
    std::map<std::string, std::string> out = {};

    char peek() {
        while (at < s.size() && isspace(static_cast<unsigned char>(s[at])))
            at++;
        return at < s.size() ? s[at] : 0;
    }
    bool eat(char c) { return peek() == c && ++at; }
    bool str(std::string &v) {
        if (!eat('"'))
            return false;
        for (; at < s.size() && s[at] != '"'; at++) {
            if (static_cast<unsigned char>(s[at]) < 0x20)
                return false;
            if (s[at] == '\\' && s[++at] == 'u') {
                v += char(std::stoi(s.substr(at + 1, 4), nullptr, 16));
                at += 4;
            } else {
                v += s[at];
            }
        }
        return at++ < s.size();
    }
    bool value(const std::string &path) {
        std::string v;
        if (eat('{')) {
            if (eat('}'))
                return true;
            do {
                std::string k;
                if (!str(k) || !eat(':') || !value(path.empty() ? k : path + "." + k))
                    return false;
            } while (eat(','));
            return eat('}');
        }
        if (peek() == '"')
            return str(out[path]);
        while (at < s.size() && (isalnum(static_cast<unsigned char>(s[at])) || s[at] == '-'))
            v += s[at++];
        out[path] = v;
        return v == "true" || v == "false" || v == "null" || (!v.empty() && v.find_first_not_of("-0123456789") == std::string::npos);
    }
    bool whole() { return value("") && peek() == 0; }
};

struct probe_run {
    int status;
    std::string out;
};

probe_run probe(const std::string &config, bool json) {
    std::vector<std::string> args{"--probe", "--sim=clock=virtual" + (config.empty() ? "" : "," + config)};
    if (json)
        args.push_back("--json");
    testd::daemon p(args, 0);
    return {p.wait_exit(10000), p.out()};
}

// The report for each kind of port: the exit status, the lines a person looks for, and the same
// facts in the JSON object.
TEST(Probe, ReportsThePortThePrinterAndAVerdict) {
    const struct {
        std::string config;
        int status;
        std::vector<std::string> lines;
        std::map<std::string, std::string> json;
    } rows[] = {
        {"",
         0,
         {"port: 0x378, extended registers at 0x778, reached by the sim backend\n",
          "ECR: present, FIFO 16 bytes, write threshold 8, read threshold 8, cnfgA 0x10 (1 byte per FIFO word): "
          "ECP FIFO, 16 bytes\n",
          "ECP mode: accepted\n", "Device ID: " + kSimId + " (read in ECP mode through the FIFO)\n",
          "model: MFP-1284 Sim\n", "verdict: usable: ECP mode through the port's FIFO\n"},
         {{"port.base", "888"}, {"port.backend", "sim"}, {"ecr.present", "true"}, {"ecr.fifo_size", "16"},
          {"ecr.cnfga", "16"}, {"transfers", "fifo"}, {"negotiation.ecp.answer", "accepted"},
          {"device_id.text", kSimId}, {"device_id.model", "MFP-1284 Sim"}, {"usable", "true"}, {"exit", "0"}}},
        {"fault=no-ecr,cnfga=0x20",
         0,
         {"ECR: none at 0x77a: no ECP FIFO: software handshake only, check the BIOS setting\n",
          "transfers: software handshake\n", "manufacturer: Tessaline\n",
          "verdict: usable, slowly: ECP mode by software handshake; set the port to ECP in the BIOS setup for full "
          "speed\n"},
         {{"ecr.present", "false"}, {"ecr.fifo_size", "null"}, {"ecr.cnfga", "null"}, {"transfers", "software"},
          {"device_id.via", "software"}, {"usable", "true"}}},
        {"fault=no-peripheral",
         5,
         {"nibble mode: no answer at event 2\n", "ECP mode: no answer at event 2\n",
          "Device ID: none: no answer at event 2 (no IEEE 1284 peripheral)\n",
          "verdict: not usable: nothing answers the IEEE 1284 negotiation: is the printer on and the cable in?\n"},
         {{"negotiation.ecp.answer", "silent"}, {"negotiation.ecp.event", "2"}, {"device_id.status", "no peripheral"},
          {"device_id.model", "null"}, {"usable", "false"}, {"exit", "5"}}},
        {"fault=refuse:0x10",
         6,
         {"nibble mode: accepted\n", "byte mode: accepted\n", "ECP mode: refused\n",
          "verdict: not usable: the printer refuses ECP mode, which tessal needs\n"},
         {{"negotiation.ecp.answer", "refused"}, {"negotiation.ecp.event", "null"}, {"usable", "false"},
          {"exit", "6"}}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.config);
        const probe_run text = probe(row.config, false);
        EXPECT_EQ(text.status, row.status) << text.out;
        for (const std::string &line : row.lines)
            EXPECT_NE(text.out.find(line), std::string::npos) << "missing: " << line << text.out;
        const probe_run json = probe(row.config, true);
        EXPECT_EQ(json.status, row.status);
        json_paths j{json.out};
        ASSERT_TRUE(j.whole()) << json.out;
        for (const auto &[path, want] : row.json)
            EXPECT_EQ(j.out[path], want) << path << " in " << json.out;
        EXPECT_EQ("verdict: " + j.out["verdict"] + "\n", row.lines.back()) << "the same verdict either way";
    }
}

}  // namespace
