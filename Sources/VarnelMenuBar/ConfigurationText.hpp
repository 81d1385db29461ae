#pragma once

#include "VarnelKit/Agent/AgentSettings.hpp"
#include "VarnelKit/Agent/VarnelAgent.hpp"
#include "VarnelMenuBar/StatusIcon.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

// The configuration window's header and activity texts as data.
namespace ConfigurationText {

Rgba dotColour(const VarnelAgent::Status& status);
// "Not connected to Varnel", or the device name and the printer count.
std::string detail(const std::optional<AgentSettings>& settings, std::size_t printerCount);
// The lines joined with line feeds, or "Nothing logged yet.".
std::string activity(const std::vector<std::string>& lines);
// The tail of the log split at line feeds, empty pieces dropped, oldest first.
std::vector<std::string> logLines(std::string_view tail);

} // namespace ConfigurationText
} // namespace varnel
