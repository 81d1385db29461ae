#pragma once

#include "VarnelKit/Protocol/PrinterLanguage.hpp"
#include "VarnelKit/Support/Bytes.hpp"
#include "VarnelKit/Support/Json.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace varnel {

// One job as fetched from the server.
struct JobPayload {
    std::int64_t jobId = 0;
    std::int64_t printerId = 0;
    std::string printerKey;
    PrinterLanguage language = PrinterLanguage::unknown;
    std::int64_t copies = 0;
    std::string encoding;               // "base64", or anything else for plain text
    std::optional<std::string> payload; // the printer data, inline
    std::optional<std::string> payloadUrl; // carried, never fetched
    std::optional<json::Date> expiresAt;

    // True when an expiry is present and strictly earlier than now.
    bool hasExpired() const;
    // The printer data. Throws JobError(payloadInvalid) without a payload or for bad base64.
    Bytes bytes() const;

    static JobPayload fromJson(const json::Value& value);
};

} // namespace varnel
