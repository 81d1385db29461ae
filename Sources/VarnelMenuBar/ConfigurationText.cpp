#include "VarnelMenuBar/ConfigurationText.hpp"

#include "VarnelKit/Support/NumberText.hpp"

namespace varnel::ConfigurationText {

using Kind = VarnelAgent::Status::Kind;

Rgba dotColour(const VarnelAgent::Status& status) {
    switch (status.kind()) {
    case Kind::connected:
        return {127, 168, 10, 1.0};
    case Kind::disconnected:
        return {224, 160, 48, 1.0};
    case Kind::updateRequired:
    case Kind::accessRevoked:
        return {217, 64, 64, 1.0};
    case Kind::notEnrolled:
    case Kind::connecting:
        break;
    }
    return {154, 164, 174, 1.0};
}

std::string detail(const std::optional<AgentSettings>& settings, std::size_t printerCount) {
    if (!settings)
        return "Not connected to Varnel";
    return settings->deviceName + " \u00B7 " + NumberText::integer(static_cast<std::int64_t>(printerCount)) +
           " printer(s)";
}

std::string activity(const std::vector<std::string>& lines) {
    if (lines.empty())
        return "Nothing logged yet.";
    std::string text;
    for (const auto& line : lines) {
        if (!text.empty())
            text += '\n';
        text += line;
    }
    return text;
}

std::vector<std::string> logLines(std::string_view tail) {
    std::vector<std::string> lines;
    while (!tail.empty()) {
        const auto end = tail.find('\n');
        const auto piece = tail.substr(0, end);
        if (!piece.empty())
            lines.emplace_back(piece);
        if (end == std::string_view::npos)
            break;
        tail.remove_prefix(end + 1);
    }
    return lines;
}

} // namespace varnel::ConfigurationText
