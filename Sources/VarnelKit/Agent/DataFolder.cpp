#include "VarnelKit/Agent/DataFolder.hpp"

#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/OwnedFolder.hpp"

#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace varnel {

namespace {

namespace fs = std::filesystem;
using Reason = DataFolder::Refused::Reason;

constexpr mode_t othersMayChange = S_IWGRP | S_IWOTH;
constexpr mode_t othersMayRead = S_IRGRP | S_IROTH;
// The modes a save gives.
constexpr mode_t privateFolder = 0700;
constexpr mode_t privateFile = 0600;

// A user as a person knows them: the login name, else the number.
std::string userName(uid_t user) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* result = nullptr;
    if (::getpwuid_r(user, &entry, buffer.data(), buffer.size(), &result) == 0 && result && result->pw_name &&
        result->pw_name[0] != '\0')
        return result->pw_name;
    return "the user with id " + NumberText::integer(user);
}

std::string refusal(const std::string& what, const std::string& why) {
    return "Varnel will not use " + what + ": " + why;
}

std::string systemMessage(int status) {
    return std::generic_category().message(status);
}

// Why this process makes or changes nothing in `existing`, which `owner` owns.
DataFolder::Unwritable foreignFolder(const fs::path& existing, uid_t owner) {
    const uid_t user = ::geteuid();
    const std::string name = userName(owner);
    std::string text = "Varnel will not make or change anything in " + existing.string() + ": it belongs to " +
                       name + ", not to " + userName(user) + ".";
    // Root given a user's HOME (sudo keeps it): the user's own programs would then meet root's files.
    if (user == 0)
        text += " Run it as " + name + ".";
    return DataFolder::Unwritable(EACCES, true, std::move(text));
}

int duplicate(int descriptor) {
    return ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
}

// What stands at a name where Varnel keeps a file or a folder of its own, for a refusal.
std::string notOurs(const std::string& subject, int openError, const struct stat* info) {
    if (openError == ELOOP || (info && S_ISLNK(info->st_mode)))
        return subject + " a link, and Varnel follows no link in its folder. Remove it and enroll again.";
    return subject + " not a regular file. Remove it and enroll again.";
}

} // namespace

DataFolder::Refused::Refused(Reason reason, std::string description)
    : RefusedFile(std::move(description)), reason_(reason) {}

DataFolder::Unwritable::Unwritable(int status, bool foreign, std::string description)
    : Error(std::move(description)), status_(status), foreign_(foreign) {}

DataFolder::DataFolder(fs::path path, Descriptor&& descriptor, uid_t owner, uid_t reader)
    : path_(std::move(path)), descriptor_(std::move(descriptor)), owner_(owner), reader_(reader) {}

std::optional<DataFolder> DataFolder::inspect(const fs::path& folder) {
    return open(folder, false);
}

DataFolder DataFolder::prepare(const fs::path& folder) {
    if (auto refused = refusalToWrite(folder))
        throw *refused;
    auto opened = OwnedFolder::openForWriting(folder);
    if (!opened.folder.isOpen()) {
        if (!opened.foreign.empty())
            throw foreignFolder(opened.foreign, opened.foreignOwner);
        throw Unwritable(opened.status, false,
                         "Varnel cannot make its folder " + folder.string() + ": " + systemMessage(opened.status) +
                             ".");
    }
    opened.folder.reset();
    // Opened again as any reader opens it, so that the same rules hold for what was just made.
    auto found = open(folder, true);
    if (!found)
        throw Unwritable(ENOENT, false, "Varnel cannot make its folder " + folder.string() + ": " +
                                            systemMessage(ENOENT) + ".");
    return std::move(*found);
}

