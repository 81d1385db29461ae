#include "VarnelMenuBar/SingleInstance.hpp"

#include "VarnelKit/Platform/PrivateFolder.hpp"
#include "VarnelKit/Support/Descriptor.hpp"
#include "VarnelKit/Support/NumberText.hpp"

#include <QSocketNotifier>
#include <cerrno>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varnel {
namespace {

namespace fs = std::filesystem;

// What the running instance answers once its window is shown.
constexpr char shownReply[] = "shown\n";

std::string hex(std::uint64_t value) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value % 16]);
        value /= 16;
    } while (value != 0);
    return text;
}

// Where the release before this one, which chose its lock's folder from each start's environment,
// waits for the answer of the program it relaunched: beside its lock in the first folder of this
// user's own among $XDG_RUNTIME_DIR and varnel-menubar-<uid> in the shared temporary folder (it
// made that one); else in the data folder's Instance, where this release answers anyway.
std::optional<fs::path> earlierReleaseSocket() {
    if (const auto runtime = PrivateFolder::runtimeFolder())
        return *runtime / "varnel-menubar.socket";
    const auto shared = PrivateFolder::sharedTemporaryFolder() /
                        ("varnel-menubar-" + NumberText::integer(static_cast<std::int64_t>(::getuid())));
    if (PrivateFolder::isPrivate(shared))
        return shared / "varnel-menubar.socket";
    return std::nullopt;
}

} // namespace

// One socket that answers later starts, on the Qt thread. Its file goes with it, unless another
// has been bound in its place since.
class SingleInstance::Listener {
public:
    Listener(int socket, std::optional<fs::path> file, std::function<void()> showWindow, pid_t prober)
        : socket_(socket), file_(std::move(file)), showWindow_(std::move(showWindow)), prober_(prober),
          notifier_(socket, QSocketNotifier::Read) {
        struct stat bound {};
        if (file_ && ::lstat(file_->c_str(), &bound) == 0) {
            device_ = bound.st_dev;
            inode_ = bound.st_ino;
        }
        QObject::connect(&notifier_, &QSocketNotifier::activated, &notifier_, [this] { answer(); });
    }
    ~Listener() {
        notifier_.setEnabled(false);
        struct stat current {};
        if (file_ && ::lstat(file_->c_str(), &current) == 0 && current.st_dev == device_ &&
            current.st_ino == inode_)
            ::unlink(file_->c_str());
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

private:
    void answer() {
        for (;;) {
            const Descriptor caller(::accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (!caller.isOpen()) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                return;
            }
            // An abstract name can be called by any user: only this one, or the administrator, asks.
            const auto peer = peerOf(caller.get());
            if (!peer || (peer->uid != ::getuid() && peer->uid != 0))
                continue;
            if (showWindow_ && (prober_ <= 0 || peer->pid != prober_))
                showWindow_();
            // The caller only waits for the answer and sends nothing; a few bytes always fit in a new
            // connection's buffer.
            [[maybe_unused]] const auto sent =
                ::send(caller.get(), shownReply, sizeof shownReply - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
    }

    Descriptor socket_;
    std::optional<fs::path> file_;
    std::function<void()> showWindow_;
    pid_t prober_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    QSocketNotifier notifier_;
};

SingleInstance::SingleInstance(const std::filesystem::path& lockFile) : lockFile_(lockFile) {}

SingleInstance::~SingleInstance() = default;

std::optional<LocalAddress> SingleInstance::socketAddress(const std::filesystem::path& lockFile) {
    const auto folder = lockFile.parent_path();
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0)
        return std::nullopt;
    auto file = lockFile;
    file.replace_extension(".socket");
    if (auto beside = LocalAddress::file(file, info.st_uid))
        return beside;
    // Every start that meets the lock reaches the same folder, by whatever path.
    return LocalAddress::abstract("varnel-menubar/" + hex(info.st_dev) + "/" + hex(info.st_ino) + "/" +
                                      lockFile.stem().string(),
                                  info.st_uid);
}

bool SingleInstance::listen(std::function<void()> showWindow, pid_t prober) {
    if (!listeners_.empty())
        return true;
    // Another user's folder (root with this user's HOME, see InstanceLock) gets nothing new.
    if (!PrivateFolder::isPrivate(lockFile_.parent_path()))
        return false;
    const auto address = socketAddress(lockFile_);
    // Whoever holds the lock owns the socket's name: what is there was left by a process that ended.
    if (!address || !listenAt(*address, true, showWindow, prober))
        return false;
    if (prober > 0) {
        // A relaunch: the copy that asks may be of the release before, which asks there. That name
        // is its own; this one only takes it when it is free.
        const auto earlier = earlierReleaseSocket();
        const auto other = earlier ? LocalAddress::file(*earlier, ::getuid()) : std::nullopt;
        if (other && other->path() != address->path())
            listenAt(*other, false, showWindow, prober);
    }
    return true;
}

bool SingleInstance::listenAt(const LocalAddress& address, bool replace,
                              const std::function<void()>& showWindow, pid_t prober) {
    if (replace && address.path())
        ::unlink(address.path()->c_str());
    const int socket = address.listen();
    if (socket < 0)
        return false;
    listeners_.push_back(std::make_unique<Listener>(socket, address.path(), showWindow, prober));
    return true;
}

void SingleInstance::stopListening() {
    listeners_.clear();
}

bool SingleInstance::handOver(const std::filesystem::path& lockFile, std::chrono::milliseconds limit) {
    const auto address = socketAddress(lockFile);
    if (!address)
        return false;
    // Plain POSIX: a second start needs no Qt event loop, and must not hang on a busy instance.
    const Descriptor socket(address->connect());
    if (!socket.isOpen())
        return false;
    const int fd = socket.get();
    std::string answer;
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
    return answer == shownReply;
}

std::filesystem::path SingleInstance::lockFile() const {
    return lockFile_;
}

} // namespace varnel
