#include "SchedulerProxy.hpp"

#include "VarnelKit/Support/WriteAll.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace varnel::integration {

namespace {

// The end of a request's headers and the start of an IPP 2.0 Create-Job request (operation 5).
constexpr std::string_view createJobRequest{"\r\n\r\n\x02\x00\x00\x05", 8};
// A request with a document: only Send-Document streams its body in chunks.
constexpr std::string_view documentRequest{"Transfer-Encoding: chunked\r\n"};
// What a scheduler sends before its answer, and which the client waits for only briefly.
constexpr std::string_view interimAnswer{"HTTP/1.1 100 "};
// The end of a chunk's data and the zero-length chunk that ends the document.
constexpr std::string_view closingChunk{"\r\n0\r\n\r\n"};
constexpr std::string_view httpError{"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n"};
// Past the rest of the request's HTTP header and its IPP message, a few hundred bytes.
constexpr std::size_t stallAfter = 4096;

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    return address;
}

} // namespace

struct SchedulerProxy::Connection {
    int client = -1;
    int server = -1;
    std::atomic<bool> document{false}; // a document has started on it
    std::atomic<bool> ended{false};    // its end went on, and the scheduler's answer is replaced
    ~Connection() {
        ::close(client);
        ::close(server);
    }
    void shut() const {
        ::shutdown(client, SHUT_RDWR);
        ::shutdown(server, SHUT_RDWR);
    }
};

SchedulerProxy::SchedulerProxy(std::string schedulerSocket) : schedulerSocket_(std::move(schedulerSocket)) {
    char pattern[] = "/tmp/varnel-cups-proxy-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("cannot make the proxy's folder");
    folder_ = pattern;
    socket_ = folder_ + "/cups.sock";
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto address = addressOf(socket_);
    if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0) {
        throw std::runtime_error("the proxy cannot listen on " + socket_);
    }
    acceptor_ = std::thread([this] { acceptLoop(); });
}

