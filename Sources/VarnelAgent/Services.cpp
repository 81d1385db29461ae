#include "CLI.hpp"
#include "FolderOpener.hpp"
#include "VarnelKit/Agent/CredentialStore.hpp"
#include "VarnelKit/Support/AgentVersion.hpp"
#include "VarnelKit/Support/MachineIdentity.hpp"
#include "VarnelKit/Transport/PrinterDiscovery.hpp"
#include "VarnelKit/Transport/ReachabilityProbe.hpp"

#include <chrono>

namespace varnel::CLI {

namespace {

// What `printers` and `doctor` wait for each printer at most.
constexpr std::chrono::seconds probeTimeout{2};

Awaitable<std::vector<ReportedPrinter>> probeWithSystem(std::vector<ReportedPrinter> printers) {
    const ReachabilityProbe probe(probeTimeout);
    co_return co_await probe.probeAll(std::move(printers));
}

// g++ 12 takes the coroutine frame's own allocation and release for a mismatched pair once the
// awaited coroutine is inlined here; the frame is allocated and freed by the same class.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
Awaitable<Enrollment::Success> enrollWithServer(std::string serverURL, std::string code) {
    const Enrollment enrollment;
    co_return co_await enrollment.enroll(std::move(serverURL), std::move(code), AgentVersion::current,
                                         CredentialStore::deviceToken());
}

Awaitable<std::optional<VarnelAPIClient::AgentUpdate>> heartbeatToServer(AgentSettings settings,
                                                                         std::string token) {
    VarnelAPIClient::Configuration configuration{settings.serverURL, AgentVersion::current,
                                                 std::chrono::duration<double>(30.0)};
    VarnelAPIClient api(std::move(configuration), std::move(token));
    co_return co_await api.heartbeat(settings.deviceId, MachineIdentity::osVersion());
}

#pragma GCC diagnostic pop

} // namespace

Services Services::system() {
    Services services;
    services.discoverPrinters = [] { return PrinterDiscovery().discoverCupsPrinters(); };
    services.probePrinters = probeWithSystem;
    services.cups = systemCupsApi();
    services.enroll = enrollWithServer;
    services.heartbeat = heartbeatToServer;
    services.openFolder = [](const std::filesystem::path& folder) { (void)CLI::openFolder(folder); };
    return services;
}

} // namespace varnel::CLI
