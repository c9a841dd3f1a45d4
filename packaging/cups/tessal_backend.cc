// tessal: the CUPS backend that prints to a tessal daemon.
//
// cupsd runs it as /usr/lib/cups/backend/tessal for queues whose device URI is
// tessal://HOST[:PORT]. Run with no arguments it reports the scheme for printer discovery; run
// with a job it sends INIT, the job in WRITE requests of at most one message's payload, and
// RESET, and tells cupsd how it went through the exit status and the prefixed lines on standard
// error ("ERROR:", "INFO:", "DEBUG:", "STATE:", "ATTR:", "PAGE:").
//
// The exit status follows what the scheduler does with it: a daemon that cannot be reached or a
// port that cannot be opened is temporary (retry the job later), a job that broke off halfway is
// a failure (the queue's error policy decides), and a URI that can never work stops the queue.
//
// The backend is installed world-executable (0755) so cupsd runs it as the unprivileged "lp"
// user: it only needs a TCP connection, never the port itself.
//
// Rejected: linking libcups for cupsBackendDeviceURI and cupsBackendReport (two small functions
// would pull in the whole client library and its TLS stack), and the back channel (the daemon's
// READ needs a reversal of the link that would interleave with the job's own bytes).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "client/client.h"

namespace {

// The scheduler's meaning of each exit status.
enum backend_status {
    BACKEND_OK = 0,
    BACKEND_FAILED = 1,
    BACKEND_STOP = 4,
    BACKEND_RETRY = 6,
};

// One WRITE request carries at most the message buffer less its header.
constexpr size_t kChunk = MSG_CAPACITY - MSG_HEADER_SIZE;

volatile sig_atomic_t cancelled = 0;

// cupsd sends SIGTERM when the job is cancelled; the transfer stops at the next chunk and the
// port is still given back with RESET.
void on_term(int) { cancelled = 1; }

struct device_uri {
    std::string host;
    uint16_t port = TC_DEFAULT_PORT;
};

// tessal://HOST[:PORT][/], with HOST a name, an IPv4 address or a bracketed IPv6 address.
bool parse_uri(std::string_view uri, device_uri &out, std::string &why) {
    constexpr std::string_view scheme = "tessal://";
    if (uri.size() < scheme.size() || !std::equal(scheme.begin(), scheme.end(), uri.begin(),
                                                  [](char a, char b) { return a == std::tolower((unsigned char)b); })) {
        why = "the URI does not start with tessal://";
        return false;
    }
    std::string_view rest = uri.substr(scheme.size());
    if (!rest.empty() && rest.back() == '/')
        rest.remove_suffix(1);
    std::string_view host, port;
    if (!rest.empty() && rest.front() == '[') {
        const size_t close = rest.find(']');
        if (close == std::string_view::npos) {
            why = "the IPv6 address has no closing ]";
            return false;
        }
        host = rest.substr(1, close - 1);
        rest.remove_prefix(close + 1);
        if (!rest.empty() && rest.front() != ':') {
            why = "junk after the IPv6 address";
            return false;
        }
    } else {
        const size_t colon = rest.find(':');
        host = rest.substr(0, colon);
        rest.remove_prefix(colon == std::string_view::npos ? rest.size() : colon);
    }
    if (!rest.empty())
        port = rest.substr(1);  // past the ':'
    if (host.empty() || host.find_first_of("/?#@ ") != std::string_view::npos) {
        why = "no usable host name";
        return false;
    }
    if (!rest.empty()) {
        unsigned long n = 0;
        const bool digits = !port.empty() && port.size() <= 5 &&
                            port.find_first_not_of("0123456789") == std::string_view::npos;
        if (digits)
            n = std::strtoul(std::string(port).c_str(), nullptr, 10);
        if (!digits || n == 0 || n > 65535) {
            why = "the port must be a number from 1 to 65535";
            return false;
        }
        out.port = uint16_t(n);
    }
    out.host = host;
    return true;
}

// The device URI as cupsd hands it over: DEVICE_URI first, since argv[0] loses any
// authentication part, then argv[0] when it looks like a URI.
const char *find_uri(char **argv) {
    const char *env = std::getenv("DEVICE_URI");
    if (env != nullptr && *env != '\0')
        return env;
    return std::strchr(argv[0], ':') != nullptr ? argv[0] : nullptr;
}

// Fills `buf` from `fd` unless the input ends first, so a job arriving through a pipe still
// goes out in full-sized requests. The bytes read, or -1; a cancellation ends it early.
ssize_t fill(int fd, uint8_t *buf, size_t size) {
    size_t got = 0;
    while (got < size && !cancelled) {
        const ssize_t r = read(fd, buf + got, size - got);
        if (r == 0)
            break;
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        got += size_t(r);
    }
    return ssize_t(got);
}

// What went wrong with a reply that is not a plain OK, in words for the printer's status line.
std::string problem(const tc_result &r) {
    if (r.error != tc_errc::none)
        return r.message;
    return std::string("the daemon answered ") + msg_code_name(r.status);
}

struct job {
    int fd = 0;              // the job's data: the file argument, or standard input
    int copies = 1;          // only a file can be sent more than once
    long long size = -1;     // bytes per copy when known, for the progress figure
    unsigned long long sent = 0;
};

// Sends one copy of the job. BACKEND_OK, or BACKEND_FAILED after an ERROR line.
int send_copy(tc_client &c, job &j, std::vector<uint8_t> &buf) {
    for (;;) {
        const ssize_t n = fill(j.fd, buf.data(), buf.size());
        if (n < 0) {
            std::fprintf(stderr, "ERROR: cannot read the print job: %s\n", std::strerror(errno));
            return BACKEND_FAILED;
        }
        if (n == 0 || cancelled)
            return BACKEND_OK;
        const tc_result r = tc_write(c, std::span<const uint8_t>(buf.data(), size_t(n)));
        if (r.ok())
            j.sent += r.count;
        if (!r.ok() || r.count != uint64_t(n)) {
            if (r.ok())
                std::fprintf(stderr, "ERROR: the printer took %llu of %zd bytes\n",
                             (unsigned long long)r.count, n);
            else
                std::fprintf(stderr, "ERROR: sending the job failed: %s\n", problem(r).c_str());
            return BACKEND_FAILED;
        }
        std::fprintf(stderr, "DEBUG: sent %llu bytes\n", j.sent);
        if (j.size > 0) {
            const long long total = j.size * j.copies;
            std::fprintf(stderr, "ATTR: job-media-progress=%lld\n",
                         std::min(100LL, (long long)(j.sent * 100 / (unsigned long long)total)));
        }
        if (size_t(n) < buf.size())
            return BACKEND_OK;  // fill stops short only at the end of the input
    }
}

// INIT, every copy of the job, RESET; the port is given back even when the job broke off.
int print_job(const device_uri &dev, job &j) {
    std::fprintf(stderr, "STATE: +connecting-to-device\n");
    std::fprintf(stderr, "INFO: Connecting to the tessal daemon at %s port %u\n", dev.host.c_str(),
                 unsigned(dev.port));
    tc_client c;
    tc_result r = tc_connect(c, dev.host, dev.port);
    std::fprintf(stderr, "STATE: -connecting-to-device\n");
    if (r.error != tc_errc::none) {
        std::fprintf(stderr, "ERROR: %s\n", r.message.c_str());
        return BACKEND_RETRY;
    }
    r = tc_init(c);
    if (!r.ok()) {
        std::fprintf(stderr, "ERROR: the printer port could not be opened: %s\n",
                     problem(r).c_str());
        return BACKEND_RETRY;
    }
    std::fprintf(stderr, "INFO: Sending the print job\n");
    std::vector<uint8_t> buf(kChunk);
    int status = BACKEND_OK;
    for (int copy = 0; copy < j.copies && status == BACKEND_OK && !cancelled; ++copy) {
        if (copy > 0 && lseek(j.fd, 0, SEEK_SET) != 0) {
            std::fprintf(stderr, "ERROR: cannot rewind the print job: %s\n", std::strerror(errno));
            status = BACKEND_FAILED;
            break;
        }
        status = send_copy(c, j, buf);
    }
    r = tc_reset(c);
    if (!r.ok())
        std::fprintf(stderr, "DEBUG: RESET after the job: %s\n", problem(r).c_str());
    if (cancelled) {
        std::fprintf(stderr, "INFO: Job cancelled after %llu bytes\n", j.sent);
        return BACKEND_FAILED;
    }
    if (status != BACKEND_OK)
        return status;
    // A raw job has no page structure the backend could count, so each copy counts as one page.
    std::fprintf(stderr, "PAGE: 1 %d\n", j.copies);
    std::fprintf(stderr, "INFO: Print job sent, %llu bytes\n", j.sent);
    return BACKEND_OK;
}

int run_job(int argc, char **argv) {
    const char *uri = find_uri(argv);
    if (uri == nullptr) {
        std::fprintf(stderr, "ERROR: no device URI in DEVICE_URI or argv[0]\n");
        return BACKEND_FAILED;
    }
    device_uri dev;
    std::string why;
    if (!parse_uri(uri, dev, why)) {
        std::fprintf(stderr, "ERROR: bad device URI \"%s\": %s (use tessal://HOST[:PORT])\n", uri,
                     why.c_str());
        return BACKEND_STOP;
    }
    job j;
    if (argc == 7) {
        // With a file argument the filters have not made the copies, so the backend does.
        j.copies = std::max(1, std::atoi(argv[4]));
        j.fd = open(argv[6], O_RDONLY | O_CLOEXEC);
        if (j.fd < 0) {
            std::fprintf(stderr, "ERROR: cannot open the print file %s: %s\n", argv[6],
                         std::strerror(errno));
            return BACKEND_FAILED;
        }
        struct stat st;
        if (fstat(j.fd, &st) == 0 && S_ISREG(st.st_mode))
            j.size = st.st_size;
    }
    std::fprintf(stderr, "DEBUG: job %s for %s to %s port %u, %d copies\n", argv[1], argv[2],
                 dev.host.c_str(), unsigned(dev.port), j.copies);
    const int status = print_job(dev, j);
    if (j.fd > 0)
        close(j.fd);
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    struct sigaction sa = {};
    sa.sa_handler = on_term;  // no SA_RESTART: a read waiting on the filters returns at once
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // a daemon that hangs up shows as a failed request instead

    if (argc == 1) {
        // Discovery: the scheme alone, since daemons cannot be found without asking the network.
        std::printf("network tessal \"Unknown\" \"tessal MFP over TCP\"\n");
        return BACKEND_OK;
    }
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr, "Usage: %s job-id user title copies options [file]\n", argv[0]);
        return BACKEND_FAILED;
    }
    return run_job(argc, argv);
}
