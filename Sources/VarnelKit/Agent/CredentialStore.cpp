#include "VarnelKit/Agent/CredentialStore.hpp"

#include "VarnelKit/Platform/Keychain.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/Text.hpp"

namespace varnel {

CredentialStore::StoreError::StoreError(std::int32_t status, std::string description)
    : Error(std::move(description)), status_(status) {}

CredentialStore::StoreError CredentialStore::StoreError::keychain(std::int32_t status) {
    std::string message = Keychain::errorMessage(status);
    if (message.empty()) message = "unknown";
    return StoreError(status, "Keychain error " + NumberText::integer(status) + ": " + message);
}

// The item's file is replaced in one step, so deleting it first would only open a moment, or a
// failure, in which no token is stored at all.
void CredentialStore::save(const std::string& token) const {
    if (const int status = Keychain::addItem(service, account, token); status != 0) {
        throw StoreError::keychain(status);
    }
}

std::optional<std::string> CredentialStore::load() const noexcept {
    try {
        auto data = Keychain::copyItem(service, account);
        if (!data || !Text::isValidUtf8(*data)) return std::nullopt;
        return data;
    } catch (...) {
        return std::nullopt;
    }
}

void CredentialStore::deleteItem() const noexcept {
    try {
        (void)Keychain::deleteItem(service, account);
    } catch (...) {
    }
}

std::filesystem::path CredentialStore::file() const { return Keychain::itemPath(service, account); }

} // namespace varnel
