#pragma once

#include "VarnelKit/Support/Task.hpp"

#include <chrono>
#include <memory>
#include <string>

namespace varnel {

// One DNS-SD resolve attempt, behind an interface so that tests can stand in for the daemon.
class ServiceResolving {
public:
    virtual ~ServiceResolving() = default;
    // True when the instance `serviceName` of `type` ("_ipp._tcp.") in "local." resolves before
    // `timeout` plus half a second; no daemon gives false at once. Throws only OperationCancelled,
    // when the calling task is cancelled, so that a stop never reads as a printer gone missing.
    virtual Awaitable<bool> resolve(std::string serviceName, std::string type,
                                    std::chrono::steady_clock::duration timeout) = 0;
};

// The system's mDNS daemon (Avahi), reached over the D-Bus system bus.
std::shared_ptr<ServiceResolving> systemServiceResolver();

} // namespace varnel
