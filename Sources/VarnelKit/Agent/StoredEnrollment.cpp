#include "VarnelKit/Agent/StoredEnrollment.hpp"

#include "VarnelKit/Agent/DataFolder.hpp"
#include "VarnelKit/Support/AtomicFile.hpp"
#include "VarnelKit/Support/Descriptor.hpp"
#include "VarnelKit/Support/Paths.hpp"

#include <atomic>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <sys/file.h>
#include <system_error>
#include <vector>

namespace varnel {

namespace {

namespace fs = std::filesystem;

std::atomic<StoredEnrollment::StepHook> stepHook{nullptr};

void reached(StoredEnrollment::Step step) {
    if (const auto hook = stepHook.load())
        hook(step);
}

// One save, load or clear at a time, across threads and both programs: without it a reader could
// settle what a save in another process is still writing. The lock is the data folder's own, taken
// on the descriptor everything is then reached from, so reading takes no file of its own into
// being.
class FolderLock {
public:
    explicit FolderLock(const DataFolder& folder) : descriptor_(folder.descriptor()) {
        while (::flock(descriptor_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~FolderLock() { ::flock(descriptor_, LOCK_UN); }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int descriptor_;
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

// What is stored, as read once from the folder: each file checked on the descriptor it is read from.
struct Found {
    std::optional<std::string> settingsText;
    std::optional<std::string> token;
    std::optional<std::string> pending;
};

Found readAll(const DataFolder& folder, const CredentialStore& credentials) {
    Found found;
    found.settingsText = folder.read(AgentSettings::fileName, DataFolder::Contents::settings);
    found.token = credentials.read(folder);
    found.pending = pendingItem(credentials).read(folder);
    return found;
}

// The settings the file holds when they keep the enrollment's rules; none otherwise.
std::optional<AgentSettings> usable(const DataFolder& folder, const std::optional<std::string>& text) {
    if (!text)
        return std::nullopt;
    try {
        return AgentSettings::decode(*text, folder.path() / AgentSettings::fileName);
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
Settled settle(const DataFolder& folder, const CredentialStore& credentials, const Found& found, Access access) {
    const CredentialStore pending = pendingItem(credentials);
    if (!found.pending)
        return {};
    const auto left = decode(*found.pending);
    const auto current = usable(folder, found.settingsText);
    if (!left || !current || !(*current == left->settings)) {
        // The save stopped before its settings were written: the enrollment before it stands.
        if (access == Access::write)
            (void)pending.remove(folder);
        return {};
    }
    // Its settings were written, so this token is the one that goes with them, wherever it is.
    if (access == Access::readOnly)
        return {left->token, nullptr};
    try {
        credentials.save(folder, left->token);
    } catch (const Error&) {
        // Still in the pending item, from which the next reader takes it again.
        return {left->token, std::current_exception()};
    }
    reached(StoredEnrollment::Step::tokenWritten);
    (void)pending.remove(folder);
    reached(StoredEnrollment::Step::pendingRemoved);
    return {left->token, nullptr};
}

// The files a save writes: each folder within the data folder and the name in it.
std::vector<fs::path> storedFiles(const CredentialStore& credentials) {
    return {credentials.relativeFile(), pendingItem(credentials).relativeFile(), AgentSettings::fileName};
}

// What a save stopped before its renames left behind, the token's copies among them. Only while
// the folder is locked, so that no save is still writing them. 0, or the errno of a removal that
// failed.
int removeLeftovers(const DataFolder& folder, const CredentialStore& credentials) {
    int status = 0;
    for (const auto& file : storedFiles(credentials)) {
        std::optional<Descriptor> parent;
        try {
            parent = folder.openFolder(file.parent_path());
        } catch (const DataFolder::Refused&) {
            // Not a folder of this one's own: nothing of Varnel's is left in it.
        }
        if (!parent)
            continue;
        if (const int removed = AtomicFile::removeLeftovers(parent->get(), file.filename().string());
            removed != 0 && status == 0)
            status = removed;
    }
    return status;
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
    const auto data = DataFolder::inspect(folder);
    if (!data)
        return {};
    const FolderLock lock(*data);
    // Everything is read, and checked on the descriptor it is read from, before anything is
    // changed, so that a refusal leaves all as it was.
    const Found found = readAll(*data, credentials);

    auto settled = settle(*data, credentials, found, data->mayWrite() ? Access::write : Access::readOnly);
    StoredEnrollment stored;
    if (found.settingsText)
        stored.settings = AgentSettings::decode(*found.settingsText, data->path() / AgentSettings::fileName);
    stored.token = settled.token ? std::move(settled.token) : found.token;
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
    std::optional<DataFolder> prepared;
    try {
        prepared.emplace(DataFolder::prepare(folder));
    } catch (const DataFolder::Unwritable& unwritable) {
        if (unwritable.foreign())
            throw;
        throw CredentialStore::StoreError::keychain(unwritable.status());
    }
    const DataFolder& data = *prepared;
    if (const int status = data.makePrivate(); status != 0)
        throw CredentialStore::StoreError::keychain(status);
    const FolderLock lock(data);
    (void)removeLeftovers(data, credentials);
    // What is refused (another user's file, a link) is not read to settle it, and does not stop
    // the save: the enrollment replaces it.
    const auto tolerated = [](auto read) -> std::optional<std::string> {
        try {
            return read();
        } catch (const RefusedFile&) {
            return std::nullopt;
        }
    };
    Found found;
    found.settingsText = tolerated([&] { return data.read(AgentSettings::fileName, DataFolder::Contents::settings); });
    found.pending = tolerated([&] { return pendingItem(credentials).read(data); });
    if (const auto earlier = settle(data, credentials, found, Access::write); earlier.unfinished)
        std::rethrow_exception(earlier.unfinished);

    const CredentialStore pending = pendingItem(credentials);
    pending.save(data, encode(token, settings));
    reached(Step::pendingWritten);
    try {
        settings.save(data);
    } catch (...) {
        (void)pending.remove(data);
        throw;
    }
    reached(Step::settingsWritten);
    try {
        credentials.save(data, token);
    } catch (const Error&) {
        return;
    }
    reached(Step::tokenWritten);
    (void)pending.remove(data);
    reached(Step::pendingRemoved);
}

void StoredEnrollment::clear(const CredentialStore& credentials) {
    fs::path folder;
    try {
        folder = Paths::applicationSupport();
    } catch (const Error&) {
        // No home folder: nothing was stored.
        return;
    }
    const auto data = DataFolder::inspect(folder);
    if (!data)
        return;
    if (!data->mayWrite()) {
        if (auto refused = DataFolder::refusalToWrite(folder))
            throw *refused;
        throw DataFolder::Unwritable(EACCES, true, "Varnel will not change anything in " + folder.string() + ".");
    }
    const FolderLock lock(*data);
    // The pending item first: left behind, it could bring the token back.
    const struct {
        fs::path file;
        int status;
    } removals[] = {
        {pendingItem(credentials).relativeFile(), pendingItem(credentials).remove(*data)},
        {credentials.relativeFile(), credentials.remove(*data)},
        {AgentSettings::fileName, AgentSettings::remove(*data)},
        {credentials.relativeFile().parent_path(), removeLeftovers(*data, credentials)},
    };
    for (const auto& removal : removals) {
        if (removal.status != 0)
            throw Error("Could not delete " + (data->path() / removal.file).string() + ": " +
                        std::generic_category().message(removal.status) + ".");
    }
}

StoredEnrollment::StepHook StoredEnrollment::setStepHook(StepHook hook) {
    return stepHook.exchange(hook);
}

} // namespace varnel
