#pragma once

#include "VarnelKit/Agent/RefusedFile.hpp"
#include "VarnelKit/Platform/PrivateFolder.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>

namespace varnel {

// The data folder as this process finds it, before it trusts what is in it. The settings there
// name the server that receives the token and the credential's items hold the token, so nothing
// that someone other than the folder's owner can have changed is used. The owner first tightens
// what it finds open to others; any other reader (root reading a user's folder) changes nothing
// in it and only reads.
class DataFolder {
public:
    // What a file holds, and so what others must not be able to do to it.
    enum class Contents {
        settings, // others must not change it
        secret,   // others must neither change nor read it
    };

    class Refused : public RefusedFile {
    public:
        enum class Reason {
            anotherOwner, // neither the folder's owner nor this process owns it
            exposed,      // open to others, and this process may not, or could not, make it private
        };
        Refused(Reason reason, std::string description);
        Reason reason() const noexcept { return reason_; }

    private:
        Reason reason_;
    };

    // None when there is no folder to read. Throws Refused for a folder of another user, unless
    // this process is root, which may read any user's folder; and for one that others may change
    // when this process does not own it or cannot make it private (it gets mode 0700).
    static std::optional<DataFolder> inspect(const std::filesystem::path& folder);

    // Whether this process owns the folder, and so may change what is in it.
    bool mayWrite() const noexcept { return owner_ == reader_; }

    // Readies a file of the folder to be read. Nothing to do when there is none (with
    // Links::refuse, when it is a link, which is then never read) or when others can do nothing to
    // it that its contents forbid. The folder's owner gives a file open to others mode 0600.
    // Throws Refused for a file that neither the folder's owner nor this process owns, and for one
    // open to others that this process may not, or could not, tighten; a secret that others may
    // only read is read as it is by a reader that may not tighten it.
    void admit(const std::filesystem::path& file, Contents contents, PrivateFolder::Links links) const;

private:
    DataFolder(uid_t owner, uid_t reader) : owner_(owner), reader_(reader) {}
    // Tightens to `privateMode` what others may do `forbidden` things to, or refuses it; `what`
    // names it in the refusal.
    void guard(const std::filesystem::path& path, mode_t mode, mode_t forbidden, mode_t privateMode,
               const std::string& what) const;

    uid_t owner_;
    uid_t reader_;
};

} // namespace varnel
