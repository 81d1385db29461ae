#include "VarnelKit/Protocol/ReportedPrinter.hpp"

namespace varnel {

json::Ordered ReportedPrinter::toJson() const {
    json::Ordered object = json::Ordered::object();
    object["key"] = key;
    object["name"] = name;
    object["transport"] = std::string(rawValue(transport));
    object["language"] = std::string(rawValue(language));
    json::putOptional(object, "address", address);
    json::putOptional(object, "dpi", dpi);
    object["status"] = status;
    json::putOptional(object, "status_message", statusMessage);
    json::putOptional(object, "can_print_documents", canPrintDocuments);
    if (probe) object["probe"] = probe->toJson();
    return object;
}

ReportedPrinter ReportedPrinter::fromJson(const json::Value& value) {
    json::requireObject(value, "printer");
    return ReportedPrinter{
        .key = json::requireString(value, "key"),
        .name = json::requireString(value, "name"),
        .transport = json::requireEnum<PrinterTransport>(value, "transport"),
        .language = json::requireEnum<PrinterLanguage>(value, "language"),
        .address = json::optString(value, "address"),
        .dpi = json::optInt64(value, "dpi"),
        .status = json::optString(value, "status").value_or("online"),
        .statusMessage = json::optString(value, "status_message"),
        .canPrintDocuments = json::optBool(value, "can_print_documents"),
        .probe = std::nullopt,
    };
}

json::Ordered PrinterSyncRequest::toJson() const {
    json::Ordered object = json::Ordered::object();
    object["printers"] = json::encodeList(printers);
    return object;
}

PrinterSyncRequest PrinterSyncRequest::fromJson(const json::Value& value) {
    json::requireObject(value);
    return PrinterSyncRequest{json::requireList<ReportedPrinter>(value, "printers", ReportedPrinter::fromJson)};
}

} // namespace varnel
