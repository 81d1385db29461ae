#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace varnel::integration {

// A stand-in for the print scheduler on a socket of its own: it passes every connection through to
// the real scheduler, except where told to hold one of a submission's steps, so that the agent's
// checks of the queue get through while its submission meets a scheduler that stalls:
// - submissions: from the moment a job is created on a connection, nothing more of it is passed on
//   or answered, for good;
// - documents: once a document (a chunked request) has sent its request and the first few
//   kilobytes of its data on a connection, nothing more is read from the agent until
//   resumeDocuments(), so its data fills the buffers and its writes wait;
// - answers: the scheduler's answer to a document (anything after it but an interim "100 Continue")
//   is held back until releaseAnswers(), while the scheduler itself has the whole document;
// - the document's end (its closing chunk), once: lost on the way, answered with an HTTP error in
//   place of the scheduler's own answer, or met by a restart of the scheduler.
class SchedulerProxy {
public:
    explicit SchedulerProxy(std::string schedulerSocket);
    // Closes every connection, held ones included.
    ~SchedulerProxy();
    SchedulerProxy(const SchedulerProxy&) = delete;
    SchedulerProxy& operator=(const SchedulerProxy&) = delete;

    const std::string& socketPath() const noexcept { return socket_; }

    void holdSubmissions() { holding_ = true; }
    // True once a job creation is held, within the limit.
    bool waitForHeldSubmission(std::chrono::milliseconds limit) const;

    void stallDocuments() { stallingDocuments_ = true; }
    void resumeDocuments();
    // True once a document has stalled, within the limit.
    bool waitForStalledDocument(std::chrono::milliseconds limit) const;

    void holdAnswers() { holdingAnswers_ = true; }
    void releaseAnswers();
    // True once an answer to a document is held, within the limit.
    bool waitForHeldAnswer(std::chrono::milliseconds limit) const;

    // The next document's closing chunk is not passed on, and its connection is shut.
    void dropTheDocumentsEnd() { atTheEnd_ = AtTheEnd::drop; }
    // The next document's closing chunk is passed on, and the scheduler's answer to it is replaced
    // with "500 Internal Server Error" and the connection shut.
    void answerTheDocumentsEndWithAnHttpError() { atTheEnd_ = AtTheEnd::httpError; }
    // As the next document's closing chunk arrives, and before it is passed on, `stopScheduler`
    // runs; its connection is then shut and `startScheduler` runs, on the proxy's own thread. New
    // connections wait until it has returned.
    void restartAtTheDocumentsEnd(std::function<void()> stopScheduler, std::function<void()> startScheduler);

private:
    struct Connection;
    enum class AtTheEnd { pass, drop, httpError, restart };

    // From the client: the document's end came in these bytes, at `offset`; false when the
    // connection carries no more.
    bool documentEnds(Connection& connection, const char* bytes, std::size_t offset);

    void acceptLoop();
    void forward(std::shared_ptr<Connection> connection, bool fromClient);
    // Counts one held step and waits until `released` holds or the proxy closes.
    void holdUntil(int& count, const bool& released);
    bool waitForCount(const int& count, std::chrono::milliseconds limit) const;

    std::string folder_;
    std::string socket_;
    std::string schedulerSocket_;
    int listener_ = -1;
    std::atomic<bool> holding_{false};
    mutable std::mutex heldLock_;
    mutable std::condition_variable heldChanged_;
    int held_ = 0; // guarded by heldLock_
    std::atomic<bool> stallingDocuments_{false};
    std::atomic<bool> holdingAnswers_{false};
    int stalledDocuments_ = 0;    // guarded by heldLock_
    int heldAnswers_ = 0;         // guarded by heldLock_
    bool documentsResumed_ = false; // guarded by heldLock_
    bool answersReleased_ = false;  // guarded by heldLock_
    std::atomic<AtTheEnd> atTheEnd_{AtTheEnd::pass};
    std::function<void()> stopScheduler_; // set before atTheEnd_ is
    std::function<void()> startScheduler_;
    std::mutex restartLock_; // held while the scheduler restarts
    std::atomic<bool> closing_{false};
    std::mutex lock_;
    std::vector<std::shared_ptr<Connection>> connections_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

} // namespace varnel::integration
