#include "VarnelMenuBar/LocalAddress.hpp"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varnel {

std::optional<LocalAddress> LocalAddress::file(const std::filesystem::path& path, uid_t owner) {
    const std::string text = path.string();
    LocalAddress address(owner);
    if (text.empty() || text.size() >= sizeof address.address_.sun_path)
        return std::nullopt;
    address.address_.sun_family = AF_UNIX;
    std::memcpy(address.address_.sun_path, text.c_str(), text.size() + 1);
    address.size_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + text.size() + 1);
    address.path_ = path;
    return address;
}

LocalAddress LocalAddress::abstract(std::string_view name, uid_t owner) {
    LocalAddress address(owner);
    address.address_.sun_family = AF_UNIX;
    // The leading zero byte marks the abstract namespace; the name is not terminated.
    const auto length = std::min(name.size(), sizeof address.address_.sun_path - 1);
    std::memcpy(address.address_.sun_path + 1, name.data(), length);
    address.size_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    return address;
}

std::optional<ucred> peerOf(int socket) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
        return std::nullopt;
    return peer;
}

int LocalAddress::connect() const {
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket < 0)
        return -1;
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address_), size_) != 0) {
        const int error = errno;
        ::close(socket);
        errno = error;
        return -1;
    }
    const auto peer = peerOf(socket);
    if (!peer || peer->uid != owner_) {
        ::close(socket);
        errno = EPERM;
        return -1;
    }
    return socket;
}

int LocalAddress::listen() const {
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket < 0)
        return -1;
    // Only this user may call; the folder of a file says so too.
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&address_), size_) != 0 ||
        (path_ && ::chmod(path_->c_str(), 0600) != 0) || ::listen(socket, 16) != 0) {
        const int error = errno;
        ::close(socket);
        errno = error;
        return -1;
    }
    return socket;
}

} // namespace varnel
