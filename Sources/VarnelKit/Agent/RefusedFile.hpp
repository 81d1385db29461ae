#pragma once

#include "VarnelKit/Support/Error.hpp"

namespace varnel {

// A stored file, or its folder, that Varnel will not use: settings that could send the token to a
// server the user never chose, or a credential that may not be this computer's. The description
// says why and what to do; both programs show it, run nothing on it, and leave the file as it is.
class RefusedFile : public Error {
public:
    using Error::Error;
};

} // namespace varnel