std::optional<DataFolder::Unwritable> DataFolder::refusalToWrite(const fs::path& folder) {
    const uid_t user = ::geteuid();
    // The folder, else the nearest of its parents that is there: where anything would be made.
    fs::path existing = folder;
    struct stat info {};
    while (::stat(existing.c_str(), &info) != 0) {
        if (errno != ENOENT || !existing.has_relative_path() || existing.parent_path() == existing)
            return std::nullopt;
        existing = existing.parent_path();
    }
    if (info.st_uid == user)
        return std::nullopt;
    return foreignFolder(existing, info.st_uid);
}

std::optional<DataFolder> DataFolder::open(const fs::path& folder, bool forWriting) {
    // A folder that cannot be looked at cannot be read either: nothing in it is used.
    Descriptor opened(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat info {};
    struct stat entry {};
    if (!opened.isOpen() || ::fstat(opened.get(), &info) != 0 || ::lstat(folder.c_str(), &entry) != 0)
        return std::nullopt;
    const uid_t reader = ::geteuid();
    const std::string what = "its folder " + folder.string();
    // The folder may be a link the user made to a folder of their own elsewhere; a link to someone
    // else's folder would have this process read, or tighten, what that one keeps there.
    if (S_ISLNK(entry.st_mode) && entry.st_uid != info.st_uid) {
        throw Refused(Reason::anotherOwner, refusal(what, "it is a link that " + userName(entry.st_uid) +
                                                              " made to a folder that belongs to " +
                                                              userName(info.st_uid) + "."));
    }
    if (info.st_uid != reader && (reader != 0 || forWriting)) {
        const std::string owner = userName(info.st_uid);
        throw Refused(Reason::anotherOwner, refusal(what, "it belongs to another user, " + owner +
                                                              ". Run Varnel as " + owner + "."));
    }
    DataFolder found(folder, std::move(opened), info.st_uid, reader);
    found.guard(found.descriptor(), info.st_mode, othersMayChange, privateFolder, what);
    return found;
}

std::optional<Descriptor> DataFolder::openFolder(const fs::path& relative) const {
    return walk(relative, "its folder " + (path_ / relative).string());
}

std::optional<Descriptor> DataFolder::walk(const fs::path& relative, const std::string& what) const {
    Descriptor current(duplicate(descriptor()));
    if (!current.isOpen())
        return std::nullopt;
    fs::path reached = path_;
    for (const auto& name : relative) {
        reached /= name;
        Descriptor next(OwnedFolder::openIn(current.get(), name.string()));
        if (!next.isOpen()) {
            struct stat entry {};
            if ((errno == ELOOP || errno == ENOTDIR) &&
                ::fstatat(current.get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0) {
                const std::string subject = reached.string() + " is";
                throw Refused(Reason::notAFile,
                              refusal(what, S_ISLNK(entry.st_mode)
                                                ? notOurs(subject, ELOOP, &entry)
                                                : subject + " not a folder. Remove it and enroll again."));
            }
            return std::nullopt;
        }
        struct stat info {};
        if (::fstat(next.get(), &info) != 0)
            return std::nullopt;
        if (info.st_uid != owner_) {
            throw Refused(Reason::anotherOwner,
                          refusal(what, reached.string() + " belongs to " + userName(info.st_uid) + ", not to " +
                                            userName(owner_) +
                                            ", who owns the Varnel folder. Remove it and enroll again."));
        }
        guard(next.get(), info.st_mode, othersMayChange, privateFolder, what);
        current = std::move(next);
    }
    return current;
}

int DataFolder::makeFolder(const fs::path& relative, Descriptor& opened) const {
    if (!mayWrite())
        return EACCES;
    Descriptor current(duplicate(descriptor()));
    if (!current.isOpen())
        return errno;
    for (const auto& name : relative) {
        Descriptor next(OwnedFolder::makeIn(current.get(), name.string()));
        if (!next.isOpen())
            return errno;
        struct stat info {};
        if (::fstat(next.get(), &info) != 0)
            return errno;
        // Only this user's own folders are written in; theirs are made private, as when first made.
        if (info.st_uid != reader_)
            return EACCES;
        if ((info.st_mode & 07777) != privateFolder && ::fchmod(next.get(), privateFolder) != 0)
            return errno;
        current = std::move(next);
    }
    opened = std::move(current);
    return 0;
}

std::string DataFolder::describe(const fs::path& relative, Contents contents) const {
    return (contents == Contents::settings ? "the settings in " : "the credential in ") + (path_ / relative).string();
}

std::optional<Descriptor> DataFolder::openFile(const fs::path& relative, Contents contents) const {
    const std::string what = describe(relative, contents);
    const auto folder = walk(relative.parent_path(), what);
    if (!folder)
        return std::nullopt;
    const auto anotherOwner = [&](uid_t fileOwner) {
        return Refused(Reason::anotherOwner,
                       refusal(what, "it belongs to " + userName(fileOwner) + ", not to " + userName(owner_) +
                                         ", who owns the Varnel folder. Enroll again to replace it."));
    };
    const std::string name = relative.filename().string();
    Descriptor file(OwnedFolder::openFileIn(folder->get(), name));
    if (!file.isOpen()) {
        if (errno == ELOOP)
            throw Refused(Reason::notAFile, refusal(what, notOurs("it is", ELOOP, nullptr)));
        // Closed to this reader: say so when that is because another user has it.
        struct stat entry {};
        if (errno == EACCES && ::fstatat(folder->get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
            entry.st_uid != owner_)
            throw anotherOwner(entry.st_uid);
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        return std::nullopt;
    if (!S_ISREG(info.st_mode))
        throw Refused(Reason::notAFile, refusal(what, notOurs("it is", 0, &info)));
    if (info.st_uid != owner_)
        throw anotherOwner(info.st_uid);
    const mode_t forbidden = contents == Contents::secret ? othersMayChange | othersMayRead : othersMayChange;
    guard(file.get(), info.st_mode, forbidden, privateFile, what);
    return file;
}

std::optional<std::string> DataFolder::read(const fs::path& relative, Contents contents) const {
    const auto file = openFile(relative, contents);
    if (!file)
        return std::nullopt;
    struct stat info {};
    if (::fstat(file->get(), &info) == 0 && static_cast<std::uintmax_t>(info.st_size) > readLimit) {
        throw Refused(Reason::notAFile,
                      refusal(describe(relative, contents),
                              "it holds more than 1 MiB, far more than Varnel keeps there. Remove it and enroll "
                              "again."));
    }
    // A file that grew past the limit since it was looked at is read no further.
    return OwnedFolder::readAll(file->get(), readLimit);
}

int DataFolder::makePrivate() const noexcept {
    if (!mayWrite())
        return EACCES;
    struct stat info {};
    if (::fstat(descriptor(), &info) != 0)
        return errno;
    if ((info.st_mode & 07777) != privateFolder && ::fchmod(descriptor(), privateFolder) != 0)
        return errno;
    return 0;
}

void DataFolder::guard(int descriptor, mode_t mode, mode_t forbidden, mode_t privateMode,
                       const std::string& what) const {
    if ((mode & forbidden) == 0)
        return;
    const bool changeable = (mode & othersMayChange) != 0;
    if (!mayWrite()) {
        // What others could only read is as trustworthy as before; what they could change is not.
        if (!changeable)
            return;
        const std::string owner = userName(owner_);
        throw Refused(Reason::exposed, refusal(what, "users other than its owner, " + owner +
                                                         ", may change it. Run Varnel once as " + owner +
                                                         ", which makes it private."));
    }
    if (::fchmod(descriptor, privateMode) != 0) {
        const int status = errno;
        throw Refused(Reason::exposed,
                      refusal(what, std::string("other users may ") + (changeable ? "change" : "read") +
                                        " it, and it could not be made private: " + systemMessage(status) + "."));
    }
}

} // namespace varnel
