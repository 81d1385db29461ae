#pragma once

#include "VarnelKit/Support/AgentLoop.hpp"

#include <boost/asio/signal_set.hpp>
#include <functional>

namespace varnel {

// SIGINT and SIGTERM (a session's log-out, a service manager) end the application the way its
// Quit does. Watched on the agent loop; `onSignal` runs there and must only hand the quit on.
class QuitSignals {
public:
    QuitSignals(AgentLoop& loop, std::function<void()> onSignal);

private:
    void wait();

    boost::asio::signal_set signals_;
    std::function<void()> onSignal_;
};

} // namespace varnel
