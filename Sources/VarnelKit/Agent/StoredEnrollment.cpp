#include "VarnelKit/Agent/StoredEnrollment.hpp"

#include "VarnelKit/Agent/DataFolder.hpp"
#include "VarnelKit/Platform/PrivateFolder.hpp"
#include "VarnelKit/Support/AtomicFile.hpp"
#include "VarnelKit/Support/Descriptor.hpp"
#include "VarnelKit/Support/Paths.hpp"

#include <atomic>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <sys/file.h>

namespace varnel {

namespace {

namespace fs = std::filesystem;

std::atomic<StoredEnrollment::StepHook> stepHook{nullptr};

void reached(StoredEnrollment::Step step) {
    if (const auto hook = stepHook.load())
        hook(step);
}

// One save, load or clear at a time, across threads and both programs: without it a reader could
// settle what a save in another process is still writing. The lock is the data folder's own, so
// reading takes no file of its own into being.
class FolderLock {
public:
    explicit FolderLock(const fs::path& folder)
        : descriptor_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)), missing_(errno == ENOENT) {
        // A folder that cannot be opened is still read as it is; only the guard against a
        // concurrent save is lost.
        if (!descriptor_.isOpen())
            return;
        missing_ = false;
        while (::flock(descriptor_.get(), LOCK_EX) != 0 && errno == EINTR) {
        }
    }

    // Nothing can be stored: the folder that would hold it is not there.
    bool folderMissing() const noexcept { return missing_; }

private:
    Descriptor descriptor_;
    bool missing_;
};

// The item a save keeps its token in until the settings that go with it are written: the token
// and those settings, as one JSON object. The token's own item keeps its content (the token's
// bytes alone) whatever happens here.
CredentialStore pendingItem(const CredentialStore& credentials) {
    return CredentialStore{credentials.service, credentials.account + ".pending"};
}

struct Pending {
    std::string token;
    AgentSettings settings;
};

std::string encode(const std::string& token, const AgentSettings& settings) {
    json::Ordered object = json::Ordered::object();
    object["token"] = token;
    object["settings"] = settings.toJson();
    return json::dump(object);
}

std::optional<Pending> decode(const std::string& text) {
    try {
        const auto value = json::parse(text);
        json::requireObject(value, "pending enrollment");
        return Pending{json::requireString(value, "token"),
                       AgentSettings::fromJson(json::requireMember(value, "settings"))};
    } catch (const json::DecodeError&) {
        return std::nullopt;
    }
}

std::optional<AgentSettings> settingsIfUsable() {
    try {
        return AgentSettings::load();
    } catch (const RefusedFile&) {
        return std::nullopt;
    }
}

// Who settles: the folder's owner puts things right; any other reader only reads.
enum class Access { write, readOnly };

struct Settled {
    // The token that goes with the settings file, when it is the pending one.
    std::optional<std::string> token;
    // Why that token is still only in the pending item, when it could not be moved into its place.
    std::exception_ptr unfinished;
};

// Finishes or undoes what a save left in its pending item.
Settled settle(const CredentialStore& credentials, Access access) {
    const CredentialStore pending = pendingItem(credentials);
    const auto text = pending.load();
    if (!text)
        return {};
    const auto left = decode(*text);
    const auto current = settingsIfUsable();
    if (!left || !current || !(*current == left->settings)) {
        // The save stopped before its settings were written: the enrollment before it stands.
        if (access == Access::write)
            pending.deleteItem();
        return {};
    }
    // Its settings were written, so this token is the one that goes with them, wherever it is.
    if (access == Access::readOnly)
        return {left->token, nullptr};
    try {
        credentials.save(left->token);
    } catch (const Error&) {
        // Still in the pending item, from which the next reader takes it again.
        return {left->token, std::current_exception()};
    }
    reached(StoredEnrollment::Step::tokenWritten);
    pending.deleteItem();
    reached(StoredEnrollment::Step::pendingRemoved);
    return {left->token, nullptr};
}