SchedulerProxy::~SchedulerProxy() {
    closing_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    {
        std::lock_guard guard(heldLock_);
    }
    heldChanged_.notify_all();
    acceptor_.join();
    {
        std::lock_guard guard(lock_);
        for (const auto& connection : connections_) connection->shut();
    }
    for (auto& thread : threads_) thread.join();
    ::close(listener_);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

void SchedulerProxy::restartAtTheDocumentsEnd(std::function<void()> stopScheduler,
                                              std::function<void()> startScheduler) {
    stopScheduler_ = std::move(stopScheduler);
    startScheduler_ = std::move(startScheduler);
    atTheEnd_ = AtTheEnd::restart;
}

bool SchedulerProxy::documentEnds(Connection& connection, const char* bytes, std::size_t offset) {
    const auto action = atTheEnd_.exchange(AtTheEnd::pass);
    if (action == AtTheEnd::httpError) {
        connection.ended = true;
        return true;
    }
    // What came before the end still goes on.
    (void)writeAll(connection.server, std::string_view(bytes, offset));
    if (action != AtTheEnd::restart) {
        connection.shut();
        return false;
    }
    // New connections wait for the scheduler to be back, as they would in a listening socket that
    // its service manager keeps, so that what the restart does comes before anything they ask.
    const std::lock_guard restarting(restartLock_);
    stopScheduler_();
    connection.shut();
    startScheduler_();
    return false;
}

bool SchedulerProxy::waitForHeldSubmission(std::chrono::milliseconds limit) const {
    return waitForCount(held_, limit);
}

bool SchedulerProxy::waitForStalledDocument(std::chrono::milliseconds limit) const {
    return waitForCount(stalledDocuments_, limit);
}

bool SchedulerProxy::waitForHeldAnswer(std::chrono::milliseconds limit) const {
    return waitForCount(heldAnswers_, limit);
}

bool SchedulerProxy::waitForCount(const int& count, std::chrono::milliseconds limit) const {
    std::unique_lock lock(heldLock_);
    return heldChanged_.wait_for(lock, limit, [&count] { return count > 0; });
}

void SchedulerProxy::resumeDocuments() {
    {
        std::lock_guard guard(heldLock_);
        documentsResumed_ = true;
    }
    heldChanged_.notify_all();
}

void SchedulerProxy::releaseAnswers() {
    {
        std::lock_guard guard(heldLock_);
        answersReleased_ = true;
    }
    heldChanged_.notify_all();
}

void SchedulerProxy::holdUntil(int& count, const bool& released) {
    std::unique_lock lock(heldLock_);
    ++count;
    heldChanged_.notify_all();
    heldChanged_.wait(lock, [&] { return released || closing_; });
}

void SchedulerProxy::acceptLoop() {
    while (!closing_) {
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return;
        auto connection = std::make_shared<Connection>();
        connection->client = client;
        connection->server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const auto address = addressOf(schedulerSocket_);
        {
            const std::lock_guard waitForTheRestart(restartLock_);
        }
        // Without the scheduler the client meets a closed connection, as it would meet a refusal.
        if (::connect(connection->server, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            connection->shut();
            continue;
        }
        std::lock_guard guard(lock_);
        connections_.push_back(connection);
        threads_.emplace_back([this, connection] { forward(connection, true); });
        threads_.emplace_back([this, connection] { forward(connection, false); });
    }
}

// Copies one direction until either side ends it. From the client, the bytes are looked through for
// a job's creation and a document's start; from the scheduler, an answer after a document may be
// held back.
void SchedulerProxy::forward(std::shared_ptr<Connection> connection, bool fromClient) {
    const int from = fromClient ? connection->client : connection->server;
    const int to = fromClient ? connection->server : connection->client;
    std::string seen; // the tail of what came from the client, for a pattern split across reads
    char buffer[65536];
    bool held = false;
    bool stalled = false;
    std::size_t sinceDocument = 0; // bytes from the client after a document's start
    while (true) {
        const auto count = ::read(from, buffer, sizeof buffer);
        if (count <= 0) break;
        if (held) continue;
        const std::string_view bytes(buffer, static_cast<std::size_t>(count));
        bool stallAfterThis = false;
        if (fromClient) {
            seen.append(bytes);
            if (holding_ && seen.find(createJobRequest) != std::string::npos) {
                held = true;
                std::lock_guard guard(heldLock_);
                ++held_;
                heldChanged_.notify_all();
                continue;
            }
            if (connection->document) {
                sinceDocument += bytes.size();
            } else if (const auto at = seen.find(documentRequest); at != std::string::npos) {
                connection->document = true;
                sinceDocument = seen.size() - (at + documentRequest.size());
            }
            // The stall comes in the document's data, not in its request: the scheduler gives a
            // request's IPP message only a second to arrive whole, and then refuses it.
            stallAfterThis = connection->document && stallingDocuments_ && !stalled && sinceDocument >= stallAfter;
            if (connection->document && atTheEnd_ != AtTheEnd::pass) {
                if (const auto at = seen.find(closingChunk); at != std::string::npos) {
                    // Where in this read the zero-length chunk begins.
                    const auto before = seen.size() - bytes.size();
                    const auto offset = at + 2 > before ? at + 2 - before : 0;
                    if (!documentEnds(*connection, buffer, offset)) return;
                }
            }
            const auto keep = std::max(createJobRequest.size(), documentRequest.size());
            if (seen.size() > keep) seen.erase(0, seen.size() - keep);
        } else if (connection->ended && !bytes.starts_with(interimAnswer)) {
            (void)writeAll(to, httpError);
            return connection->shut();
        } else if (connection->document && holdingAnswers_ && !bytes.starts_with(interimAnswer)) {
            holdUntil(heldAnswers_, answersReleased_);
        }
        if (writeAll(to, bytes) != 0) return connection->shut();
        if (stallAfterThis) {
            stalled = true;
            holdUntil(stalledDocuments_, documentsResumed_);
        }
    }
    connection->shut();
}

} // namespace varnel::integration
