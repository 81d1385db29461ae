#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace varnel::MachineIdentity {

// A stable identifier of this computer for this application, as an upper-case UUID; none when
// the system has no machine id.
std::optional<std::string> platformUUID();
// The host's pretty name when one is set, else its host name.
std::string hostname();
// The operating system's name and version, the version always with three numbers.
std::string osVersion();

// "<name> <major>.<minor>.<patch>" from a name and a version text, missing numbers written as 0
// ("14.5" gives "14.5.0"). Empty when the text starts with no number.
std::string formatOsVersion(std::string_view name, std::string_view version);

} // namespace varnel::MachineIdentity
