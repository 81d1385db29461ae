#pragma once

#include "VarnelKit/Support/Json.hpp"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

enum class AgentEventKind {
    agentStarted,
    agentStopped,
    agentCrashed,
    updateInstalled,
    updateFailed,
    connectionLost,
    connectionRestored,
    authenticationFailed,
    printerUnreachable,
    printerRestored,
    printerDiscoveryFailed,
    spoolerFailure,
};

constexpr std::array<AgentEventKind, 12> allCases(AgentEventKind) {
    using K = AgentEventKind;
    return {K::agentStarted,         K::agentStopped,       K::agentCrashed,    K::updateInstalled,
            K::updateFailed,         K::connectionLost,     K::connectionRestored, K::authenticationFailed,
            K::printerUnreachable,   K::printerRestored,    K::printerDiscoveryFailed, K::spoolerFailure};
}

constexpr std::string_view rawValue(AgentEventKind kind) {
    switch (kind) {
    case AgentEventKind::agentStarted: return "agent_started";
    case AgentEventKind::agentStopped: return "agent_stopped";
    case AgentEventKind::agentCrashed: return "agent_crashed";
    case AgentEventKind::updateInstalled: return "update_installed";
    case AgentEventKind::updateFailed: return "update_failed";
    case AgentEventKind::connectionLost: return "connection_lost";
    case AgentEventKind::connectionRestored: return "connection_restored";
    case AgentEventKind::authenticationFailed: return "authentication_failed";
    case AgentEventKind::printerUnreachable: return "printer_unreachable";
    case AgentEventKind::printerRestored: return "printer_restored";
    case AgentEventKind::printerDiscoveryFailed: return "printer_discovery_failed";
    case AgentEventKind::spoolerFailure: break;
    }
    return "spooler_failure";
}

inline std::string describe(AgentEventKind kind) { return std::string(rawValue(kind)); }

// One diagnostic event as sent to the server. Encoded only.
struct AgentEventReport {
    std::string kind; // the kind's raw value
    std::optional<std::string> message;
    std::optional<std::int64_t> printerId;
    json::Date occurredAt;
    std::optional<std::map<std::string, std::string>> context;

    json::Ordered toJson() const;
};

// The body of the events request: {"events": [...]} in list order.
struct AgentEventBatch {
    std::vector<AgentEventReport> events;

    json::Ordered toJson() const;
};

} // namespace varnel
