// Fuzz target: an arbitrary client byte stream through the request loop, the device being the
// simulator.
//
// Input: one mode byte (bit 0 set: software-handshake transfers, clear: the hardware FIFO), then
// the bytes a client sends. They are written into one end of a socket pair and serve_client runs
// on the other end, in this process. The replies are read back and held against the requests the
// stream contained, framed by the same rules the daemon uses:
//   - one reply per request, in order, and nothing else on the connection;
//   - every reply well formed: magic, version 1, status OK or FAIL, length 32 + payload, the
//     reserved bytes zero, our own pid;
//   - a READ reply's count is its payload length and never above the count asked (clamped to
//     what one message can carry); a WRITE reply's count never above the payload it offered;
//   - the status each request must get (FAIL before the first INIT, or for a negative WRITE count);
//   - a DEVICE_ID reply is OK with the ID (at most 1023 bytes, count its length) or FAIL with a
//     reason and no bytes;
//   - the peripheral echoes what it is sent, so the bytes read back, in order, are a subsequence
//     of the bytes offered by the WRITEs: nothing invented, duplicated or reordered.
//
// The simulator runs on its virtual clock with a large cost per access, so a READ that waits for
// bytes that never come times out after a few hundred accesses rather than seconds. A fresh
// device per input keeps every input reproducible: a reverse byte the peripheral had already
// lined up survives its reset, and the echo queue would carry bytes from one input to the next.
// There is no port arbitration in-process: the lock is never set up, so the loop owns the port.
#include <sanitizer/asan_interface.h>
#include <poll.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "fuzz/check.h"
#include "port/regs.h"
#include "ieee1284/ieee1284.h"
#include "wire/frame.h"
#include "service/requests.h"
#include "sim/sim.h"

// serve_client takes a buffer of MSG_CAPACITY + 1 bytes for a message of the largest size. Under
// ASan each such allocation maps new memory and poisons a megabyte of fresh shadow, which made one
// input cost milliseconds. The link wraps malloc and free (see CMakeLists.txt) so that one buffer of
// exactly that size is kept and handed out again; it stays poisoned while it is given back, so a
// use after the loop let go of it is still reported.
extern "C" void *__real_malloc(size_t size);
extern "C" void __real_free(void *p);

namespace {
void *kept_buffer;
bool kept_in_use;
}  // namespace

extern "C" void *__wrap_malloc(size_t size) {
    if (size != MSG_CAPACITY + 1 || kept_in_use)
        return __real_malloc(size);
    if (kept_buffer == nullptr)
        kept_buffer = __real_malloc(size);
    else
        ASAN_UNPOISON_MEMORY_REGION(kept_buffer, size);
    kept_in_use = kept_buffer != nullptr;
    return kept_buffer;
}

extern "C" void __wrap_free(void *p) {
    if (p == nullptr || p != kept_buffer) {
        __real_free(p);
        return;
    }
    ASAN_POISON_MEMORY_REGION(kept_buffer, MSG_CAPACITY + 1);
    kept_in_use = false;
}

// The harness stays the user it was started as. The daemon gives up root once it holds the port;
// a fuzzer that became "nobody" could no longer save what it finds.
extern "C" int drop_root(void) { return 0; }
extern "C" void service_user_lookup(void) {}

