// The two loops of a printing client: waiting for the port while another job holds it, and
// sending a job to a printer that pauses (paper out, warm-up, a full buffer). Both pause between
// tries with a doubling back-off, tell the caller through tc_events, and give up only after the
// caller's patience has run out without progress.
#include <algorithm>
#include <cerrno>

#include "client/client.h"
#include "client/internal.h"

namespace {

bool expired(const tc_patience &p, int64_t since) {
    return p.give_up_ms > 0 && tc_now_ms() - since >= p.give_up_ms;
}

int next_pause(const tc_patience &p, int pause) { return std::min(pause * 2, p.max_pause_ms); }

}  // namespace

tc_result tc_pause(const tc_client &c, int ms) {
    if (tc_wait(c.opts, -1, 0, tc_now_ms() + ms) == ECANCELED)
        return tc_failure(tc_errc::cancelled, "cancelled");
    tc_result r;
    r.status = MSG_OK;
    return r;
}

tc_result tc_init_wait(tc_client &c, const tc_patience &p, const tc_events &ev) {
    const int64_t start = tc_now_ms();
    int pause = p.pause_ms;
    bool said_busy = false;  // a daemon has answered FAIL busy (or full) in this wait
    for (;;) {
        if (!tc_connected(c)) {
            if (tc_result r = tc_connect(c, c.host, c.port); r.error != tc_errc::none)
                return r;
        }
        // The daemon answers an INIT within its own bounded wait for the port (OK, or FAIL busy,
        // which is asked again), so the INIT has the reply time-out like every request, and no
        // more than the patience left. No answer at all is not "busy": whatever listens there
        // is not answering as the daemon would.
        tc_wait_plan plan;
        plan.budget_ms = tc_reply_budget(c.opts, 0);
        if (p.give_up_ms > 0)
            plan.budget_ms = std::min<int64_t>(plan.budget_ms,
                                               std::max<int64_t>(p.give_up_ms - (tc_now_ms() - start), 1000));
        plan.notice = ev.waiting ? &ev.waiting : nullptr;
        plan.notice_ms = p.waiting_notice_ms;
        tc_result r = tc_transact(c, MSG_INIT, 0, {}, {}, plan);
        // Silence after a busy answer, once the patience has run out, is that daemon still
        // holding the INIT in its queue: the printer stayed busy.
        if (r.error == tc_errc::timeout && said_busy && expired(p, start))
            r.message = "printer busy for " + std::to_string(p.give_up_ms / 1000) +
                        " s (the last INIT was still waiting for the port)";
        else if (r.error == tc_errc::timeout)
            r.message = "no answer from the daemon (INIT unanswered within " +
                        std::to_string((plan.budget_ms + 999) / 1000) + " s)";
        if (!tc_fail_is_temporary(r) || expired(p, start))
            return r;
        // A daemon at its connection cap turns the connection away: the next try is a new one.
        if (r.count == MSG_FAIL_TOO_MANY)
            tc_close(c);
        said_busy = true;
        if (ev.busy)
            ev.busy(uint32_t(r.count), pause);
        if (tc_result w = tc_pause(c, pause); w.error != tc_errc::none)
            return w;
        pause = next_pause(p, pause);
    }
}

tc_result tc_write_job(tc_client &c, std::span<const uint8_t> data, const tc_patience &p,
                       const tc_events &ev) {
    uint64_t done = 0;
    int64_t last_taken = tc_now_ms();
    int pause = p.pause_ms;
    bool stalled = false;
    tc_result r;
    r.status = MSG_OK;
    while (done < data.size()) {
        const size_t chunk = std::min<size_t>(data.size() - done, TC_WRITE_CHUNK);
        r = tc_write(c, data.subspan(done, chunk));
        if (!r.ok())
            break;
        done += r.count;
        if (r.count > 0) {
            last_taken = tc_now_ms();
            if (stalled && ev.resumed)
                ev.resumed(done);
            stalled = false;
            pause = p.pause_ms;
            if (ev.progress)
                ev.progress(done);
        }
        if (r.count == chunk)
            continue;
        // The daemon ends a WRITE once the printer has taken nothing for a while: it paused.
        if (expired(p, last_taken))
            break;
        stalled = true;
        if (ev.stalled)
            ev.stalled(done, pause);
        if (tc_result w = tc_pause(c, pause); w.error != tc_errc::none) {
            r = w;
            break;
        }
        pause = next_pause(p, pause);
    }
    r.count = done;
    return r;
}
