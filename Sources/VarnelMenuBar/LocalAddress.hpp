#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

namespace varnel {

// Where a local (Unix) stream socket is found: a file, or a name in the abstract namespace, which
// has no file and goes with its last descriptor. A name there can be taken by any local user, so a
// caller counts only a listener of the expected user, and a listener only callers of its own.
class LocalAddress {
public:
    // The file, when its path fits in a socket's address.
    static std::optional<LocalAddress> file(const std::filesystem::path& path, uid_t owner);
    static LocalAddress abstract(std::string_view name, uid_t owner);

    // The socket's file; none for an abstract name.
    const std::optional<std::filesystem::path>& path() const noexcept { return path_; }

    // A non-blocking socket connected to it, or -1 with errno: EPERM when the listener is not the
    // owner's.
    int connect() const;
    // A non-blocking socket listening there, or -1 with errno. A file already there stays: it is
    // for the caller to say whether it may go.
    int listen() const;

private:
    LocalAddress(uid_t owner) : owner_(owner) {}

    sockaddr_un address_{};
    socklen_t size_ = 0;
    std::optional<std::filesystem::path> path_;
    uid_t owner_ = 0;
};

// The user at the other end of a connected local socket; none when it cannot be told.
std::optional<ucred> peerOf(int socket);

} // namespace varnel
