#include "VarnelMenuBar/SetupForm.hpp"

namespace varnel::SetupForm {

std::string_view trimBlanksAndTabs(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool connectEnabled(bool isWorking, std::string_view code) {
    return !isWorking && !trimBlanksAndTabs(code).empty();
}

std::optional<std::string> prefillHost(const std::optional<AgentSettings>& settings) {
    if (!settings || !settings->serverURL.has_authority())
        return std::nullopt;
    std::string host(settings->serverURL.encoded_host());
    if (host.empty())
        return std::nullopt;
    if (settings->serverURL.has_port())
        host += ":" + std::string(settings->serverURL.port());
    if (host == Enrollment::defaultServerHost)
        return std::nullopt;
    return host;
}

bool isCodeFailure(Enrollment::Failure::Kind kind) {
    using Kind = Enrollment::Failure::Kind;
    return kind == Kind::codeEmpty || kind == Kind::codeMalformed || kind == Kind::codeRejected;
}

} // namespace varnel::SetupForm
