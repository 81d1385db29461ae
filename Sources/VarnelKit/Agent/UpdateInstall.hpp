#pragma once

#include "VarnelKit/Agent/AgentUpdater.hpp"
#include "VarnelKit/Support/AgentLogging.hpp"

#include <filesystem>
#include <mutex>
#include <string>

// Putting an unpacked update in place of the installed Varnel.app: the unpacking and staging, the
// moves and the swap, the put-back when the new program cannot start, and the removal of what
// earlier installs left. Every function blocks on the disk and belongs on the blocking pool; they
// are what AgentUpdater's install, putBack(), removeLeftovers() and holdMoves() do.
namespace varnel::UpdateInstall {

struct Installed {
    std::filesystem::path location;
    std::filesystem::path previous;
};

// AgentUpdater::installFrom() on the blocking pool. A file error is thrown as it is.
Installed installFrom(const std::filesystem::path& image, const std::string& version,
                      const AgentUpdater::Places& places, AgentLogging& logger);

void putBack(const std::filesystem::path& installed, const std::filesystem::path& previous);

void removeLeftovers(const AgentUpdater::Places& places);

// The install's moves, one at a time, and never while the process is ending (holdMoves()).
std::timed_mutex& movesMutex();

} // namespace varnel::UpdateInstall
