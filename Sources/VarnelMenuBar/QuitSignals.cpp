#include "VarnelMenuBar/QuitSignals.hpp"

#include <csignal>

namespace varnel {

QuitSignals::QuitSignals(AgentLoop& loop, std::function<void()> onSignal)
    : signals_(loop.context(), SIGINT, SIGTERM), onSignal_(std::move(onSignal)) {
    wait();
}

void QuitSignals::wait() {
    signals_.async_wait([this](const boost::system::error_code& error, int) {
        if (error)
            return;
        onSignal_();
        wait();
    });
}

} // namespace varnel
