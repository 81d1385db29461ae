#pragma once

#include <chrono>

namespace varnel::CLI {

// What a stop of `run` (Ctrl-C, or a service manager's SIGTERM) may cost. The worst case is a
// write under way that uses its whole grace, then a report of that job that the server does not
// answer: the agent's stop returns after the grace plus the report's limit, and the program still
// has room for its own last steps and the log's last lines.
struct QuitBudget {
    using Duration = std::chrono::milliseconds;

    // A write under way at a stop may finish within this grace; a label cut in half is a label lost.
    static constexpr Duration writeGrace{5000};
    // The report of a job that reached the printer, counted from the stop or, for a write let
    // finish or cut off, from its end; for a job handed to the print scheduler, half of it goes to a
    // last request to the scheduler first.
    static constexpr Duration reportLimit{2500};
    // The agent's own bound: its stop returns within this.
    static constexpr Duration agentStop = writeGrace + reportLimit;
    // Past this, counted from the first signal, the program leaves whatever is still under way. The
    // room beyond the agent's bound is for the loop's steps between the stop's end and the exit.
    static constexpr Duration stepsLimit = agentStop + Duration(500);
    // Then the log gets its last lines for at most this long.
    static constexpr Duration logDrainLimit{2000};
    // The whole shut-down, from the first signal to the end of the process.
    static constexpr Duration quitLimit = stepsLimit + logDrainLimit;
};

// What the command's help and the README promise.
static_assert(QuitBudget::quitLimit <= std::chrono::seconds(10));

} // namespace varnel::CLI
