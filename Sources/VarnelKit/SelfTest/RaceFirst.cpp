#include "VarnelKit/SelfTest/RaceFirst.hpp"

#include "VarnelKit/Support/Timeout.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

namespace varnel::SelfTest {

namespace asio = boost::asio;

Awaitable<bool> raceFirst(Awaitable<bool> first, Awaitable<bool> second) {
    const auto executor = co_await asio::this_coro::executor;
    auto a = detail::startDetached<bool>(executor, std::move(first), true);
    auto b = detail::startDetached<bool>(executor, std::move(second), true);
    // Only the waits on the two outcomes take part in the group; the loser's wait ends as soon as
    // the group cancels it, while the loser itself runs on.
    auto group = asio::experimental::make_parallel_group(asio::co_spawn(executor, a->finished.wait(), asio::deferred),
                                                         asio::co_spawn(executor, b->finished.wait(), asio::deferred));
    try {
        (void)co_await group.async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
    } catch (const boost::system::system_error&) {
        // The caller was cancelled: neither side is waited for.
    }
    auto& winner = a->finished.isSet() ? a : b;
    auto& loser = a->finished.isSet() ? b : a;
    if (!loser->finished.isSet())
        loser->stop.emit(asio::cancellation_type::terminal);
    if (!winner->finished.isSet())
        co_return false;
    co_return detail::takeOutcome(*winner);
}

} // namespace varnel::SelfTest
