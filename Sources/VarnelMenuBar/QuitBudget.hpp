#pragma once

#include "VarnelKit/Agent/DiagnosticsReporter.hpp"
#include "VarnelKit/Agent/VarnelAgent.hpp"

#include <chrono>

namespace varnel {

// How the tray's quit spends its 2 s, from the menu's Quit or a signal to the end of the process.
// The agent's stop is bounded by the write grace plus the report limit; the wait for it, the log's
// last lines and the exit all fit in the total, so a label cut at the quit is still reported.
struct QuitBudget {
    using Duration = std::chrono::milliseconds;

    static constexpr Duration total{2000};
    // A label being written when the quit comes may go on this long; a label printer takes a
    // whole label in milliseconds.
    static constexpr Duration writeGrace{500};
    // Then the report of that label (printed, or cut with the bytes the printer took) has this
    // long to reach the server; for a job handed to the print scheduler, half of it goes to a last
    // request to the scheduler first.
    static constexpr Duration reportLimit{1150};
    // What the agent's stop takes beyond those two: ending its loops and closing its channel.
    static constexpr Duration stopWork{150};
    // The quit waits this long for the agent's stop, and for the reporter's final flush beside it.
    static constexpr Duration agentStop = writeGrace + reportLimit + stopWork;
    // The log's last lines, then the lock, the standard streams and the exit.
    static constexpr Duration logFlush{150};
    static constexpr Duration exit{50};
    static_assert(agentStop + logFlush + exit <= total, "the quit would outlast its 2 s");

    // The reporter's final flush runs beside the agent's stop, so it may take as long as the
    // agent's own bound, and no longer.
    static constexpr Duration finalFlush = writeGrace + reportLimit;
    static_assert(finalFlush <= agentStop);

    static void apply(VarnelAgent::Options& agent, DiagnosticsReporter::Timings& reporter) {
        agent.runner.writeGrace = writeGrace;
        agent.runner.shieldedReportLimit = reportLimit;
        reporter.finalFlushLimit = finalFlush;
    }
};

} // namespace varnel
