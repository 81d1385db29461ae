#pragma once

// How GoogleTest shows the transport's results in a failed expectation: as the self-test does.
#include "VarnelKit/Transport/CupsJobWatcher.hpp"
#include "VarnelKit/Transport/ReachabilityProbe.hpp"

#include <ostream>

namespace varnel {

inline void PrintTo(const CupsJobWatcher::Outcome& outcome, std::ostream* out) { *out << describe(outcome); }
inline void PrintTo(const ReachabilityProbe::Result& result, std::ostream* out) { *out << describe(result); }

} // namespace varnel
