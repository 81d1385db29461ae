#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <exception>
#include <future>

namespace varnel::testing {

// Runs `work` on the thread that runs `context` and waits for it; its exception reaches the caller.
// Must not be called on that thread, which would wait for itself.
template <class Work> void runOnThread(boost::asio::io_context& context, Work work) {
    std::promise<void> done;
    boost::asio::post(context, [&] {
        try {
            work();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    done.get_future().get();
}

} // namespace varnel::testing