// What a save stopped before its renames left behind, the token's copies among them. Only while
// the folder is locked, so that no save is still writing them.
void removeLeftovers(const CredentialStore& credentials) {
    for (const auto& file : {credentials.file(), pendingItem(credentials).file(), AgentSettings::fileURL()})
        AtomicFile::removeLeftovers(file);
}

} // namespace

StoredEnrollment StoredEnrollment::load(const CredentialStore& credentials) {
    fs::path folder;
    try {
        folder = Paths::applicationSupport();
    } catch (const Error&) {
        // No home folder: nowhere anything could have been stored.
        return {};
    }
    const FolderLock lock(folder);
    if (lock.folderMissing())
        return {};
    // Everything that is read is looked at first, so that a refusal leaves all as it was.
    const auto data = DataFolder::inspect(folder);
    if (!data)
        return {};
    data->admit(AgentSettings::fileURL(), DataFolder::Contents::settings, PrivateFolder::Links::follow);
    for (const auto& item : {credentials, pendingItem(credentials)})
        data->admit(item.file(), DataFolder::Contents::secret, PrivateFolder::Links::refuse);

    auto settled = settle(credentials, data->mayWrite() ? Access::write : Access::readOnly);
    StoredEnrollment stored;
    stored.settings = AgentSettings::load();
    stored.token = settled.token ? std::move(settled.token) : credentials.load();
    return stored;
}

// Two files cannot be replaced in one step, so the token waits in a pending item that names the
// settings it belongs to:
//   1. the pending item is written (the token and the new settings);
//   2. the settings file is replaced: the commit point;
//   3. the token item is replaced with the pending token;
//   4. the pending item is removed.
// Whoever reads next settles a pending item first: kept, and its token moved into place, when the
// settings file now holds exactly its settings (the save got past step 2); removed otherwise (it
// stopped before, and the old settings still go with the old token). So a stop after any step
// leaves the old enrollment whole or the new one whole. A failure of step 1 or 2 is the save's
// failure and leaves the old one; after step 2 the new one stands, so a failure of step 3 only
// leaves its token in the pending item for the readers. That item then holds the only copy of the
// token that goes with the settings, so the next save moves it into place before it writes a
// pending item of its own, and fails with the reason when it cannot.
void StoredEnrollment::save(const CredentialStore& credentials, const std::string& token,
                            const AgentSettings& settings) {
    const fs::path folder = Paths::applicationSupport();
    if (const int status = PrivateFolder::ensure(folder, PrivateFolder::Links::follow); status != 0)
        throw CredentialStore::StoreError::keychain(status);
    const FolderLock lock(folder);
    removeLeftovers(credentials);
    if (const auto earlier = settle(credentials, Access::write); earlier.unfinished)
        std::rethrow_exception(earlier.unfinished);

    const CredentialStore pending = pendingItem(credentials);
    pending.save(encode(token, settings));
    reached(Step::pendingWritten);
    try {
        settings.save();
    } catch (...) {
        pending.deleteItem();
        throw;
    }
    reached(Step::settingsWritten);
    try {
        credentials.save(token);
    } catch (const Error&) {
        return;
    }
    reached(Step::tokenWritten);
    pending.deleteItem();
    reached(Step::pendingRemoved);
}

void StoredEnrollment::clear(const CredentialStore& credentials) noexcept {
    try {
        const FolderLock lock(Paths::applicationSupport());
        // The pending item first: left behind, it could bring the token back.
        pendingItem(credentials).deleteItem();
        credentials.deleteItem();
        AgentSettings::clear();
        removeLeftovers(credentials);
    } catch (...) {
        // No home folder: nothing was stored.
    }
}

StoredEnrollment::StepHook StoredEnrollment::setStepHook(StepHook hook) {
    return stepHook.exchange(hook);
}

} // namespace varnel
