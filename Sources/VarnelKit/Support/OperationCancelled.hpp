#pragma once

#include "VarnelKit/Support/Error.hpp"

#include <exception>

namespace varnel {

// What every awaited operation throws when it ends because its task was asked to stop: an HTTP
// request, a TCP connect or write, a timer, a time-out race, the wait on a blocking call. One type,
// so that a stop is never mistaken for a network or printer fault.
class OperationCancelled : public Error {
public:
    OperationCancelled();
};

// True when the failure is a cancellation rather than a fault.
bool isCancellation(const std::exception_ptr& error) noexcept;

} // namespace varnel
