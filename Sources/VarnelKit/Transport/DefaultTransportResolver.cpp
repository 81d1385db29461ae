#include "VarnelKit/Transport/DefaultTransportResolver.hpp"

#include "VarnelKit/Transport/CupsPrinterTransport.hpp"
#include "VarnelKit/Transport/NetworkPrinterTransport.hpp"

namespace varnel {

DefaultTransportResolver::DefaultTransportResolver(std::shared_ptr<CupsApi> cups) : cups_(std::move(cups)) {}

void DefaultTransportResolver::update(const std::vector<ReportedPrinter>& printers) {
    std::map<std::string, ReportedPrinter> known;
    for (const auto& printer : printers) known.emplace(printer.key, printer); // keeps the first
    known_ = std::move(known);
}

PrinterTransport DefaultTransportResolver::transportKind(std::string_view key) {
    if (key.starts_with("net:")) return PrinterTransport::network;
    if (key.starts_with("usb:")) return PrinterTransport::usb;
    return PrinterTransport::cups;
}

std::optional<std::string> DefaultTransportResolver::networkAddress(std::string_view key) {
    if (!key.starts_with("net:")) return std::nullopt;
    return std::string(key.substr(4));
}

PrinterTarget DefaultTransportResolver::target(const std::string& key) const {
    const auto found = known_.find(key);
    if (found == known_.end()) return PrinterTarget{key, key, transportKind(key), networkAddress(key)};
    const auto& printer = found->second;
    return PrinterTarget{key, printer.name, printer.transport, printer.address ? printer.address : networkAddress(key)};
}

std::shared_ptr<PrinterWriting> DefaultTransportResolver::transportNow(const std::string& key) const {
    const auto resolved = target(key);
    switch (resolved.transport) {
    case PrinterTransport::network:
        return NetworkPrinterTransport::make(resolved);
    case PrinterTransport::cups:
        return CupsPrinterTransport::make(resolved, cups_);
    case PrinterTransport::usb:
        break;
    }
    return nullptr;
}

Awaitable<std::shared_ptr<PrinterWriting>> DefaultTransportResolver::transport(std::string key) {
    co_return transportNow(key);
}

} // namespace varnel
