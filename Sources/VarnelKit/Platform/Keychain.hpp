#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace varnel::Keychain {

// The user's secret items, one file per (service, account) under Varnel/Keychain/<service>/ in the
// data folder: folders 0700, files 0600, so only this user can read them. It needs no desktop
// session, so the agent works the same under ssh or a service manager. The credential store reads
// and writes them through the data folder's descriptor (DataFolder); statuses are 0 for success or
// an errno.

// The system's sentence for a status; empty when it has none.
std::string errorMessage(int status);

// Where an item lives within the data folder: "Keychain", the service and the account, each name
// escaped into one safe file-name component.
std::filesystem::path relativeItemPath(std::string_view service, std::string_view account);

// The same below the data folder. Throws the Error of Paths::applicationSupport when the user has
// no home folder.
std::filesystem::path itemPath(std::string_view service, std::string_view account);

} // namespace varnel::Keychain
