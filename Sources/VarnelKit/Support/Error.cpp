#include "VarnelKit/Support/Error.hpp"

#include "VarnelKit/Support/Text.hpp"

namespace varnel {

Error::Error(std::string description) : description_(Text::makeValidUtf8(description)) {}

std::string describeException(const std::exception_ptr& error) {
    if (!error) {
        return "unknown error";
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return Text::makeValidUtf8(e.what());
    } catch (...) {
        return "unknown error";
    }
}

} // namespace varnel
