#pragma once

#include "VarnelKit/Platform/HttpTransport.hpp"
#include "VarnelKit/Support/Bytes.hpp"

#include <memory>

namespace varnel {

// One canned HTTP reply for the whole process. Every request of every session it made, whatever
// its URL, method, headers or body, gets the current reply: its status, a single header
// "Content-Length" and the body in one piece. It never reports a network error; a request made by a
// cancelled task fails with OperationCancelled, as with the real transport.
class StubURLProtocol {
public:
    static void respond(Bytes body, int status);
    // Back to status 200 with an empty body.
    static void reset();
    // A transport answered only by the stub. Sessions made earlier see later respond() calls.
    static std::shared_ptr<HttpTransport> session();
};

} // namespace varnel
