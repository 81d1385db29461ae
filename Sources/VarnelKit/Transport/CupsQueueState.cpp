#include "VarnelKit/Transport/CupsQueueState.hpp"

#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/Text.hpp"

#include <string_view>

namespace varnel {

namespace {

// Trims the space separators and tabs, not line breaks; IPP keywords may come padded.
std::string trimmedReason(std::string_view reason) {
    const auto points = Text::codePoints(reason);
    if (!points) return std::string(reason);
    const auto isBlank = [](char32_t c) { return c == U'\t' || Text::isSpaceSeparator(c); };
    std::size_t begin = 0;
    std::size_t end = points->size();
    while (begin < end && isBlank((*points)[begin])) ++begin;
    while (end > begin && isBlank((*points)[end - 1])) --end;
    return Text::fromCodePoints(std::u32string_view(*points).substr(begin, end - begin));
}

std::string normalisedReason(std::string_view reason) {
    return Text::lowercased(trimmedReason(reason));
}

std::vector<std::string> reasonsFrom(const std::optional<std::string>& text) {
    std::vector<std::string> reasons;
    if (!text) return reasons;
    std::string_view rest = *text;
    while (true) {
        const auto comma = rest.find(',');
        auto reason = normalisedReason(rest.substr(0, comma));
        if (!reason.empty() && reason != "none") reasons.push_back(std::move(reason));
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return reasons;
}

} // namespace

std::optional<std::string> CupsQueueState::option(const Options& options, const char* name) {
    const auto found = options.find(name);
    if (found == options.end()) return std::nullopt;
    return found->second;
}

CupsQueueState::Options CupsQueueState::readOptions(const std::vector<CupsOption>& options) {
    Options map;
    for (const auto& pair : options) {
        if (pair.name && pair.value) map[*pair.name] = *pair.value;
    }
    return map;
}

std::int64_t CupsQueueState::printerState(const Options& options) {
    const auto text = option(options, "printer-state");
    if (!text) return 3;
    return NumberText::parseInteger(*text).value_or(3);
}

bool CupsQueueState::acceptsJobs(const Options& options) {
    return option(options, "printer-is-accepting-jobs") != std::optional<std::string>("false");
}

CupsQueueState CupsQueueState::make(const Options& options, std::string name) {
    CupsQueueState state;
    state.name = std::move(name);
    state.message = option(options, "printer-state-message");
    if (state.message && state.message->empty()) state.message.reset();
    state.state = printerState(options);
    state.isAcceptingJobs = acceptsJobs(options);
    state.deviceURI = option(options, "device-uri");
    state.makeAndModel = option(options, "printer-make-and-model");
    state.stateReasons = reasonsFrom(option(options, "printer-state-reasons"));
    return state;
}

std::optional<CupsQueueState> CupsQueueState::read(const std::string& queue, CupsApi& api) {
    for (const auto& destination : api.destinations()) {
        if (destination.name == queue) return make(readOptions(destination.options), queue);
    }
    return std::nullopt;
}

std::map<std::string, CupsQueueState> CupsQueueState::readAll(CupsApi& api) {
    std::map<std::string, CupsQueueState> states;
    for (const auto& destination : api.destinations()) {
        if (!destination.name) continue;
        states.insert_or_assign(*destination.name, make(readOptions(destination.options), *destination.name));
    }
    return states;
}

const std::vector<std::pair<std::string, std::string>>& CupsQueueState::blockingReasons() {
    static const std::vector<std::pair<std::string, std::string>> table = {
        {"media-empty", "is out of paper"},
        {"media-needed", "needs paper loaded"},
        {"media-jam", "has a paper jam"},
        {"cover-open", "has a cover open"},
        {"door-open", "has a door open"},
        {"input-tray-missing", "is missing its paper tray"},
        {"output-tray-missing", "is missing its output tray"},
        {"marker-supply-empty", "is out of ink or toner"},
        {"toner-empty", "is out of toner"},
        {"output-area-full", "has a full output bin"},
        {"offline", "is offline"},
        {"shutdown", "is shut down"},
    };
    return table;
}

std::optional<std::string> CupsQueueState::blockingFault(const std::vector<std::string>& reasons) {
    for (const auto& raw : reasons) {
        auto reason = normalisedReason(raw);
        if (reason.ends_with("-warning") || reason.ends_with("-report")) continue;
        if (reason.ends_with("-error")) reason.resize(reason.size() - 6);
        for (const auto& [keyword, phrase] : blockingReasons()) {
            if (keyword == reason) return phrase;
        }
    }
    return std::nullopt;
}

} // namespace varnel
