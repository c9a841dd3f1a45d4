// The device as a whole: the shared mapping, its lock, the clock, the trace and the seam backend.
//
// Every seam call takes the lock, lets the device catch up with the clock, makes its one access,
// charges its cost to the virtual clock, counts and traces itself, and lets go. A sleep on the
// real clock happens outside the lock, so one sleeping process never holds up another; a clock
// read on the real clock, when nothing in the device depends on the time, takes no lock at all.
#include <errno.h>
#include <stdarg.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include "sim/internal.h"

using namespace sim_impl;

namespace {

int64_t mono_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void lock(struct sim *sim) {
    // A holder that died mid-access leaves the state as far as it got; every access is a few
    // stores, so the device stays usable and the lock is made consistent again.
    if (pthread_mutex_lock(&sim->lock) == EOWNERDEAD)
        pthread_mutex_consistent(&sim->lock);
}

void unlock(struct sim *sim) { pthread_mutex_unlock(&sim->lock); }

// The device catches up with the clock before the access; the access itself costs io_ns. The
// time (0 when nothing depends on it, see timed) is returned for the access's own use.
uint64_t begin(struct sim *sim, bool clock = false) {
    lock(sim);
    const uint64_t t = clock || timed(sim) ? now_ns(sim) : 0;
    port_catch_up(sim, t);
    return t;
}

void charge(struct sim *sim, uint64_t ns) {
    if (sim->cfg.virtual_clock)
        sim->vclock_ns += ns;
}

// One trace line, appended with a single write so lines of several processes never mix.
__attribute__((format(printf, 3, 4))) void trace_line(struct sim *sim, uint64_t t, const char *fmt, ...) {
    char line[96];
    int n = snprintf(line, sizeof line, "%llu ", (unsigned long long)(t / 1000));
    va_list ap;
    va_start(ap, fmt);
    n += vsnprintf(line + n, sizeof line - size_t(n), fmt, ap);
    va_end(ap);
    if (write(sim->trace_fd, line, size_t(n)) < 0) {
        // A trace that cannot be written is dropped; the device itself goes on.
    }
}

// Without a trace, an access pays one test for it.
template <typename... Args>
inline void trace(struct sim *sim, uint64_t t, const char *fmt, Args... args) {
    if (sim->trace_fd >= 0)
        trace_line(sim, t, fmt, args...);
}

int sim_acquire(void *ctx, long base) {
    const struct sim *sim = static_cast<struct sim *>(ctx);
    return base == long(sim->cfg.base) ? 0 : ENODEV;  // ENODEV: no port of this machine sits there
}

uint8_t sim_inb(void *ctx, uint16_t addr) {
    struct sim *sim = static_cast<struct sim *>(ctx);
    const uint64_t t = begin(sim);
    const int reg = port_reg(sim, addr);
    const uint8_t v = port_read(sim, reg);
    charge(sim, sim->cfg.io_ns);
    sim->counters.reads[reg]++;
    trace(sim, t, "R %03x %02x\n", addr, v);
    unlock(sim);
    return v;
}

void sim_outb(void *ctx, uint16_t addr, uint8_t value) {
    struct sim *sim = static_cast<struct sim *>(ctx);
    const uint64_t t = begin(sim);
    const int reg = port_reg(sim, addr);
    port_write(sim, reg, value);
    charge(sim, sim->cfg.io_ns);
    sim->counters.writes[reg]++;
    trace(sim, t, "W %03x %02x\n", addr, value);
    unlock(sim);
}

// A string transfer is n single accesses as far as the device goes: the link may move bytes
// between them. The clock is read once, when the transfer begins: byte i is at t + i * io_ns on
// the virtual clock, and at t on the real one, where the whole string takes less than one byte
// of a rate-limited link and reading the clock per byte cost more than the simulated access.
// A link of unlimited rate has no timing to keep: it catches up only where the next byte could
// not go otherwise (a full FIFO before a write, an empty one before a read), which leaves the
// device exactly where a catch-up before every byte would.
uint64_t byte_time(const struct sim *sim, uint64_t t, size_t i) {
    return sim->cfg.virtual_clock ? t + uint64_t(i) * sim->cfg.io_ns : t;
}

void sim_outsb(void *ctx, uint16_t addr, const uint8_t *bytes, size_t n) {
    struct sim *sim = static_cast<struct sim *>(ctx);
    const uint64_t t = begin(sim);
    const int reg = port_reg(sim, addr);
    if (reg == SIM_REG_FIFO && !sim->period_ns) {
        for (size_t i = 0; i < n;) {
            if (i)
                port_catch_up(sim, byte_time(sim, t, i));  // the FIFO is full
            const size_t k = port_write_fifo(sim, bytes + i, n - i);
            if (k == 0)
                port_write(sim, reg, bytes[i]);  // still full: lost, as a single write is
            i += k ? k : 1;
        }
    } else {
        for (size_t i = 0; i < n; i++) {
            if (i && (sim->period_ns || port_fifo_full(sim)))
                port_catch_up(sim, byte_time(sim, t, i));
            port_write(sim, reg, bytes[i]);
        }
    }
    charge(sim, uint64_t(n) * sim->cfg.io_ns);
    sim->counters.writes[reg] += n;
    sim->counters.string_outputs++;
    trace(sim, t, "O %03x %zu\n", addr, n);
    unlock(sim);
}

void sim_insb(void *ctx, uint16_t addr, uint8_t *bytes, size_t n) {
    struct sim *sim = static_cast<struct sim *>(ctx);
    const uint64_t t = begin(sim);
    const int reg = port_reg(sim, addr);
    for (size_t i = 0; i < n; i++) {
        if (i && (sim->period_ns || sim->port.count == 0))
            port_catch_up(sim, byte_time(sim, t, i));
        bytes[i] = port_read(sim, reg);
    }
    charge(sim, uint64_t(n) * sim->cfg.io_ns);
    sim->counters.reads[reg] += n;
    sim->counters.string_inputs++;
    trace(sim, t, "I %03x %zu\n", addr, n);
    unlock(sim);
}

// The simulator's own clock, virtual or CLOCK_MONOTONIC, from 0 at its creation: like the real
// backend's, it never steps, whatever is done to the system time. A clock read costs an access
// too, so a loop that only reads the clock still ends.
void sim_gettime(void *ctx, struct timeval *tv) {
    struct sim *sim = static_cast<struct sim *>(ctx);
    if (!timed(sim)) {
        // Nothing in the device moves with the time: it needs no catching up for a clock read
        // (the next access catches up all the same), so the read takes no lock either.
        const uint64_t t = now_ns(sim);
        tv->tv_sec = time_t(t / 1000000000);
        tv->tv_usec = suseconds_t(t / 1000 % 1000000);
        __atomic_add_fetch(&sim->counters.clock_reads, 1, __ATOMIC_RELAXED);
        return;
    }
    const uint64_t t = begin(sim, true);
    tv->tv_sec = time_t(t / 1000000000);
    tv->tv_usec = suseconds_t(t / 1000 % 1000000);
    charge(sim, sim->cfg.io_ns);
    sim->counters.clock_reads++;
    trace(sim, t, "T\n");
    unlock(sim);
}

void sim_sleep(void *ctx, unsigned us) {
    struct sim *sim = static_cast<struct sim *>(ctx);
    const uint64_t t = begin(sim, true);
    charge(sim, uint64_t(us) * 1000);
    sim->counters.sleeps++;
    sim->counters.sleep_us += us;
    trace(sim, t, "S %u\n", us);
    const bool real = !sim->cfg.virtual_clock;
    unlock(sim);
    if (real)
        lp_io_pause(us);
}

int open_file(const char *path, int flags, const char *what, char *err, size_t errlen) {
    const int fd = open(path, flags | O_CLOEXEC, 0644);
    if (fd < 0 && err && errlen)
        snprintf(err, errlen, "sim: cannot open %s '%s': %s", what, path, strerror(errno));
    return fd;
}

}  // namespace

