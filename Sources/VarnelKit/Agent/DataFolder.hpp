#pragma once

#include "VarnelKit/Agent/RefusedFile.hpp"
#include "VarnelKit/Support/Descriptor.hpp"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>

namespace varnel {

// The data folder as this process finds it, held by its descriptor, before it trusts what is in
// it. The settings there name the server that receives the token and the credential's items hold
// the token, so nothing that someone other than the folder's owner can have changed is used, and
// what is checked is what is read: every file is reached from the folder's descriptor one name at
// a time, no link inside the folder is followed, and owner, mode and type are read from the
// descriptor that is then read. The owner first tightens, through that descriptor, what it finds
// open to others; any other reader (root reading a user's folder) changes nothing in it, makes
// nothing in it, and trusts only what the owner owns.
class DataFolder {
public:
    // What a file holds, and so what others must not be able to do to it.
    enum class Contents {
        settings, // others must not change it
        secret,   // others must neither change nor read it
    };

    // The most a file of the folder that is read whole may hold: far more than settings or a
    // token take, and little enough that a file made large (or sparse) costs nothing to refuse.
    static constexpr std::size_t readLimit = 1024 * 1024;

    class Refused : public RefusedFile {
    public:
        enum class Reason {
            anotherOwner, // someone other than the folder's owner owns it
            exposed,      // open to others, and this process may not, or could not, make it private
            notAFile,     // a link, or no regular file (a device, a pipe), or far too large
        };
        Refused(Reason reason, std::string description);
        Reason reason() const noexcept { return reason_; }

    private:
        Reason reason_;
    };

    // A folder that this process may not make or change: another user's, or one that could not
    // be made. The description says which and why; status() is the errno (EACCES for a folder of
    // another user).
    class Unwritable : public Error {
    public:
        Unwritable(int status, bool foreign, std::string description);
        int status() const noexcept { return status_; }
        // Another user's folder, as opposed to a failure of the system (a full disk, a read-only
        // mount).
        bool foreign() const noexcept { return foreign_; }

    private:
        int status_;
        bool foreign_;
    };

    // The folder to read: none when there is none to read. Throws Refused for a folder of another
    // user, unless this process is root, which may read any user's folder; for a link to a folder
    // that is not the link's owner's; and for a folder that others may change when this process
    // does not own it or cannot make it private (it gets mode 0700).
    static std::optional<DataFolder> inspect(const std::filesystem::path& folder);
    // The folder to write in, made (with its missing parents, each 0700) when it is missing; only
    // a folder that this process's user owns, and made only in one. Throws Unwritable, and then has
    // made nothing; Refused as inspect does.
    static DataFolder prepare(const std::filesystem::path& folder);
    // Why prepare() would refuse this folder to this process because it is another user's; none
    // when it would not. Makes nothing.
    static std::optional<Unwritable> refusalToWrite(const std::filesystem::path& folder);

    DataFolder(DataFolder&&) noexcept = default;
    DataFolder& operator=(DataFolder&&) noexcept = default;

    // Whether this process owns the folder, and so may change what is in it.
    bool mayWrite() const noexcept { return owner_ == reader_; }
    const std::filesystem::path& path() const noexcept { return path_; }
    int descriptor() const noexcept { return descriptor_.get(); }
    uid_t owner() const noexcept { return owner_; }

    // The folder at `relative` within this one, reached one name at a time without following a
    // link: none when it is missing. Throws Refused for a link or a file on the way, a folder
    // someone other than the owner owns, or one that others may change (the owner makes it 0700).
    std::optional<Descriptor> openFolder(const std::filesystem::path& relative) const;
    // The same, made (0700) where missing; only for a process that may write. Returns 0 and the
    // folder in `opened`, or the errno of the step that failed.
    int makeFolder(const std::filesystem::path& relative, Descriptor& opened) const;

    // A file of the folder, opened to be read and checked on that descriptor: none when it is
    // missing or cannot be opened. Throws Refused for a link, anything but a regular file, a file
    // that someone other than the folder's owner owns, and one open to others that this process
    // may not, or could not, tighten; a secret that others may only read is read as it is by a
    // reader that may not tighten it. The folder's owner gives a file open to others mode 0600.
    std::optional<Descriptor> openFile(const std::filesystem::path& relative, Contents contents) const;
    // The whole of such a file; none when it is missing, cannot be opened or a read fails. Throws
    // as openFile does, and Refused for a file larger than readLimit.
    std::optional<std::string> read(const std::filesystem::path& relative, Contents contents) const;

    // Gives the folder mode 0700 whatever it had; only for a process that may write. 0, or errno.
    int makePrivate() const noexcept;

private:
    DataFolder(std::filesystem::path path, Descriptor&& descriptor, uid_t owner, uid_t reader);
    static std::optional<DataFolder> open(const std::filesystem::path& folder, bool forWriting);
    // Tightens to `privateMode` what others may do `forbidden` things to, through `descriptor`,
    // or refuses it; `what` names it in the refusal.
    void guard(int descriptor, mode_t mode, mode_t forbidden, mode_t privateMode, const std::string& what) const;
    // The folders on the way to `relative`, as openFolder describes; `what` names what they lead
    // to in a refusal.
    std::optional<Descriptor> walk(const std::filesystem::path& relative, const std::string& what) const;
    std::string describe(const std::filesystem::path& relative, Contents contents) const;

    std::filesystem::path path_;
    Descriptor descriptor_;
    uid_t owner_;
    uid_t reader_;
};

} // namespace varnel
