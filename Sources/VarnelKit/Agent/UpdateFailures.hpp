#pragma once

#include "VarnelKit/Agent/AgentUpdater.hpp"

#include <cstdint>
#include <exception>
#include <string>
#include <system_error>

// How the update's steps turn what went wrong into the updater's Failure. The family's texts are
// all in UpdateFailures.cpp, so that a wording change is one edit.
namespace varnel::UpdateFailures {

// The offer's checksum is not a SHA-256 digest in hexadecimal.
AgentUpdater::Failure malformedChecksum();
// The server announced a body of `announced` bytes, more than `largest`.
AgentUpdater::Failure announcedTooLarge(std::uint64_t announced, std::uint64_t largest);
// The body went on past `largest` bytes.
AgentUpdater::Failure grewTooLarge(std::uint64_t largest);
// The body came in slower than the bounds allow.
AgentUpdater::Failure tooSlow(const AgentUpdater::DownloadBounds& bounds);

// No home folder, so no place of this user's own for Varnel.app.
AgentUpdater::Failure noHomeFolder();

// The system's reason for a file error ("No space left on device"), else the error's sentence.
std::string reasonOf(const std::exception& error);

// A file error in the system's own words, as the given case: the library's "filesystem error:
// cannot …: … [path]" is no sentence for a user.
template <typename Work> auto inSystemWords(AgentUpdater::Failure (*failure)(std::string), Work&& work) {
    try {
        return work();
    } catch (const std::system_error& error) {
        throw failure(error.code().message());
    }
}

} // namespace varnel::UpdateFailures
