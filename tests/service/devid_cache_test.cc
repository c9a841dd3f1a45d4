// When DEVICE_ID is answered from the port's Device ID cache rather than read on the port.
#include <gtest/gtest.h>

#include <cstdint>

#include "service/requests.h"

namespace {

TEST(DeviceIdCache, AnswersWhenFreshOrWhileAnotherHoldsThePort) {
    const struct {
        size_t len;
        int64_t age_ms;
        int busy;
        int answers;
    } rows[] = {
        {6, 1000, 0, 1},
        {6, DEVID_FRESH_MS, 0, 1},
        {6, DEVID_FRESH_MS + 1, 0, 0},   // stale and the port free: read it again
        {6, INT64_MAX, 0, 0},            // written in the future (the clock went back): stale
        {6, INT64_MAX, 1, 1},            // any age while a job holds the port
        {0, 0, 1, 0},                    // nothing cached: wait for the port like INIT
    };
    for (const auto &r : rows)
        EXPECT_EQ(devid_cache_answers(r.len, r.age_ms, r.busy), r.answers) << r.len << " " << r.age_ms << " " << r.busy;
}

}  // namespace
