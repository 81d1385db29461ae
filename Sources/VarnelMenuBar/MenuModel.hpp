#pragma once

#include "VarnelKit/Agent/AgentSettings.hpp"
#include "VarnelKit/Agent/VarnelAPIClient.hpp"
#include "VarnelKit/Agent/VarnelAgent.hpp"
#include "VarnelKit/Protocol/ReportedPrinter.hpp"

#include <optional>
#include <string>
#include <vector>

namespace varnel {

// The status menu as data: what the application knows at the moment the menu opens, and the rows
// it shows for that. The Qt layer turns each entry into one action.
namespace MenuModel {

enum class Action {
    none,
    openSetup,
    openConfiguration,
    installUpdate,
    testPrint,
    openReleaseNotes,
    openWebApp,
    quit,
};

struct State {
    VarnelAgent::Status status = VarnelAgent::Status::notEnrolled();
    std::optional<AgentSettings> settings;
    std::vector<ReportedPrinter> printers;
    std::optional<VarnelAPIClient::AgentUpdate> availableUpdate;
    bool isUpdating = false;
};

struct Entry {
    bool separator = false;
    std::string title;
    Action action = Action::none;
    char key = 0; // a lower-case letter taken with Ctrl, or 0
    bool enabled = false;
    bool bold = false;
    std::string tooltip;
    std::optional<ReportedPrinter> printer; // the printer a test-print row sends to

    bool operator==(const Entry&) const = default;
};

std::vector<Entry> build(const State& state);
// The printer rows alone, sorted by name in plain code-point order.
std::vector<Entry> printerRows(const std::vector<ReportedPrinter>& printers);

} // namespace MenuModel
} // namespace varnel
