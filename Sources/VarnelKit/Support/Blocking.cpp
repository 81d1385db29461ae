#include "VarnelKit/Support/Blocking.hpp"

#include <boost/asio/execution/context.hpp>
#include <boost/asio/execution_context.hpp>
#include <boost/asio/query.hpp>
#include <mutex>

namespace varnel {

namespace asio = boost::asio;

namespace detail {

struct MailboxGate {
    std::mutex lock;
    bool open = true;
};

} // namespace detail

namespace {

constexpr std::size_t poolThreads = 4;

// The pool as a service of the loop's execution context. Services shut down newest first, so this
// one (added after the context's scheduler) is shut down before the scheduler destroys the
// handlers still queued: by then no pool thread and no mailbox can post to it any more.
class BlockingPoolService : public asio::execution_context::service {
public:
    static asio::execution_context::id id;

    explicit BlockingPoolService(asio::execution_context& context)
        : service(context), pool_(std::in_place, poolThreads),
          gate_(std::make_shared<detail::MailboxGate>()) {}

    asio::thread_pool& pool() { return *pool_; }
    const std::shared_ptr<detail::MailboxGate>& gate() const noexcept { return gate_; }

private:
    void shutdown() override {
        {
            std::lock_guard guard(gate_->lock);
            gate_->open = false;
        }
        if (!pool_)
            return;
        // Calls not begun are dropped with their waiters; calls under way are waited for, since
        // what they refer to goes away with the context.
        pool_->stop();
        pool_->join();
        pool_.reset();
    }

    std::optional<asio::thread_pool> pool_;
    std::shared_ptr<detail::MailboxGate> gate_;
};

asio::execution_context::id BlockingPoolService::id;

BlockingPoolService& serviceOf(const Executor& executor) {
    return asio::use_service<BlockingPoolService>(asio::query(executor, asio::execution::context));
}

} // namespace

asio::thread_pool& blockingPool(const Executor& loopExecutor) {
    return serviceOf(loopExecutor).pool();
}

LoopMailbox::LoopMailbox(const Executor& executor) : executor_(executor), gate_(serviceOf(executor).gate()) {}

bool LoopMailbox::post(UniqueFunction<void()> work) const {
    std::lock_guard guard(gate_->lock);
    if (!gate_->open)
        return false;
    asio::post(executor_, std::move(work));
    return true;
}

} // namespace varnel
