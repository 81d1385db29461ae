#include "VarnelKit/Support/AgentLoop.hpp"

namespace varnel {

AgentLoop::AgentLoop() : context_(1) { guard_.emplace(context_.get_executor()); }

AgentLoop::~AgentLoop() {
    stop();
    if (thread_.joinable()) thread_.join();
}

void AgentLoop::run() { context_.run(); }

void AgentLoop::startThread() {
    thread_ = std::thread([this] { context_.run(); });
}

void AgentLoop::stop() {
    guard_.reset();
    context_.stop();
}

} // namespace varnel