namespace sim_impl {

uint64_t now_ns(struct sim *sim) {
    if (sim->cfg.virtual_clock)
        return sim->vclock_ns;
    return uint64_t(mono_ns() - sim->mono_start_ns);
}

}  // namespace sim_impl

extern "C" {

struct sim *sim_create(const char *config, char *err, size_t errlen) {
    struct sim_config cfg;
    if (sim_parse_config(config, &cfg, err, errlen))
        return nullptr;
    const size_t len = sizeof(struct sim) + kEchoCapacity;
    void *map = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) {
        if (err && errlen)
            snprintf(err, errlen, "sim: cannot map the shared device: %s", strerror(errno));
        return nullptr;
    }
    struct sim *sim = static_cast<struct sim *>(map);  // the mapping comes zero-filled
    sim->cfg = cfg;
    sim->map_len = len;
    sim->trace_fd = sim->sink_fd = sim->source_fd = -1;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&sim->lock, &attr);
    pthread_mutexattr_destroy(&attr);
    if ((cfg.trace[0] && (sim->trace_fd = open_file(cfg.trace, O_WRONLY | O_CREAT | O_APPEND, "trace", err, errlen)) < 0) ||
        (cfg.peer == SIM_PEER_SINK && (sim->sink_fd = open_file(cfg.sink, O_WRONLY | O_CREAT | O_APPEND, "sink", err, errlen)) < 0) ||
        (cfg.peer == SIM_PEER_SOURCE && (sim->source_fd = open_file(cfg.source, O_RDONLY, "source", err, errlen)) < 0)) {
        sim_destroy(sim);
        return nullptr;
    }

    sim->period_ns = cfg.rate ? (1000000000ull + cfg.rate / 2) / cfg.rate : 0;
    sim->mono_start_ns = mono_ns();
    sim->backend = {"sim", sim_acquire, sim_inb, sim_outb, sim_outsb, sim_insb, sim_gettime, sim_sleep, sim, nullptr, nullptr, nullptr};
    sim->rng = cfg.jitter * 0x9E3779B97F4A7C15ull | 1;
    port_reset(sim);
    periph_reset(sim);
    return sim;
}

