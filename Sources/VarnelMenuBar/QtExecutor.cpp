#include "VarnelMenuBar/QtExecutor.hpp"

#include <QMetaObject>
#include <QObject>

namespace varnel {

void QtPoster::post(std::function<void()> work) {
    std::lock_guard lock(lock_);
    // Queued, never blocking: the agent loop must not wait for the user interface.
    if (target_)
        QMetaObject::invokeMethod(target_, std::move(work), Qt::QueuedConnection);
}

void QtPoster::detach() {
    std::lock_guard lock(lock_);
    target_ = nullptr;
}

boost::asio::execution_context& QtExecutor::query(boost::asio::execution::context_t) const noexcept {
    // Asio asks every executor for a context; nothing of asio runs in this one.
    static boost::asio::execution_context context;
    return context;
}

} // namespace varnel
