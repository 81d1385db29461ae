#pragma once

#include "VarnelKit/Protocol/PrinterLanguage.hpp"
#include "VarnelKit/Support/Json.hpp"
#include "VarnelKit/Transport/CupsQueueProbe.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varnel {

// A printer as the agent knows it and reports it to the server; also what the server sends back
// as the printers assigned to this device.
struct ReportedPrinter {
    std::string key;
    std::string name;
    PrinterTransport transport;
    PrinterLanguage language;
    std::optional<std::string> address;
    std::optional<std::int64_t> dpi;
    std::string status; // "online", "offline" or "error" when the agent sets it
    std::optional<std::string> statusMessage;
    std::optional<bool> canPrintDocuments;
    std::optional<CupsQueueProbe> probe;

    bool operator==(const ReportedPrinter&) const = default;

    json::Ordered toJson() const;
    // A missing or null status reads as "online"; a received probe is ignored whatever it holds.
    static ReportedPrinter fromJson(const json::Value& value);
};

struct PrinterSyncRequest {
    std::vector<ReportedPrinter> printers;

    json::Ordered toJson() const;
    static PrinterSyncRequest fromJson(const json::Value& value);
};

} // namespace varnel
