#include "VarnelKit/Agent/CredentialStore.hpp"

#include "VarnelKit/Platform/Keychain.hpp"
#include "VarnelKit/Support/AtomicFile.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/OwnedFolder.hpp"
#include "VarnelKit/Support/Paths.hpp"
#include "VarnelKit/Support/Text.hpp"

#include <cerrno>

namespace varnel {

namespace {

constexpr mode_t itemMode = 0600;

} // namespace

CredentialStore::StoreError::StoreError(std::int32_t status, std::string description)
    : Error(std::move(description)), status_(status) {}

CredentialStore::StoreError CredentialStore::StoreError::keychain(std::int32_t status) {
    std::string message = Keychain::errorMessage(status);
    if (message.empty()) message = "unknown";
    return StoreError(status, "Keychain error " + NumberText::integer(status) + ": " + message);
}

void CredentialStore::save(const std::string& token) const {
    const auto folder = Paths::applicationSupport();
    std::optional<DataFolder> data;
    try {
        data.emplace(DataFolder::prepare(folder));
    } catch (const DataFolder::Unwritable& unwritable) {
        if (unwritable.foreign()) throw;
        throw StoreError::keychain(unwritable.status());
    }
    save(*data, token);
}

// The item's file is replaced in one step, so deleting it first would only open a moment, or a
// failure, in which no token is stored at all.
void CredentialStore::save(const DataFolder& folder, const std::string& token) const {
    const auto relative = relativeFile();
    Descriptor items;
    if (const int status = folder.makeFolder(relative.parent_path(), items); status != 0)
        throw StoreError::keychain(status);
    if (const int status = AtomicFile::write(items.get(), relative.filename().string(), token, itemMode); status != 0)
        throw StoreError::keychain(status);
}

std::optional<std::string> CredentialStore::load() const noexcept {
    try {
        const auto data = DataFolder::inspect(Paths::applicationSupport());
        if (!data) return std::nullopt;
        return read(*data);
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<std::string> CredentialStore::read(const DataFolder& folder) const {
    auto data = folder.read(relativeFile(), DataFolder::Contents::secret);
    if (!data || !Text::isValidUtf8(*data)) return std::nullopt;
    return data;
}

void CredentialStore::deleteItem() const noexcept {
    try {
        if (const auto data = DataFolder::inspect(Paths::applicationSupport()); data && data->mayWrite())
            (void)remove(*data);
    } catch (...) {
    }
}

int CredentialStore::remove(const DataFolder& folder) const noexcept {
    if (!folder.mayWrite()) return EACCES;
    try {
        const auto relative = relativeFile();
        const auto items = folder.openFolder(relative.parent_path());
        if (!items) return 0;
        return OwnedFolder::removeIn(items->get(), relative.filename().string());
    } catch (const DataFolder::Refused&) {
        // A link or a foreign folder where the items would be: no item of this folder's is there.
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

std::filesystem::path CredentialStore::file() const { return Keychain::itemPath(service, account); }

std::filesystem::path CredentialStore::relativeFile() const { return Keychain::relativeItemPath(service, account); }

} // namespace varnel
