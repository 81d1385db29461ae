#pragma once

#include "VarnelKit/Protocol/PrinterLanguage.hpp"
#include "VarnelKit/Support/Bytes.hpp"

#include <cstdint>
#include <string>

namespace varnel {

// The one place that knows what a payload in a printer language must look like. Drivers are
// stateless; every operation may run on any thread.
class LabelLanguageDriver {
public:
    virtual ~LabelLanguageDriver() = default;

    // The language the driver speaks.
    virtual PrinterLanguage language() const noexcept = 0;

    // Checks that the payload is plausible for the language and gives the bytes to send, with the
    // copies applied as the language allows. Throws JobError(payloadInvalid) with a sentence a
    // user can act on.
    virtual Bytes prepare(const Bytes& data, std::int64_t copies) const = 0;

    // A ready-to-send test label naming the printer and the time. Never throws.
    virtual Bytes testLabel(const std::string& printerName, const std::string& timestamp) const = 0;
};

} // namespace varnel
