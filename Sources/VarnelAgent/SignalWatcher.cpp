#include "SignalWatcher.hpp"

#include <csignal>

namespace varnel::CLI {

SignalWatcher::SignalWatcher(std::function<void(int)> onSignal)
    : onSignal_(std::move(onSignal)), signals_(context_, SIGINT, SIGTERM) {
    // Armed before the thread starts: a signal that comes in between is kept for the first wait.
    awaitNext();
    thread_ = std::thread([this] { context_.run(); });
}

SignalWatcher::~SignalWatcher() {
    context_.stop();
    if (thread_.joinable())
        thread_.join();
}

void SignalWatcher::awaitNext() {
    signals_.async_wait([this](const boost::system::error_code& error, int signal) {
        if (error)
            return;
        onSignal_(signal);
        awaitNext();
    });
}

} // namespace varnel::CLI
