#include "VarnelMenuBar/SingleInstance.hpp"

#include "VarnelKit/Support/Descriptor.hpp"
#include "VarnelKit/Support/NumberText.hpp"

#include <QLocalServer>
#include <QLocalSocket>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace varnel {
namespace {

// What the running instance answers once its window is shown.
constexpr char shownReply[] = "shown\n";

bool comesFrom(const QLocalSocket& caller, pid_t process) {
    if (process <= 0)
        return false;
    ucred peer{};
    socklen_t size = sizeof peer;
    const int descriptor = static_cast<int>(caller.socketDescriptor());
    return ::getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.pid == process;
}

} // namespace

SingleInstance::SingleInstance(const std::filesystem::path& lockFile)
    : lockFile_(lockFile), lock_(std::make_unique<QLockFile>(QString::fromStdString(lockFile.string()))) {
    // Only a dead owner makes a lock stale, however old it is: the tray runs all day.
    lock_->setStaleLockTime(0);
}

SingleInstance::~SingleInstance() = default;

std::filesystem::path SingleInstance::defaultLockFile() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/')
        return std::filesystem::path(runtime) / "varnel-menubar.lock";
    return std::filesystem::temp_directory_path() /
           ("varnel-menubar-" + NumberText::integer(static_cast<std::int64_t>(::getuid())) + ".lock");
}

std::filesystem::path SingleInstance::socketFile(const std::filesystem::path& lockFile) {
    auto socket = lockFile;
    socket.replace_extension(".socket");
    return socket;
}

bool SingleInstance::acquire(std::chrono::milliseconds wait) {
    return lock_->tryLock(static_cast<int>(wait.count()));
}

bool SingleInstance::listen(std::function<void()> showWindow, pid_t prober) {
    if (server_)
        return true;
    const auto path = QString::fromStdString(socketFile(lockFile_).string());
    auto server = std::make_unique<QLocalServer>();
    // Only this user may ask for the window.
    server->setSocketOptions(QLocalServer::UserAccessOption);
    // Whoever holds the lock owns the socket's name: what is there was left by a process that died.
    QLocalServer::removeServer(path);
    if (!server->listen(path))
        return false;
    QObject::connect(server.get(), &QLocalServer::newConnection, server.get(),
                     [server = server.get(), showWindow = std::move(showWindow), prober] {
                         while (QLocalSocket* caller = server->nextPendingConnection()) {
                             QObject::connect(caller, &QLocalSocket::disconnected, caller,
                                              &QObject::deleteLater);
                             if (showWindow && !comesFrom(*caller, prober))
                                 showWindow();
                             // The caller only waits for the answer; it sends nothing.
                             caller->write(shownReply, sizeof shownReply - 1);
                             caller->disconnectFromServer();
                         }
                     });
    server_ = std::move(server);
    return true;
}

void SingleInstance::release() {
    // The socket goes first: a new instance that gets the lock sets up its own.
    if (server_) {
        server_->close();
        server_.reset();
    }
    lock_->unlock();
}

bool SingleInstance::handOver(const std::filesystem::path& lockFile, std::chrono::milliseconds limit) {
    const std::string path = socketFile(lockFile).string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // Plain POSIX: a second start needs no Qt event loop, and must not hang on a busy instance.
    const Descriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket.isOpen())
        return false;
    const int fd = socket.get();
    std::string answer;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (answer.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd ready{fd, POLLIN, 0};
            const int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
            if (polled < 0 && errno == EINTR)
                continue;
            if (polled <= 0)
                break;
            char buffer[64];
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (got <= 0)
                break;
            answer.append(buffer, static_cast<std::size_t>(got));
            if (answer.size() > sizeof buffer)
                break;
        }
    }
    return answer == shownReply;
}

std::filesystem::path SingleInstance::lockFile() const {
    return lock_->fileName().toStdString();
}

} // namespace varnel
