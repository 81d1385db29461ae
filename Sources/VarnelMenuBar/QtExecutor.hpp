#pragma once

#include <boost/asio/execution.hpp>
#include <boost/asio/execution_context.hpp>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

class QObject;

namespace varnel {

// Hands work from any thread to the thread of one QObject, in order, without ever waiting for it.
// Once detached (the object's owner is going away) work is dropped instead.
class QtPoster {
public:
    explicit QtPoster(QObject* target) : target_(target) {}
    QtPoster(const QtPoster&) = delete;
    QtPoster& operator=(const QtPoster&) = delete;

    void post(std::function<void()> work);
    void detach();

private:
    std::mutex lock_;
    QObject* target_; // guarded by lock_
};

// An asio executor that runs its work on the Qt thread, so that a coroutine spawned on it resumes
// there after every co_await: the user interface awaits the agent loop and goes on where its
// widgets live.
class QtExecutor {
public:
    explicit QtExecutor(std::shared_ptr<QtPoster> poster) : poster_(std::move(poster)) {}

    boost::asio::execution_context& query(boost::asio::execution::context_t) const noexcept;
    static constexpr boost::asio::execution::blocking_t query(boost::asio::execution::blocking_t) noexcept {
        return boost::asio::execution::blocking.never;
    }
    QtExecutor require(boost::asio::execution::blocking_t::never_t) const { return *this; }

    template <class F> void execute(F work) const {
        // Qt copies what it queues; asio's handlers may only be moved.
        auto shared = std::make_shared<F>(std::move(work));
        poster_->post([shared] { (*shared)(); });
    }

    bool operator==(const QtExecutor& other) const noexcept { return poster_ == other.poster_; }
    bool operator!=(const QtExecutor& other) const noexcept { return poster_ != other.poster_; }

private:
    std::shared_ptr<QtPoster> poster_;
};

} // namespace varnel
