// Dates: parsing any text, and formatting any time point the clock can hold. A parsed date
// written again and read back is the same instant, cut to the written precision.
#include "FuzzCheck.hpp"
#include "VarnelKit/Support/Iso8601.hpp"

#include <cstring>

using namespace varnel;
using fuzz::require;
using Clock = Iso8601::Clock;

namespace {

void checkWrittenForms(Clock::time_point time) {
    const auto millis = Iso8601::parse(Iso8601::milliseconds(time));
    require(millis.has_value(), "millisecond form parses");
    require(*millis <= time && time - *millis < std::chrono::milliseconds(1),
            "millisecond form keeps the instant");
    const auto seconds = Iso8601::parse(Iso8601::wholeSeconds(time));
    require(seconds.has_value(), "whole-second form parses");
    require(*seconds <= time && time - *seconds < std::chrono::seconds(1),
            "whole-second form keeps the instant");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (const auto parsed = Iso8601::parse(fuzz::textOf(data, size)))
        checkWrittenForms(*parsed);
    if (size >= sizeof(Clock::rep)) {
        Clock::rep ticks;
        std::memcpy(&ticks, data, sizeof ticks);
        checkWrittenForms(Clock::time_point(Clock::duration(ticks)));
    }
    return 0;
}
