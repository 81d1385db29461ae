#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace varnel::Keychain {

// The user's secret items, one file per (service, account) under Varnel/Keychain/<service>/:
// folders 0700, files 0600, so only this user can read them. It needs no desktop session, so the
// agent works the same under ssh or a service manager. Statuses are 0 for success or an errno.
// Each call throws the Error of Paths::applicationSupport when the user has no home folder.

// Removes the item. A missing item is a success.
int deleteItem(std::string_view service, std::string_view account);
// Stores a new item holding exactly `secret`. The file appears whole or not at all.
int addItem(std::string_view service, std::string_view account, std::string_view secret);
// The stored bytes; none when there is no item or it cannot be read.
std::optional<std::string> copyItem(std::string_view service, std::string_view account);

// The system's sentence for a status; empty when it has none.
std::string errorMessage(int status);

// Where an item lives. Each name is escaped into one safe file-name component.
std::filesystem::path itemPath(std::string_view service, std::string_view account);

} // namespace varnel::Keychain
