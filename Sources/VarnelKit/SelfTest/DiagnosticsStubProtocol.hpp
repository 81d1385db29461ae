#pragma once

#include "VarnelKit/Platform/HttpTransport.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace varnel {

// The management server as the Diagnostics suite sees it, answered in-process. It counts every
// request, keeps the text of every accepted body, and either accepts with 202 or fails as an
// unreachable server does (a transport error, not an HTTP status). The state is process-wide and
// guarded by one lock, which is never held while a request is answered.
class DiagnosticsStubProtocol {
public:
    struct Snapshot {
        std::vector<std::string> bodies;
        std::int64_t requestCount = 0;
    };

    // No bodies, no requests, not failing.
    static void reset();
    static void setFailing(bool failing);
    static Snapshot snapshot();
    static std::int64_t requestCount();
    static std::vector<std::string> bodies();

    // A transport whose every request, whatever its method, URL or headers, goes to the stub.
    static std::shared_ptr<HttpTransport> session();
};

} // namespace varnel
