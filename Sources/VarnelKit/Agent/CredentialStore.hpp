#pragma once

#include "VarnelKit/Agent/DataFolder.hpp"
#include "VarnelKit/Support/Error.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace varnel {

// The device token, kept as one secret item named by service and account.
struct CredentialStore {
    std::string service;
    std::string account;

    // The one item both programs keep the device token in: service "com.varnel.agent", account
    // "device-token".
    static CredentialStore deviceToken() { return CredentialStore{"com.varnel.agent", "device-token"}; }

    class StoreError : public Error {
    public:
        // "Keychain error <status>: <the system's message, or unknown>".
        static StoreError keychain(std::int32_t status);
        std::int32_t status() const noexcept { return status_; }

    private:
        StoreError(std::int32_t status, std::string description);
        std::int32_t status_;
    };

    // Replaces any stored token in one step. Throws StoreError when the write fails, and the item
    // then holds what it held before; throws the Error of Paths::applicationSupport, and stores
    // nothing, when the user has no home folder, and DataFolder::Unwritable's when the data folder
    // is another user's.
    void save(const std::string& token) const;
    void save(const DataFolder& folder, const std::string& token) const;
    // The stored token; none when there is no item or anything about it is wrong (unreadable, not
    // UTF-8, refused by the data folder's rules). Never throws, never logs.
    std::optional<std::string> load() const noexcept;
    // The stored token as the data folder gives it: none when there is no item, it cannot be read
    // or is not UTF-8; throws DataFolder::Refused as DataFolder::read does.
    std::optional<std::string> read(const DataFolder& folder) const;
    // Removes the item; every outcome is ignored.
    void deleteItem() const noexcept;
    // Removes the item from a folder this process may write: 0, also when there was none, or the
    // errno of the step that failed.
    int remove(const DataFolder& folder) const noexcept;
    // The file the item is kept in. Throws the Error of Paths::applicationSupport when the user has
    // no home folder.
    std::filesystem::path file() const;
    // The same within the data folder.
    std::filesystem::path relativeFile() const;
};

} // namespace varnel
