#pragma once

#include "VarnelKit/Platform/CupsApi.hpp"
#include "VarnelKit/Protocol/ReportedPrinter.hpp"
#include "VarnelKit/Transport/PrinterTarget.hpp"
#include "VarnelKit/Transport/PrinterWriting.hpp"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

// Builds a fresh connection for a printer key from the printers the agent last published (or
// from the key alone): raw TCP for network printers, CUPS for CUPS printers, nothing for USB.
// Lives on the agent loop; nothing in it suspends.
class DefaultTransportResolver final : public PrinterTransportResolving {
public:
    explicit DefaultTransportResolver(std::shared_ptr<CupsApi> cups = systemCupsApi());

    // Replaces the known printers. Of two printers with one key the first is kept: that is the
    // base CUPS queue before its instances, the discovered printer before an assigned one.
    void update(const std::vector<ReportedPrinter>& printers);

    Awaitable<std::shared_ptr<PrinterWriting>> transport(std::string key) override;
    // The same, without suspending.
    std::shared_ptr<PrinterWriting> transportNow(const std::string& key) const;
    PrinterTarget target(const std::string& key) const;

    // The key rules for printers the resolver does not know.
    static PrinterTransport transportKind(std::string_view key);
    static std::optional<std::string> networkAddress(std::string_view key);

private:
    std::map<std::string, ReportedPrinter> known_;
    std::shared_ptr<CupsApi> cups_;
};

} // namespace varnel
