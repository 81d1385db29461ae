// Addresses from outside: CUPS device URIs, URLs as the settings file and the server give them,
// and the server address a user types at enrollment. A URL that parses keeps its text; a network
// endpoint has a host; a normalised server address normalises to itself.
#include "FuzzCheck.hpp"
#include "VarnelKit/Agent/Enrollment.hpp"
#include "VarnelKit/Agent/VarnelAPIClient.hpp"
#include "VarnelKit/Support/Url.hpp"
#include "VarnelKit/Transport/CupsDeviceEndpoint.hpp"

using namespace varnel;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::textOf(data, size);

    if (const auto endpoint = CupsDeviceEndpoint::parse(text)) {
        if (const auto* network = endpoint->as<CupsDeviceEndpoint::Network>()) {
            require(!network->host.empty(), "a network endpoint has a host");
        }
        if (const auto* bonjour = endpoint->as<CupsDeviceEndpoint::Bonjour>()) {
            require(!bonjour->serviceName.empty(), "a Bonjour endpoint has a name");
        }
        require(!describe(*endpoint).empty(), "an endpoint describes itself");
    }

    const auto absolute = parseAbsoluteUrl(text);
    if (absolute) {
        require(absolute->buffer() == text, "an absolute URL keeps its text");
        require(absolute->has_scheme(), "an absolute URL has a scheme");
        (void)VarnelAPIClient::endpoint(*absolute, "api/v1/devices/enroll");
    }
    if (const auto reference = parseUrlReference(text)) {
        require(reference->buffer() == text, "a URL reference keeps its text");
    } else {
        require(!absolute, "an absolute URL is a URL reference");
    }

    try {
        const Url server = Enrollment::normaliseServerURL(text);
        require(Enrollment::normaliseServerURL(server.buffer()).buffer() == server.buffer(),
                "a normalised server address stays as it is");
    } catch (const Enrollment::Failure&) {
    }
    return 0;
}
