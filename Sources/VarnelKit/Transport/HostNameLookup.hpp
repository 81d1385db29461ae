#pragma once

#include "VarnelKit/Support/Task.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include <string>
#include <vector>

namespace varnel {

// The TCP addresses of a printer's host. A numeric address is answered at once; a name is looked
// up on a thread of its own, so a lookup that hangs (a silent name server) holds up no other
// lookup, connection or printer.
class HostNameLookup {
public:
    struct Answer {
        // The system's reason when the name could not be looked up; the addresses are then empty.
        boost::system::error_code error;
        std::vector<boost::asio::ip::tcp::endpoint> endpoints;
    };

    // An empty host means the local machine. Throws OperationCancelled when the calling task is
    // cancelled (a time-out racing the lookup cancels it too) before the answer arrives; the lookup
    // then runs on alone and its answer is dropped, even when the loop is gone by then.
    static Awaitable<Answer> resolve(std::string host, unsigned short port);
};

} // namespace varnel
