#pragma once

#include "VarnelKit/Platform/CupsApi.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace varnel {

// A snapshot of one local CUPS queue: does it exist, is it stopped or refusing jobs, and is a
// physical fault blocking it. Every read asks the scheduler afresh; reading never fails. The
// reads block: call them on the blocking pool.
struct CupsQueueState {
    using Options = std::map<std::string, std::string>;

    std::string name;
    std::int64_t state = 3; // IPP printer state: 3 idle, 4 processing, 5 stopped
    bool isAcceptingJobs = true;
    std::optional<std::string> message;
    std::optional<std::string> deviceURI;
    std::optional<std::string> makeAndModel;
    std::vector<std::string> stateReasons;

    bool operator==(const CupsQueueState&) const = default;

    bool isStopped() const noexcept { return state == 5; }
    bool isProcessing() const noexcept { return state == 4; }
    std::optional<std::string> blockingFault() const { return blockingFault(stateReasons); }

    // The first destination named exactly `queue` (instances not looked at); none when CUPS does
    // not list it or no scheduler answers.
    static std::optional<CupsQueueState> read(const std::string& queue, CupsApi& api = *systemCupsApi());
    // Every named destination; of several with one name the later wins.
    static std::map<std::string, CupsQueueState> readAll(CupsApi& api = *systemCupsApi());

    // The phrase of the first reason, in list order, that blocks printing ("is out of paper").
    // Reasons ending in -warning or -report never block; an -error suffix is ignored.
    static std::optional<std::string> blockingFault(const std::vector<std::string>& reasons);
    static const std::vector<std::pair<std::string, std::string>>& blockingReasons();

    // A destination's options as a map: pairs missing a side are skipped, a later name wins.
    static Options readOptions(const std::vector<CupsOption>& options);
    static CupsQueueState make(const Options& options, std::string name);
    // One option's value, if the destination has it.
    static std::optional<std::string> option(const Options& options, const char* name);
    // "printer-state" as CUPS gives it; 3 when missing or not a whole number.
    static std::int64_t printerState(const Options& options);
    // "printer-is-accepting-jobs": only the exact text "false" refuses.
    static bool acceptsJobs(const Options& options);
};

} // namespace varnel
