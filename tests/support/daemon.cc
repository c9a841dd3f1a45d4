#include "tests/support/daemon.h"

#include <gtest/gtest.h>

#include "wire/frame.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

namespace testd {

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The file itself, suffix and all, so nothing but it is left to remove.
std::string temp_path(const char *what) {
    std::string tmpl = std::string("/tmp/tessal-test-XXXXXX.") + what;
    const int fd = mkstemps(tmpl.data(), int(std::strlen(what)) + 1);
    close(fd);
    return tmpl;
}



// Reads exactly n bytes unless the stream ends or the time runs out.
size_t read_n(int fd, uint8_t *buf, size_t n, int timeout_ms) {
    size_t got = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (got < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, int(left)) <= 0)
            continue;
        const ssize_t r = read(fd, buf + got, n - got);
        if (r <= 0) {
            if (r < 0 && errno == EINTR)
                continue;
            break;
        }
        got += size_t(r);
    }
    return got;
}

}  // namespace

// Below the kernel's ephemeral range, so no client's outgoing connection can take the port
// between the choice and the daemon's bind (on a busy machine that happened); chosen at random and
// tried on both families, as the daemon binds it.
int free_port() {
    static unsigned seed = unsigned(getpid()) * 2654435761u ^ unsigned(time(nullptr));
    int low = 32768;
    if (std::FILE *f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
        if (std::fscanf(f, "%d", &low) != 1)
            low = 32768;
        std::fclose(f);
    }
    const int first = 10000, span = std::max(1000, low - first);
    for (int i = 0; i < 1000; i++) {
        const int port = first + int(rand_r(&seed) % unsigned(span));
        const int s = socket(AF_INET6, SOCK_STREAM, 0);
        const int zero = 0;
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
        sockaddr_in6 sa{};
        sa.sin6_family = AF_INET6;
        sa.sin6_addr = in6addr_any;
        sa.sin6_port = htons(uint16_t(port));
        const bool ok = bind(s, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0;
        close(s);
        if (ok)
            return port;
    }
    return 0;
}

daemon::daemon(std::vector<std::string> args, int listen_port, int passed_fd)
    : out_path_(temp_path("out")), err_path_(temp_path("err")) {
    const char *extra = std::getenv("TESSAL_SIM_EXTRA");
    for (std::string &a : args) {
        if (a != "--sim" && a.rfind("--sim=", 0) != 0)
            continue;
        check_host_errors_ = true;
        if (extra != nullptr && *extra != 0)
            a = a == "--sim" ? "--sim=" + std::string(extra) : "--sim=" + std::string(extra) + "," + a.substr(6);
    }
    pid_ = fork();
    if (pid_ == 0) {
        setpgid(0, 0);
        if (passed_fd >= 0) {
            if (passed_fd != 3) {
                dup2(passed_fd, 3);
                close(passed_fd);
            }
            fcntl(3, F_SETFD, 0);
            setenv("LISTEN_FDS", "1", 1);
            setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
        }
        const int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        const int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(TESSAL_BIN));
        // A test's daemon is never announced on the LAN of the machine that runs the tests.
        static char quiet[] = "--no-dnssd";
        argv.push_back(quiet);
        // A daemon on the hardware backend must start on a developer's machine whose kernel has
        // the onboard port too (lp, parport_pc); no test lets it reach the registers.
        const bool hardware = std::none_of(args.begin(), args.end(), [](const std::string &a) {
            return a.rfind("--sim", 0) == 0 || a.rfind("--parport-device", 0) == 0;
        });
        static char force[] = "--force";
        if (hardware)
            argv.push_back(force);
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(TESSAL_BIN, argv.data());
        _exit(127);
    }
    setpgid(pid_, pid_);  // both sides set it, so it holds whichever runs first
    // A loaded machine may take seconds to start it: wait for the event, not a fixed time.
    if (listen_port > 0) {
        for (int i = 0; i < 6000; i++) {
            const int fd = connect_to(listen_port);
            if (fd >= 0) {
                close(fd);
                up_ = true;
                break;
            }
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

daemon::~daemon() {
    if (pid_ > 0) {
        kill(-pid_, SIGKILL);
        if (!reaped_)
            waitpid(pid_, nullptr, 0);
    }
    if (check_host_errors_) {
        const std::string e = err();
        EXPECT_EQ(e.find("sim: host error"), std::string::npos) << "the simulator reported host errors:\n" << e;
    }
    unlink(out_path_.c_str());
    unlink(err_path_.c_str());
}

std::string daemon::out() const { return slurp(out_path_); }
std::string daemon::err() const { return slurp(err_path_); }

int daemon::wait_exit(int timeout_ms) {
    if (reaped_)
        return status_;
    for (int waited = 0; waited <= timeout_ms; waited += 5) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            reaped_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

bool daemon::wait_for(const std::string &text, bool in_err, int timeout_ms) const {
    for (int waited = 0; waited <= timeout_ms; waited += 5) {
        if ((in_err ? err() : out()).find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

std::vector<pid_t> daemon::group() const {
    std::vector<pid_t> pids;
    DIR *d = opendir("/proc");
    while (dirent *e = readdir(d)) {
        const pid_t p = pid_t(std::atoi(e->d_name));
        if (p <= 0 || getpgid(p) != pid_)
            continue;
        // A zombie is already gone as far as the daemon is concerned.
        std::ifstream stat("/proc/" + std::string(e->d_name) + "/stat");
        std::string line;
        std::getline(stat, line);
        const auto close_paren = line.rfind(')');
        if (close_paren != std::string::npos && close_paren + 2 < line.size() && line[close_paren + 2] == 'Z')
            continue;
        pids.push_back(p);
    }
    closedir(d);
    return pids;
}

sockaddr_in loopback(int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(uint16_t(port));
    return sa;
}

int connect_to(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);  // a daemon started later must not keep it open
    const sockaddr_in sa = loopback(port);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int connect_addr(const std::string &host, int port, const std::string &from) {
    sockaddr_storage ss{};
    socklen_t len = 0;
    int family = AF_INET;
    auto *v4 = reinterpret_cast<sockaddr_in *>(&ss);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&ss);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(uint16_t(port));
        len = sizeof *v4;
    } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        family = AF_INET6;
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(uint16_t(port));
        len = sizeof *v6;
    } else {
        return -1;
    }
    const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (!from.empty()) {
        sockaddr_storage src{};
        socklen_t src_len = 0;
        if (family == AF_INET) {
            auto *s4 = reinterpret_cast<sockaddr_in *>(&src);
            s4->sin_family = AF_INET;
            inet_pton(AF_INET, from.c_str(), &s4->sin_addr);
            src_len = sizeof *s4;
        } else {
            auto *s6 = reinterpret_cast<sockaddr_in6 *>(&src);
            s6->sin6_family = AF_INET6;
            inet_pton(AF_INET6, from.c_str(), &s6->sin6_addr);
            src_len = sizeof *s6;
        }
        if (bind(fd, reinterpret_cast<sockaddr *>(&src), src_len) != 0) {
            close(fd);
            return -1;
        }
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::vector<uint8_t> frame(uint8_t code, int32_t count, const std::vector<uint8_t> &payload, int64_t length) {
    std::vector<uint8_t> f(32 + payload.size(), 0);
    msg_put_be32(&f[0], 0xE150ED5F);
    msg_put_be32(&f[4], uint32_t(length >= 0 ? length : int64_t(32 + payload.size())));
    f[9] = code;
    msg_put_be32(&f[28], uint32_t(count));
    std::copy(payload.begin(), payload.end(), f.begin() + 32);
    return f;
}

bool send_all(int fd, const std::vector<uint8_t> &bytes) {
    size_t put = 0;
    while (put < bytes.size()) {
        const ssize_t w = send(fd, bytes.data() + put, bytes.size() - put, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        put += size_t(w);
    }
    return true;
}

reply read_reply(int fd, int timeout_ms) {
    reply r;
    uint8_t h[32];
    if (read_n(fd, h, 32, timeout_ms) != 32)
        return r;
    r.ok = true;
    r.magic = msg_get_be32(h);
    r.length = msg_get_be32(h + 4);
    r.version = h[8];
    r.code = h[9];
    r.pid = msg_get_be32(h + 12);
    r.count = msg_get_be32(h + 28);
    r.reserved_zero = h[10] == 0 && h[11] == 0;
    for (int i = 16; i < 28; i++)
        r.reserved_zero = r.reserved_zero && h[i] == 0;
    if (r.length > 32) {
        r.payload.resize(r.length - 32);
        r.payload.resize(read_n(fd, r.payload.data(), r.payload.size(), timeout_ms));
    }
    return r;
}

bool closed_by_peer(int fd, int timeout_ms) {
    uint8_t b;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return false;
    return recv(fd, &b, 1, 0) <= 0;
}

bool status_shows(pid_t daemon_pid, const std::string &text, int timeout_ms) {
    return wait_until(
        [&] {
            daemon status({"--status=" + std::to_string(daemon_pid)}, 0);
            return status.wait_exit(timeout_ms) == 0 && status.out().find(text) != std::string::npos;
        },
        timeout_ms);
}

bool wait_until(const std::function<bool()> &cond, int timeout_ms) {
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

}  // namespace testd