void sim_destroy(struct sim *sim) {
    if (!sim)
        return;
    if (sim->sink_fd >= 0) {
        lock(sim);
        peer_flush(sim);
        unlock(sim);
        close(sim->sink_fd);
    }
    if (sim->trace_fd >= 0) close(sim->trace_fd);
    if (sim->source_fd >= 0) close(sim->source_fd);
    munmap(sim, sim->map_len);
}

const struct lp_io_backend *sim_backend(struct sim *sim) { return &sim->backend; }

void sim_get_counters(struct sim *sim, struct sim_counters *out) {
    lock(sim);
    *out = sim->counters;
    unlock(sim);
}

uint64_t sim_bytes_to_peer(struct sim *sim) { return __atomic_load_n(&sim->counters.bytes_to_peer, __ATOMIC_RELAXED); }

void sim_reset_counters(struct sim *sim) {
    lock(sim);
    sim->counters = {};
    unlock(sim);
}

uint64_t sim_now_us(struct sim *sim) {
    lock(sim);
    const uint64_t t = now_ns(sim);
    unlock(sim);
    return t / 1000;
}

enum sim_pstate sim_peripheral_state(struct sim *sim) {
    lock(sim);
    port_catch_up(sim, now_ns(sim));
    const int s = sim->periph.state;
    unlock(sim);
    return sim_pstate(s);
}

unsigned sim_fifo_count(struct sim *sim) {
    lock(sim);
    port_catch_up(sim, now_ns(sim));
    const unsigned n = sim->port.count;
    unlock(sim);
    return n;
}

uint64_t sim_peer_pending(struct sim *sim) {
    lock(sim);
    const uint64_t n = peer_pending(sim);
    unlock(sim);
    return n;
}

void sim_flush(struct sim *sim) {
    lock(sim);
    peer_flush(sim);
    unlock(sim);
}

void sim_lock(struct sim *sim) { lock(sim); }
void sim_unlock(struct sim *sim) { unlock(sim); }

}  // extern "C"
