#pragma once

#include <string>

namespace varnel::AgentVersion {

// The version the agent reports to the server and the real-time server.
inline constexpr const char* current = "1.0.4";

// The version shown to people: the build's own version when it has one, else current.
std::string display();

} // namespace varnel::AgentVersion
