#include "VarnelKit/Transport/BonjourResolver.hpp"

namespace varnel::BonjourResolver {

Awaitable<bool> resolves(std::string serviceName, std::chrono::steady_clock::duration timeout,
                         std::shared_ptr<ServiceResolving> backend) {
    for (const auto type : serviceTypes) {
        if (co_await backend->resolve(serviceName, std::string(type), timeout)) co_return true;
    }
    co_return false;
}

} // namespace varnel::BonjourResolver
