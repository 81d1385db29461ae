#pragma once

#include "VarnelKit/Platform/ServiceResolving.hpp"

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>

namespace varnel::BonjourResolver {

// The printer service types, in the order they are tried, in the domain "local.".
inline constexpr std::array<std::string_view, 4> serviceTypes = {"_ipps._tcp.", "_ipp._tcp.", "_pdl-datastream._tcp.",
                                                                 "_printer._tcp."};

// True when the instance name resolves under one of the printer service types. The attempts run
// one after another and the first success ends the search; each lasts at most `timeout` plus half
// a second. Never throws.
Awaitable<bool> resolves(std::string serviceName, std::chrono::steady_clock::duration timeout,
                         std::shared_ptr<ServiceResolving> backend = systemServiceResolver());

} // namespace varnel::BonjourResolver
