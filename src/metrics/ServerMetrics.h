#pragma once

#include <string>

#include "metrics/ExpositionFormat.h"

namespace velmor {

class DescriptorListing;
class VelmorServer;

// The body of a scrape: every figure of the server (velmor_*), its version as an info, and
// the process's standard figures (process_*, the open descriptors counted with
// `descriptors`), in the format asked for. Any thread: it reads only the figures meant for
// any thread (relaxed atomics, constants) and /proc, and takes no lock; the metrics endpoint
// calls it on its own thread. REQUIRES: the server outlives the call; no other thread uses
// `descriptors` meanwhile.
std::string renderServerMetrics(const VelmorServer& server, DescriptorListing& descriptors,
                                ExpositionFormat format);

}  // namespace velmor
