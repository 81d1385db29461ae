#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

// Folders that only this user can have made. A name in a shared folder (the temporary folder, or a
// runtime folder that an environment variable names) can be taken first by another local user, who
// would then read or steer what is kept there.
namespace varnel::PrivateFolder {

// A folder (not a link to one) that this user owns and no one else may enter.
bool isPrivate(const std::filesystem::path& folder);

// $XDG_RUNTIME_DIR when it is such a folder; none otherwise. Anyone may have set the variable, but
// only the user (or the system) can have made a private folder.
std::optional<std::filesystem::path> runtimeFolder();

// $TMPDIR when it is absolute, else /tmp: shared with every user.
std::filesystem::path sharedTemporaryFolder();

// A new folder made by mkdtemp under the runtime folder, else the shared temporary folder, named
// `prefix` and six random characters: private to this user, under a name no one can have taken
// first. Throws std::filesystem::filesystem_error.
std::filesystem::path makeFresh(std::string_view prefix);

} // namespace varnel::PrivateFolder
