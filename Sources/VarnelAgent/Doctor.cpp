#include "CLI.hpp"
#include "VarnelKit/Agent/StoredEnrollment.hpp"
#include "VarnelKit/Support/AgentVersion.hpp"
#include "VarnelKit/Support/Blocking.hpp"
#include "VarnelKit/Support/NumberText.hpp"

namespace varnel::CLI {

namespace {

// How the server check ended: the lines to print, and whether the checklist goes on.
struct ServerFinding {
    std::vector<std::string> lines;
    bool goOn = false;
};

std::string hostOf(const Url& url) {
    if (url.has_authority() && !url.encoded_host().empty())
        return std::string(url.encoded_host_address());
    return std::string(url.buffer());
}

ServerFinding classify(const AgentSettings& settings, const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const VarnelAPIClient::APIError& error) {
        if (error.kind() == VarnelAPIClient::APIError::Kind::upgradeRequired) {
            return {{"  [x] This version is too old for the server and has stopped printing.",
                     "      Update to " + shown(error.text()) + " or later."}};
        }
        if (error.kind() == VarnelAPIClient::APIError::Kind::credentialRejected) {
            return {{"  [x] The server rejected this Mac's credential.",
                     "      It was removed in the dashboard. Enroll again to reconnect."}};
        }
    } catch (...) {
    }
    return {{"  [x] Could not reach " + shown(settings.serverURL.buffer()),
             "      " + shown(describeException(failure))}};
}

// g++ 12 takes the coroutine frame's own allocation and release for a mismatched pair once the
// awaited coroutine is inlined here; the frame is allocated and freed by the same class.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
Awaitable<ServerFinding> checkServer(const Services& services, const AgentSettings& settings,
                                     std::string token) {
    auto heartbeat = services.heartbeat;
    std::optional<VarnelAPIClient::AgentUpdate> offer;
    std::exception_ptr failure;
    try {
        offer = co_await heartbeat(settings, std::move(token));
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure)
        co_return classify(settings, failure);
    ServerFinding finding{{"  [ok] Reached " + shown(hostOf(settings.serverURL))}, true};
    if (offer) {
        finding.lines.push_back("  [!] Varnel " + shown(offer->version) + " is available; this Mac is on " +
                                AgentVersion::current);
        finding.lines.push_back("      " + shown(offer->downloadURL.buffer()));
    }
    co_return finding;
}

#pragma GCC diagnostic pop

} // namespace

Awaitable<void> doctor(Environment& environment) {
    auto& out = environment.out;
    print(out, "Varnel check\n");

    StoredEnrollment stored;
    try {
        stored = StoredEnrollment::load(CredentialStore::deviceToken());
    } catch (const RefusedFile& refused) {
        print(out, "  [x] " + shown(refused.description()));
        co_return;
    }
    const auto& settings = stored.settings;
    if (!settings) {
        print(out, "  [x] Not set up. Run: varnel-agent enroll --code VRNL-XXXX-XXXX");
        co_return;
    }
    print(out, "  [ok] Set up as \"" + shown(settings->deviceName) + "\" (device " +
                   NumberText::integer(settings->deviceId) + ")");

    auto& token = stored.token;
    if (!token) {
        print(out, "  [x] No credential in the Keychain. Run enroll again.");
        co_return;
    }
    print(out, "  [ok] Credential present in the Keychain");

    const ServerFinding server = co_await checkServer(environment.services, *settings, std::move(*token));
    for (const auto& line : server.lines)
        print(out, line);
    if (!server.goOn)
        co_return;

    const auto& reverb = settings->reverb;
    print(out, "  [--] Live connection " + shown(reverb.scheme) + "://" + shown(reverb.host) + ":" +
                   NumberText::integer(reverb.port));
    print(out, "       Not tested here. If the menu bar says \"reconnecting\" for more");
    print(out, "       than a minute, this address is usually the fault: a server that");
    print(out, "       publishes its internal port hands every agent an address");
    print(out, "       nothing can reach. Labels still print either way, on a 15s poll.");

    auto discoverPrinters = environment.services.discoverPrinters;
    std::vector<ReportedPrinter> found = co_await runBlocking(std::move(discoverPrinters));
    if (found.empty()) {
        print(out, "  [!] No printers found on this Mac.");
        print(out, "      Check System Settings → Printers & Scanners. Network printers");
        print(out, "      must be added there, or added in Varnel by address.");
        co_return;
    }
    const std::vector<ReportedPrinter> probed = co_await environment.services.probePrinters(std::move(found));
    std::int64_t reachable = 0;
    for (const auto& printer : probed)
        reachable += printer.status == "online" ? 1 : 0;
    print(out, "  [ok] " + NumberText::integer(static_cast<std::int64_t>(probed.size())) +
                   " printer(s) found, " + NumberText::integer(reachable) + " reachable");
    for (const auto& printer : probed) {
        if (printer.status == "online")
            continue;
        std::string status = printer.status;
        status.resize(8, ' ');
        print(out, "       " + status + " " + shown(printer.name));
    }
}

} // namespace varnel::CLI
