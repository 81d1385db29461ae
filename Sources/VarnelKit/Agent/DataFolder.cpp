#include "VarnelKit/Agent/DataFolder.hpp"

#include "VarnelKit/Support/NumberText.hpp"

#include <cerrno>
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

} // namespace

DataFolder::Refused::Refused(Reason reason, std::string description)
    : RefusedFile(std::move(description)), reason_(reason) {}

std::optional<DataFolder> DataFolder::inspect(const fs::path& folder) {
    struct stat info {};
    // A folder that cannot be looked at cannot be read either: nothing in it is used.
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return std::nullopt;
    const uid_t reader = ::geteuid();
    const std::string what = "its folder " + folder.string();
    if (info.st_uid != reader && reader != 0) {
        const std::string owner = userName(info.st_uid);
        throw Refused(Reason::anotherOwner, refusal(what, "it belongs to another user, " + owner +
                                                              ". Run Varnel as " + owner + "."));
    }
    const DataFolder found(info.st_uid, reader);
    found.guard(folder, info.st_mode, othersMayChange, privateFolder, what);
    return found;
}

void DataFolder::admit(const fs::path& file, Contents contents, PrivateFolder::Links links) const {
    struct stat info {};
    const int looked =
        links == PrivateFolder::Links::follow ? ::stat(file.c_str(), &info) : ::lstat(file.c_str(), &info);
    if (looked != 0 || S_ISLNK(info.st_mode))
        return;
    const std::string what =
        (contents == Contents::settings ? "the settings in " : "the credential in ") + file.string();
    if (info.st_uid != owner_ && info.st_uid != reader_) {
        throw Refused(Reason::anotherOwner,
                      refusal(what, "it belongs to " + userName(info.st_uid) + ", not to " +
                                        userName(owner_) +
                                        ", who owns the Varnel folder. Enroll again to replace it."));
    }
    const mode_t forbidden = contents == Contents::secret ? othersMayChange | othersMayRead : othersMayChange;
    guard(file, info.st_mode, forbidden, privateFile, what);
}

void DataFolder::guard(const fs::path& path, mode_t mode, mode_t forbidden, mode_t privateMode,
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
    if (::chmod(path.c_str(), privateMode) != 0) {
        const int status = errno;
        throw Refused(Reason::exposed,
                      refusal(what, std::string("other users may ") + (changeable ? "change" : "read") +
                                        " it, and it could not be made private: " +
                                        std::generic_category().message(status) + "."));
    }
}

} // namespace varnel
