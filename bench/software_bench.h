// Figure 9: the software handshake's speed against the way its pauses were kept before, and its
// port accesses per byte against the handshake's floor (tessal_link_bench --software-bytes=N).
#pragma once

#include <cstddef>
#include <vector>

#include "bench/report.h"

namespace bench {

// Rows 9a and 9b; empty when the simulator cannot be made.
std::vector<row> software_handshake_figures(size_t bytes, int runs);

}  // namespace bench
