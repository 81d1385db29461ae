#pragma once

#include "VarnelKit/Support/Bytes.hpp"
#include "VarnelKit/Support/Task.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace varnel {

// A connection to one printer. Implementations keep no connection between calls.
class PrinterWriting {
public:
    virtual ~PrinterWriting() = default;

    // Delivers the bytes as one job and gives the number of bytes handed over. Failures are
    // JobErrors; a caller that is already cancelled may see the cancellation error instead.
    virtual Awaitable<std::int64_t> write(Bytes data, std::string jobTitle) = 0;
    // True when the printer can be reached now. Never throws.
    virtual Awaitable<bool> probe() = 0;
};

// Turns a printer key into a connection, or nothing when the key cannot be printed to.
class PrinterTransportResolving {
public:
    virtual ~PrinterTransportResolving() = default;
    virtual Awaitable<std::shared_ptr<PrinterWriting>> transport(std::string key) = 0;
};

} // namespace varnel
