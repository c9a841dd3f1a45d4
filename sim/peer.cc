// The multifunction peripheral behind the IEEE 1284 interface, and the encoder that turns what it
// has to say into reverse symbols.
//
// echo: every byte printed is queued (16 MiB) to be read back, the end-to-end integrity check.
// sink: printed bytes are appended to a file, gathered 64 KiB at a time so a transfer makes no
// system call per byte. source: reverse bytes come from a file, read 64 KiB at a time.
// The encoder makes at most two symbols at a time (a run-length count and its data byte), and the
// reverse faults (short, channel, long-run) act here, where the stream is made.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "sim/internal.h"

namespace sim_impl {

namespace {

// Raw bytes ready to go back, contiguous from raw_peek(0); the source refills when it runs dry.
uint64_t raw_available(struct sim *sim) {
    peer_state &q = sim->peer;
    switch (sim->cfg.peer) {
    case SIM_PEER_ECHO:
        return q.echo_count;
    case SIM_PEER_SOURCE:
        if (q.src_pos == q.src_len && !q.src_eof) {
            const ssize_t n = pread(sim->source_fd, q.src_buf, kFileBuf, off_t(q.src_offset));
            q.src_pos = 0;
            q.src_len = n > 0 ? uint32_t(n) : 0;
            q.src_offset += q.src_len;
            q.src_eof = n <= 0;
        }
        return q.src_len - q.src_pos;
    default:
        return 0;
    }
}

uint8_t raw_peek(const struct sim *sim, uint64_t i) {
    const peer_state &q = sim->peer;
    if (sim->cfg.peer == SIM_PEER_ECHO)
        return sim->echo[(q.echo_head + i) % kEchoCapacity];
    return q.src_buf[q.src_pos + i];
}

void raw_take(struct sim *sim, uint64_t n) {
    peer_state &q = sim->peer;
    if (sim->cfg.peer == SIM_PEER_ECHO) {
        q.echo_head = (q.echo_head + n) % kEchoCapacity;
        q.echo_count -= n;
    } else {
        q.src_pos += uint32_t(n);
    }
    q.sent += n;
}

void queue(struct sim *sim, symbol a) { sim->peer.queued[sim->peer.nqueued++] = a; }

// The next symbols: a channel address when the fault asks for one, else the next data byte, or a
// run of equal bytes as a count and its byte.
void generate(struct sim *sim) {
    peer_state &q = sim->peer;
    if (fault(sim, SIM_FAULT_CHANNEL) && !q.channel_done && q.sent >= fault_arg(sim, SIM_FAULT_CHANNEL, 0)) {
        q.channel_done = true;
        queue(sim, {0x81, 1});
        return;
    }
    uint64_t avail = raw_available(sim);
    if (fault(sim, SIM_FAULT_SHORT)) {
        const uint64_t limit = fault_arg(sim, SIM_FAULT_SHORT, 0);
        avail = q.sent >= limit ? 0 : std::min(avail, limit - q.sent);
    }
    if (avail == 0)
        return;
    const uint8_t b = raw_peek(sim, 0);
    if (fault(sim, SIM_FAULT_LONG_RUN) && !q.long_run_done) {
        q.long_run_done = true;
        raw_take(sim, 1);
        queue(sim, {uint8_t(fault_arg(sim, SIM_FAULT_LONG_RUN, 128) - 1), 1});
        queue(sim, {b, 0});
        return;
    }
    uint64_t run = 1;
    if (sim->cfg.rle)
        while (run < 128 && run < avail && raw_peek(sim, run) == b)
            run++;
    raw_take(sim, run);
    if (run > 1)
        queue(sim, {uint8_t(run - 1), 1});
    queue(sim, {b, 0});
}

}  // namespace

bool peer_room(const struct sim *sim, uint32_t n) {
    return sim->cfg.peer != SIM_PEER_ECHO || kEchoCapacity - sim->peer.echo_count >= n;
}

void peer_put_bytes(struct sim *sim, const uint8_t *bytes, uint32_t n) {
    peer_state &q = sim->peer;
    switch (sim->cfg.peer) {
    case SIM_PEER_ECHO:
        for (uint32_t done = 0; done < n;) {
            const uint64_t at = (q.echo_head + q.echo_count) % kEchoCapacity;
            const uint32_t k = uint32_t(std::min<uint64_t>(n - done, kEchoCapacity - at));
            std::copy(bytes + done, bytes + done + k, sim->echo + at);
            q.echo_count += k;
            done += k;
        }
        break;
    case SIM_PEER_SINK:
        for (uint32_t done = 0; done < n;) {
            const uint32_t k = std::min(n - done, kFileBuf - q.sink_len);
            std::copy(bytes + done, bytes + done + k, q.sink_buf + q.sink_len);
            q.sink_len += k;
            done += k;
            if (q.sink_len == kFileBuf)
                peer_flush(sim);
        }
        break;
    default:
        break;
    }
}

void peer_put(struct sim *sim, uint8_t byte) {
    peer_state &q = sim->peer;
    switch (sim->cfg.peer) {
    case SIM_PEER_ECHO:
        sim->echo[(q.echo_head + q.echo_count) % kEchoCapacity] = byte;
        q.echo_count++;
        break;
    case SIM_PEER_SINK:
        q.sink_buf[q.sink_len++] = byte;
        if (q.sink_len == kFileBuf)
            peer_flush(sim);
        break;
    default:
        break;  // a source has nowhere to put printed bytes
    }
}

bool peer_peek(struct sim *sim, symbol *out) {
    if (sim->periph.id_stream)
        return id_peek(sim, out);  // the Device ID stands in for the MFP's data (devid.cc)
    if (sim->peer.nqueued == 0)
        generate(sim);
    if (sim->peer.nqueued == 0)
        return false;
    *out = sim->peer.queued[0];
    return true;
}

void peer_pop(struct sim *sim) {
    if (sim->periph.id_stream) {
        id_pop(sim);
        return;
    }
    peer_state &q = sim->peer;
    if (q.nqueued == 0)
        return;
    q.queued[0] = q.queued[1];
    q.nqueued--;
}

uint64_t peer_pending(const struct sim *sim) {
    const peer_state &q = sim->peer;
    if (sim->cfg.peer == SIM_PEER_ECHO)
        return q.echo_count;
    if (sim->cfg.peer != SIM_PEER_SOURCE)
        return 0;
    struct stat st;
    const uint64_t size = fstat(sim->source_fd, &st) == 0 ? uint64_t(st.st_size) : 0;
    return (q.src_len - q.src_pos) + (size > q.src_offset ? size - q.src_offset : 0);
}

bool peer_has_data(const struct sim *sim) {
    const peer_state &q = sim->peer;
    if (q.nqueued)
        return true;
    if (fault(sim, SIM_FAULT_CHANNEL) && !q.channel_done && q.sent >= fault_arg(sim, SIM_FAULT_CHANNEL, 0))
        return true;
    if (fault(sim, SIM_FAULT_SHORT) && q.sent >= fault_arg(sim, SIM_FAULT_SHORT, 0))
        return false;
    // The source's buffer answers without a system call; only an empty one asks the file.
    if (sim->cfg.peer == SIM_PEER_SOURCE && q.src_pos < q.src_len)
        return true;
    return peer_pending(sim) > 0;
}

void peer_flush(struct sim *sim) {
    peer_state &q = sim->peer;
    uint32_t done = 0;
    while (sim->sink_fd >= 0 && done < q.sink_len) {
        const ssize_t n = write(sim->sink_fd, q.sink_buf + done, q.sink_len - done);
        if (n <= 0)
            break;  // a sink that cannot be written loses the bytes; the device goes on
        done += uint32_t(n);
    }
    q.sink_len = 0;
}

}  // namespace sim_impl

using namespace sim_impl;

extern "C" {

size_t sim_peer_push(struct sim *sim, const uint8_t *bytes, size_t n) {
    sim_lock(sim);
    size_t i = 0;
    for (; sim->cfg.peer == SIM_PEER_ECHO && i < n && peer_room(sim, 1); i++)
        peer_put(sim, bytes[i]);
    sim_unlock(sim);
    return i;
}

size_t sim_peer_take(struct sim *sim, uint8_t *bytes, size_t n) {
    sim_lock(sim);
    size_t i = 0;
    for (; sim->cfg.peer == SIM_PEER_ECHO && i < n && sim->peer.echo_count; i++) {
        bytes[i] = raw_peek(sim, 0);
        sim->peer.echo_head = (sim->peer.echo_head + 1) % kEchoCapacity;
        sim->peer.echo_count--;
    }
    sim_unlock(sim);
    return i;
}

}  // extern "C"
