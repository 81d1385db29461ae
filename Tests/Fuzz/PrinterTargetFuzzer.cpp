// Printer keys and their addresses as the server sends them: the host and port read from an
// address come from the address itself, and a CUPS key names a queue that ends the key.
#include "FuzzCheck.hpp"
#include "VarnelKit/Transport/PrinterTarget.hpp"

using namespace varnel;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string key(fuzz::textOf(data, size));
    const std::string queue = PrinterTarget::cupsQueueName(key);
    require(key.ends_with(queue) && queue.size() + 5 >= key.size(), "a queue name is the key or its rest");

    PrinterTarget target{key, "printer", PrinterTransport::network, std::nullopt};
    if (key.starts_with("net:"))
        target.address = key.substr(4);
    else
        target.address = key;
    if (const auto endpoint = target.hostAndPort()) {
        require(target.address->find(endpoint->host) != std::string::npos, "the host is part of the address");
    }
    return 0;
}
