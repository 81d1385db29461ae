#include "VarnelKit/Support/AsyncEvent.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace varnel {

namespace asio = boost::asio;

// The timer never expires on its own: cancelling its waits is how set() wakes them.
AsyncEvent::AsyncEvent(const asio::any_io_executor& executor)
    : timer_(executor, asio::steady_timer::time_point::max()) {}

void AsyncEvent::set() {
    set_ = true;
    timer_.cancel();
}

asio::awaitable<bool> AsyncEvent::wait() {
    if (set_) co_return true;
    const auto state = co_await asio::this_coro::cancellation_state;
    if (state.cancelled() != asio::cancellation_type::none) co_return false;
    (void)co_await timer_.async_wait(asio::as_tuple(asio::use_awaitable));
    co_return set_;
}

asio::awaitable<void> AsyncEvent::waitIgnoringCancellation() {
    while (!set_) {
        (void)co_await timer_.async_wait(
            asio::bind_cancellation_slot(asio::cancellation_slot(), asio::as_tuple(asio::use_awaitable)));
    }
}

} // namespace varnel
