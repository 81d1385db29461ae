#pragma once

#include <exception>
#include <string>

namespace varnel::UpdateFailureText {

// What the update alert says for an installation's failure: the updater's own sentence, and for a
// file operation the system's reason after "The update could not be installed. ", never the raw
// text of a file-system exception with its paths.
std::string describe(const std::exception_ptr& error);

} // namespace varnel::UpdateFailureText