namespace {

constexpr const char *kConfig = "clock=virtual,rate=0,io_ns=100000";
constexpr uint32_t kMaxPayload = MSG_CAPACITY - MSG_HEADER_SIZE;

struct request {
    int code;
    int32_t count;
    uint32_t received;  // payload bytes that came with it
    size_t payload;     // where they start in the stream
};

uint32_t be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// The requests serve_client will answer, in order. It stops at the first header that is cut
// short, has the wrong magic, a payload cut short, or a length of 0 or 2^31 and above; a message
// longer than the buffer is answered and then ends the connection.
std::vector<request> requests_in(const uint8_t *s, size_t n) {
    std::vector<request> out;
    size_t pos = 0;
    while (n - pos >= MSG_HEADER_SIZE) {
        const uint8_t *h = s + pos;
        if (be32(h) != MSG_MAGIC)
            break;
        const uint32_t length = be32(h + 4);
        const uint32_t payload = length > MSG_HEADER_SIZE ? std::min(length - MSG_HEADER_SIZE, kMaxPayload) : 0;
        if (n - pos - MSG_HEADER_SIZE < payload || int32_t(length) <= 0)
            break;
        out.push_back({h[9], int32_t(be32(h + 28)), payload, pos + MSG_HEADER_SIZE});
        if (length > MSG_HEADER_SIZE && length - MSG_HEADER_SIZE > kMaxPayload)
            break;
        pos += MSG_HEADER_SIZE + payload;
    }
    return out;
}

// The bytes a WRITE hands to the device: count 0 means up to the first zero byte.
size_t offered(const uint8_t *s, const request &r) {
    if (r.count < 0)
        return 0;
    if (r.count == 0)
        return strnlen(reinterpret_cast<const char *>(s + r.payload), r.received);
    return std::min<size_t>(size_t(r.count), r.received);
}

// The client: one thread for the whole run, handed one stream per input. It writes the stream,
// half-closes, and reads replies until the loop hangs up, polling both directions so neither
// socket buffer can fill up and stop the other. MSG_NOSIGNAL because the loop may hang up before
// it has read everything. (A thread per input cost more than the input itself under ASan.)
struct client_job {
    int fd;
    const uint8_t *data;
    size_t size;
    std::vector<uint8_t> replies;
};

client_job job;
sem_t job_ready, job_done;

void run_client(client_job &j) {
    size_t put = 0;
    if (j.size == 0)
        shutdown(j.fd, SHUT_WR);
    uint8_t chunk[65536];
    for (;;) {
        pollfd p{j.fd, short(POLLIN | (put < j.size ? POLLOUT : 0)), 0};
        if (poll(&p, 1, -1) < 0)
            continue;
        if (put < j.size && (p.revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t w = send(j.fd, j.data + put, j.size - put, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w > 0)
                put += size_t(w);
            else if (errno != EAGAIN && errno != EINTR)
                put = j.size;  // the loop hung up: nothing more goes in
            if (put == j.size)
                shutdown(j.fd, SHUT_WR);
        }
        if (p.revents & (POLLIN | POLLERR | POLLHUP)) {
            const ssize_t r = recv(j.fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (r > 0)
                j.replies.insert(j.replies.end(), chunk, chunk + r);
            else if (r == 0 || (errno != EAGAIN && errno != EINTR))
                return;
        }
    }
}

void client_thread() {
    for (;;) {
        while (sem_wait(&job_ready) != 0) {
        }
        run_client(job);
        sem_post(&job_done);
    }
}

// Runs serve_client on the stream and returns every byte it sent back.
std::vector<uint8_t> serve(const uint8_t *s, size_t n) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        fuzz::fail("socketpair failed");
    job.fd = sv[0];
    job.data = s;
    job.size = n;
    job.replies.clear();
    sem_post(&job_ready);
    serve_client(sv[1]);
    close(sv[1]);
    while (sem_wait(&job_done) != 0) {
    }
    close(sv[0]);
    return std::move(job.replies);
}

bool all_zero(const uint8_t *p, size_t n) { return std::all_of(p, p + n, [](uint8_t b) { return b == 0; }); }

// One reply header; returns its payload length.
uint32_t check_header(const uint8_t *h, size_t index) {
    if (be32(h) != MSG_MAGIC)
        fuzz::fail("reply %zu: bad magic %08x", index, be32(h));
    if (h[8] != 1)
        fuzz::fail("reply %zu: version %u", index, h[8]);
    if (h[9] != MSG_OK && h[9] != MSG_FAIL)
        fuzz::fail("reply %zu: status %u", index, h[9]);
    if (!all_zero(h + 10, 2) || !all_zero(h + 16, 12))
        fuzz::fail("reply %zu: reserved bytes not zero", index);
    if (be32(h + 12) != uint32_t(getpid()))
        fuzz::fail("reply %zu: pid %u", index, be32(h + 12));
    const uint32_t length = be32(h + 4);
    if (length < MSG_HEADER_SIZE || length > MSG_CAPACITY)
        fuzz::fail("reply %zu: length %u", index, length);
    return length - MSG_HEADER_SIZE;
}

// The status a request must get. INIT always succeeds on the simulator, so the port is open from
// the first INIT on; a RESET gives the port back to the lock, which is not set up here.
int expected_status(const request &r, bool open) {
    switch (r.code) {
    case MSG_READ: return r.count <= 0 || open ? MSG_OK : MSG_FAIL;
    case MSG_WRITE: return open && r.count >= 0 ? MSG_OK : MSG_FAIL;
    default: return MSG_OK;
    }
}

void check(const uint8_t *s, size_t n, const std::vector<uint8_t> &replies) {
    const std::vector<request> reqs = requests_in(s, n);
    std::vector<uint8_t> sent, read_back;
    size_t pos = 0;
    bool open = false;
    uint64_t taken = 0;  // bytes the WRITEs since the last RESET reported taken
    // FUZZ_SHOW=1 lists every request and its reply, to follow a saved input by hand.
    static const bool show = getenv("FUZZ_SHOW") != nullptr;
    for (size_t i = 0; i < reqs.size(); i++) {
        const request &r = reqs[i];
        if (replies.size() - pos < MSG_HEADER_SIZE)
            fuzz::fail("%zu replies for %zu requests", i, reqs.size());
        const uint8_t *h = replies.data() + pos;
        const uint32_t payload = check_header(h, i);
        if (replies.size() - pos - MSG_HEADER_SIZE < payload)
            fuzz::fail("reply %zu: payload cut short", i);
        const int32_t count = int32_t(be32(h + 28));
        if (r.code != MSG_DEVICE_ID && r.code != MSG_RESET && h[9] != expected_status(r, open))
            fuzz::fail("reply %zu to %s count %d: status %s", i, msg_code_name(r.code), r.count, msg_code_name(h[9]));
        if (r.code == MSG_READ) {
            const int64_t most = r.count <= 0 ? 0 : std::min<int64_t>(r.count, kMaxPayload);
            if (count < 0 || uint32_t(count) != payload || count > most)
                fuzz::fail("reply %zu: READ of %d answered count %d with %u bytes", i, r.count, count, payload);
            read_back.insert(read_back.end(), h + MSG_HEADER_SIZE, h + MSG_HEADER_SIZE + payload);
        } else if (r.code == MSG_DEVICE_ID) {
            const bool ok = h[9] == MSG_OK;
            if (ok ? count < 0 || uint32_t(count) != payload || payload > LP_DEVICE_ID_MAX : payload != 0 || count == 0)
                fuzz::fail("reply %zu: DEVICE_ID answered %s count %d with %u bytes", i, msg_code_name(h[9]), count, payload);
        } else if (payload != 0) {
            fuzz::fail("reply %zu to %s carries %u bytes", i, msg_code_name(r.code), payload);
        }
        if (r.code == MSG_WRITE) {
            const size_t offer = h[9] == MSG_OK ? offered(s, r) : 0;
            if (count < 0 || size_t(count) > offer)
                fuzz::fail("reply %zu: WRITE of %zu bytes answered count %d", i, offer, count);
            sent.insert(sent.end(), s + r.payload, s + r.payload + offer);
            taken += uint64_t(count);
        } else if (r.code == MSG_RESET) {
            // FAIL carries the printed bytes the port had to drop: some, and never more than the
            // WRITEs since the last RESET reported taken.
            if (h[9] == MSG_OK ? count != 0 : count <= 0 || uint64_t(count) > taken)
                fuzz::fail("reply %zu: RESET answered %s count %d after %llu bytes taken", i, msg_code_name(h[9]),
                           count, (unsigned long long)taken);
            taken = 0;
        } else if (r.code != MSG_READ && r.code != MSG_DEVICE_ID && count != 0) {
            fuzz::fail("reply %zu to %s: count %d", i, msg_code_name(r.code), count);
        }
        if (show)
            dprintf(fuzz::report_fd, "%s count %d: %s count %d, %u bytes\n", msg_code_name(r.code), r.count,
                    msg_code_name(h[9]), count, payload);
        if (r.code == MSG_INIT || r.code == MSG_DEVICE_ID)
            open = true;  // DEVICE_ID opens the port too, and no lock is set up to give it back to
        pos += MSG_HEADER_SIZE + payload;
    }
    if (pos != replies.size())
        fuzz::fail("%zu bytes after the last of %zu replies", replies.size() - pos, reqs.size());
    // Greedy subsequence match: every byte read back is the next matching byte offered.
    size_t j = 0;
    for (size_t i = 0; i < read_back.size(); i++, j++) {
        while (j < sent.size() && sent[j] != read_back[i])
            j++;
        if (j == sent.size())
            fuzz::fail("read back byte %zu (%02x) of %zu was never sent in that order", i, read_back[i],
                       read_back.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::keep_stderr();
    sem_init(&job_ready, 0, 0);
    sem_init(&job_done, 0, 0);
    std::thread(client_thread).detach();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    char err[256] = "";
    struct sim *device = sim_create(kConfig, err, sizeof err);
    if (!device)
        fuzz::fail("%s", err);
    lp_io_use(sim_backend(device));
    // What a fresh service process starts with.
    lp_port_forget();
    lp_fifo_surplus_clear();
    open_port = nullptr;
    dpa_must_end = 0;
    fifo_mode = data[0] & 1 ? 0 : 1;

    const std::vector<uint8_t> replies = serve(data + 1, size - 1);
    // The connection's end: what its link still holds is taken or dropped here, so the next input
    // starts, like a fresh service process, with nothing dropped on its count.
    dpa_reset();
    lp_io_use(nullptr);
    sim_destroy(device);
    check(data + 1, size - 1, replies);
    return 0;
}
