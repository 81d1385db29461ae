#include "VarnelMenuBar/UpdateFailureText.hpp"

#include "VarnelKit/Support/Error.hpp"

#include <boost/system/system_error.hpp>
#include <filesystem>
#include <system_error>

namespace varnel::UpdateFailureText {

std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const Error&) {
        return describeException(error);
    } catch (const std::system_error& failure) {
        // std::filesystem::filesystem_error is one of these.
        return "The update could not be installed. " + failure.code().message();
    } catch (const boost::system::system_error& failure) {
        return "The update could not be installed. " + failure.code().message();
    } catch (...) {
        return describeException(error);
    }
}

} // namespace varnel::UpdateFailureText
