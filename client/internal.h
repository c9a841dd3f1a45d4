// What client.cc shares with job.cc and nothing else: the clock, the cancellable wait and the
// request/reply exchange with its deadline.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "client/client.h"

// Waits until `fd` is ready for `events` (fd -1: only the deadline and the cancel hooks count).
// 0 when ready, ETIMEDOUT once `deadline` (ms on tc_now_ms's clock, -1: none) has passed,
// ECANCELED when the caller cancels, or the errno of a failing poll.
int tc_wait(const tc_options &o, int fd, short events, int64_t deadline);

// How long one request may take, and who to tell once it has taken a while.
struct tc_wait_plan {
    int64_t budget_ms = -1;                        // -1: no deadline
    const std::function<void()> *notice = nullptr;  // called once if no reply came in notice_ms
    int notice_ms = 0;
};
// The deadline a request of `payload` bytes (either way) gets from the options.
int64_t tc_reply_budget(const tc_options &o, size_t payload);
// Sends one request and takes in its reply. `out` is the request's payload; a READ reply's
// payload lands in `in`, whose size is the most the reply may carry.
tc_result tc_transact(tc_client &c, int code, uint32_t count, std::span<const uint8_t> out,
                      std::span<uint8_t> in, const tc_wait_plan &plan);
tc_result tc_failure(tc_errc error, std::string message);
