#include "VarnelKit/Transport/CupsDeviceEndpoint.hpp"

#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/Text.hpp"
#include "VarnelKit/Support/Url.hpp"

#include <array>
#include <boost/url/pct_string_view.hpp>

namespace varnel {

namespace {

// Standard percent decoding; none on a malformed escape or when the bytes are not UTF-8.
std::optional<std::string> percentDecoded(std::string_view text) {
    const auto escaped = boost::urls::make_pct_string_view(text);
    if (!escaped) return std::nullopt;
    auto decoded = escaped->decode();
    if (!Text::isValidUtf8(decoded)) return std::nullopt;
    return decoded;
}

std::optional<CupsDeviceEndpoint> bonjourEndpoint(std::string_view uri) {
    if (uri.starts_with("dnssd://")) {
        uri.remove_prefix(8);
    } else if (uri.starts_with("dnssd:")) {
        uri.remove_prefix(6);
    }
    // The query goes first, so that a marker inside it is never taken for the service type.
    uri = uri.substr(0, uri.find('?'));
    std::size_t marker = std::string_view::npos;
    for (const std::string_view type : {"._ipp", "._pdl", "._print"}) {
        marker = uri.find(type);
        if (marker != std::string_view::npos) break;
    }
    if (marker == std::string_view::npos) return std::nullopt;
    const auto encoded = uri.substr(0, marker);
    auto name = percentDecoded(encoded).value_or(std::string(encoded));
    if (name.empty()) return std::nullopt;
    return CupsDeviceEndpoint::bonjour(std::move(name));
}

std::optional<CupsDeviceEndpoint> networkEndpoint(std::string_view uri, std::string_view scheme) {
    const auto parsed = parseAbsoluteUrl(uri);
    if (!parsed) return std::nullopt;
    // The decoded host without brackets, so that the TCP check can connect to it.
    auto host = std::string(parsed->host_address());
    if (host.empty()) return std::nullopt;
    // The port text is read here: the library's own number wraps ports above 65535.
    std::int64_t port = CupsDeviceEndpoint::defaultPort(scheme);
    if (parsed->has_port() && !parsed->port().empty()) {
        const auto explicitPort = NumberText::parseInteger(parsed->port());
        if (!explicitPort) return std::nullopt;
        port = *explicitPort;
    }
    return CupsDeviceEndpoint::network(std::move(host), port);
}

} // namespace

std::int64_t CupsDeviceEndpoint::defaultPort(std::string_view scheme) {
    if (scheme == "ipp" || scheme == "ipps" || scheme == "http") return 631;
    if (scheme == "https") return 443;
    if (scheme == "lpd") return 515;
    return 9100;
}

std::optional<CupsDeviceEndpoint> CupsDeviceEndpoint::parse(std::string_view uri) {
    const auto start = uri.find_first_not_of(':');
    if (start == std::string_view::npos) return std::nullopt;
    const auto rest = uri.substr(start);
    const auto scheme = Text::lowercased(rest.substr(0, rest.find(':')));

    if (scheme == "dnssd") return bonjourEndpoint(uri);
    static constexpr std::array<std::string_view, 6> networkSchemes = {"socket", "ipp", "ipps", "http", "https", "lpd"};
    for (const auto network : networkSchemes) {
        if (scheme == network) return networkEndpoint(uri, scheme);
    }
    if (scheme == "usb" || scheme == "file" || scheme == "cups-pdf") return local();
    return std::nullopt;
}

std::string describe(const CupsDeviceEndpoint& endpoint) {
    if (const auto* network = endpoint.as<CupsDeviceEndpoint::Network>()) {
        return "network(host: " + network->host + ", port: " + NumberText::integer(network->port) + ")";
    }
    if (const auto* bonjour = endpoint.as<CupsDeviceEndpoint::Bonjour>()) {
        return "bonjour(serviceName: " + bonjour->serviceName + ")";
    }
    return "local";
}

} // namespace varnel
