#include "VarnelKit/Transport/PrinterTarget.hpp"

#include "VarnelKit/Support/NumberText.hpp"

#include <string_view>

namespace varnel {

namespace {

std::int64_t portFrom(std::string_view text) {
    return NumberText::parseInteger(text).value_or(PrinterTarget::rawPrintingPort);
}

} // namespace

std::optional<PrinterTarget::HostAndPort> PrinterTarget::hostAndPort() const {
    if (!address) return std::nullopt;
    std::string_view text = *address;

    if (text.starts_with('[')) {
        const auto close = text.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        const auto host = text.substr(1, close - 1);
        const auto rest = text.substr(close + 1);
        // Anything after the bracket that is not ":port" is ignored.
        const auto port = rest.starts_with(':') ? portFrom(rest.substr(1)) : rawPrintingPort;
        return HostAndPort{std::string(host), port};
    }

    const auto start = text.find_first_not_of(':');
    if (start == std::string_view::npos) return std::nullopt;
    text.remove_prefix(start);
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) return HostAndPort{std::string(text), rawPrintingPort};
    return HostAndPort{std::string(text.substr(0, colon)), portFrom(text.substr(colon + 1))};
}

std::string PrinterTarget::cupsQueueName(std::string_view key) {
    if (key.starts_with("cups:")) key.remove_prefix(5);
    return std::string(key);
}

} // namespace varnel
