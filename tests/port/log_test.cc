// Console lines: whole lines from many processes at once, and the error lines' rate limit. Each
// case runs in a child process, so the limiter and the redirected descriptors are its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "port/log.h"

namespace {

struct temp_file {
    std::string path;
    temp_file() {
        char tmpl[] = "/tmp/tessal-log-XXXXXX";
        const int fd = mkstemp(tmpl);
        close(fd);
        path = tmpl;
    }
    ~temp_file() { unlink(path.c_str()); }
    std::string text() const {
        std::ifstream in(path);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
};

// Runs body in a child whose standard output and error append to path; its exit status.
template <typename F>
int in_child(const std::string &path, F body) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(path.c_str(), O_WRONLY | O_APPEND);
        dup2(fd, 1);
        dup2(fd, 2);
        body();
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

TEST(Log, LinesOfManyProcessesAtOnceStayWhole) {
    temp_file out;
    in_child(out.path, [] {
        verbose = 9;
        log_share_setup();
        pid_t kids[4];
        for (int k = 0; k < 4; k++)
            if ((kids[k] = fork()) == 0) {
                for (int i = 0; i < 500; i++)
                    log_trace(0, "process %d line %d %s\n", k, i, std::string(80, char('a' + k)).c_str());
                _exit(0);
            }
        for (pid_t k : kids)
            waitpid(k, nullptr, 0);
    });
    std::istringstream lines(out.text());
    const std::regex whole("process ([0-3]) line [0-9]+ (a{80}|b{80}|c{80}|d{80})");
    int n = 0;
    for (std::string l; std::getline(lines, l); n++)
        ASSERT_TRUE(std::regex_match(l, whole)) << l;
    EXPECT_EQ(n, 2000);
}

// A flood of one kind is cut to its burst, another kind still gets through, and the next line of
// the flooded kind counts exactly what was dropped.
TEST(Log, ErrorLinesAreLimitedPerKindAndCountWhatWasDropped) {
    temp_file out;
    const int status = in_child(out.path, [] {
        log_share_setup();
        for (int i = 0; i < 100; i++)
            log_error("flood %d", i);
        log_error("another kind");
        for (int tries = 1; tries < 60; tries++) {  // past the second its bucket needs for a token
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            log_error("flood %d", 1000 + tries);
        }
    });
    ASSERT_EQ(status, 0);
    const std::string text = out.text();
    for (int i = 0; i < 10; i++)
        EXPECT_NE(text.find("ERROR: flood " + std::to_string(i) + "\n"), std::string::npos) << i;
    EXPECT_EQ(text.find("ERROR: flood 10\n"), std::string::npos);
    EXPECT_NE(text.find("ERROR: another kind\n"), std::string::npos);
    // The first "flood" line after the burst: 90 of the burst and the retries before it dropped.
    std::smatch m;
    const std::regex first_after("ERROR: flood 10([0-9][0-9]) \\(([0-9]+) similar lines suppressed\\)\n");
    ASSERT_TRUE(std::regex_search(text, m, first_after)) << text;
    EXPECT_EQ(std::atoi(m[2].str().c_str()), 90 + std::atoi(m[1].str().c_str()) - 1);
}

}  // namespace
