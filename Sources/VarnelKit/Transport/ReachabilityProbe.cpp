#include "VarnelKit/Transport/ReachabilityProbe.hpp"

#include "VarnelKit/Support/Blocking.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/Text.hpp"
#include "VarnelKit/Transport/BonjourResolver.hpp"
#include "VarnelKit/Transport/CupsDeviceEndpoint.hpp"
#include "VarnelKit/Transport/CupsQueueState.hpp"
#include "VarnelKit/Transport/NetworkPrinterTransport.hpp"
#include "VarnelKit/Transport/PrinterTarget.hpp"

#include <array>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <variant>

namespace varnel {

namespace asio = boost::asio;

namespace {

constexpr auto probeWriteTimeout = std::chrono::seconds(30);

constexpr std::array<std::string_view, 12> disconnectedPhrases = {
    "offline",   "not connected", "unable to connect",   "no such device",      "disconnected", "powered off",
    "unplugged", "timed out",     "looking for printer", "waiting for printer", "network host", "not responding",
};

Awaitable<std::optional<CupsQueueState>> readQueue(std::shared_ptr<CupsApi> cups, std::string queue) {
    // Named, not a temporary of the co_await expression: g++ 12 destroys such temporaries twice.
    // A read: once the caller has stopped nobody needs it, and a slow scheduler must not hold up
    // a stop.
    auto read = [cups, queue] { return CupsQueueState::read(queue, *cups); };
    co_return co_await runBlockingCancellable(std::move(read));
}

} // namespace

ReachabilityProbe::ReachabilityProbe(std::chrono::steady_clock::duration timeout, std::shared_ptr<CupsApi> cups,
                                     std::shared_ptr<ServiceResolving> bonjour)
    : timeout_(timeout), cups_(std::move(cups)), bonjour_(std::move(bonjour)) {}

bool ReachabilityProbe::indicatesDisconnected(std::string_view message) {
    const auto lowered = Text::lowercased(message);
    for (const auto phrase : disconnectedPhrases) {
        if (lowered.find(phrase) != std::string::npos) return true;
    }
    return false;
}

ReportedPrinter ReachabilityProbe::applying(ReportedPrinter printer, const Result& result) {
    printer.status = result.status;
    if (result.message) printer.statusMessage = result.message;
    return printer;
}

Awaitable<std::vector<ReportedPrinter>> ReachabilityProbe::probeAll(std::vector<ReportedPrinter> printers) const {
    if (printers.empty()) co_return printers;
    const auto executor = co_await asio::this_coro::executor;
    using Operation = decltype(asio::co_spawn(executor, probe(printers.front()), asio::deferred));
    std::vector<Operation> operations;
    operations.reserve(printers.size());
    for (const auto& printer : printers) operations.push_back(asio::co_spawn(executor, probe(printer), asio::deferred));
    auto [order, errors, results] = co_await asio::experimental::make_parallel_group(std::move(operations))
                                        .async_wait(asio::experimental::wait_for_all(), asio::use_awaitable);
    (void)order;
    for (std::size_t i = 0; i < printers.size(); ++i) {
        if (!errors[i]) printers[i] = applying(std::move(printers[i]), results[i]);
    }
    co_return printers;
}

Awaitable<ReachabilityProbe::Result> ReachabilityProbe::probe(ReportedPrinter printer) const {
    if (printer.transport == PrinterTransport::network) co_return co_await probeNetwork(std::move(printer));
    co_return co_await probeQueue(PrinterTarget::cupsQueueName(printer.key), std::move(printer.name));
}

Awaitable<bool> ReachabilityProbe::tcpCheck(std::string host, std::int64_t port) const {
    NetworkPrinterTransport transport(std::move(host), port, timeout_, probeWriteTimeout);
    co_return co_await transport.probe();
}

Awaitable<ReachabilityProbe::Result> ReachabilityProbe::probeNetwork(ReportedPrinter printer) const {
    const PrinterTarget target{printer.key, printer.name, PrinterTransport::network, printer.address};
    const auto endpoint = target.hostAndPort();
    if (!endpoint) co_return Result{"error", "No address configured"};
    if (!NetworkPrinterTransport::socketPort(endpoint->port))
        co_return Result{"error", NetworkPrinterTransport::invalidPortText(endpoint->port)};
    if (co_await tcpCheck(endpoint->host, endpoint->port)) co_return Result{"online", std::nullopt};
    co_return Result{"offline", "No response from " + endpoint->host + ":" + NumberText::integer(endpoint->port)};
}

namespace {

// The CUPS path up to the endpoint check: either the verdict, or the endpoint still to be checked.
using CupsStep = std::variant<ReachabilityProbe::Result, CupsDeviceEndpoint::Network, CupsDeviceEndpoint::Bonjour>;

CupsStep cupsStep(const std::string& printerName, const std::optional<CupsQueueState>& state) {
    using Result = ReachabilityProbe::Result;
    if (!state) return Result{"offline", "Queue no longer exists on this Mac"};
    if (state->isStopped()) return Result{"error", state->message.value_or("Queue is stopped")};
    if (!state->isAcceptingJobs) return Result{"error", state->message.value_or("Queue is not accepting jobs")};
    if (const auto fault = state->blockingFault()) return Result{"error", printerName + " " + *fault};
    if (state->message && ReachabilityProbe::indicatesDisconnected(*state->message)) {
        return Result{"offline", state->message};
    }
    const auto endpoint = state->deviceURI ? CupsDeviceEndpoint::parse(*state->deviceURI) : std::nullopt;
    if (endpoint) {
        if (const auto* network = endpoint->as<CupsDeviceEndpoint::Network>()) return *network;
        if (const auto* bonjour = endpoint->as<CupsDeviceEndpoint::Bonjour>()) return *bonjour;
    }
    return Result{"online", state->message};
}

} // namespace

Awaitable<ReachabilityProbe::Result> ReachabilityProbe::probeQueue(std::string queue,
                                                                   std::string printerName) const {
    const auto state = co_await readQueue(cups_, std::move(queue));
    const auto step = cupsStep(printerName, state);
    Result result;
    if (const auto* decided = std::get_if<Result>(&step)) {
        result = *decided;
    } else if (const auto* network = std::get_if<CupsDeviceEndpoint::Network>(&step);
               network && !NetworkPrinterTransport::socketPort(network->port)) {
        result = Result{"error", NetworkPrinterTransport::invalidPortText(network->port)};
    } else if (network) {
        const bool reached = co_await tcpCheck(network->host, network->port);
        result = reached ? Result{"online", state->message} : Result{"offline", "No response from " + network->host};
    } else {
        const auto& bonjour = std::get<CupsDeviceEndpoint::Bonjour>(step);
        const bool advertised = co_await BonjourResolver::resolves(bonjour.serviceName, timeout_, bonjour_);
        result = advertised ? Result{"online", state->message} : Result{"offline", "Not advertising on the network"};
    }
    co_return result;
}

std::string describe(const ReachabilityProbe::Result& result) {
    return result.status + (result.message ? ", " + *result.message : std::string());
}

} // namespace varnel
