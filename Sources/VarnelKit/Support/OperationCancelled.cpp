#include "VarnelKit/Support/OperationCancelled.hpp"

namespace varnel {

OperationCancelled::OperationCancelled() : Error("cancelled") {}

bool isCancellation(const std::exception_ptr& error) noexcept {
    if (!error) return false;
    try {
        std::rethrow_exception(error);
    } catch (const OperationCancelled&) {
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace varnel
