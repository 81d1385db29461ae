#pragma once

#include "VarnelKit/Support/AgentLoop.hpp"

namespace varnel::testing {

// Runs awaitables on an agent loop of their own.
class LoopFixture {
public:
    LoopFixture() { loop_.startThread(); }
    template <class T> T run(Awaitable<T> awaitable) { return loop_.blockOn(std::move(awaitable)); }
    AgentLoop& loop() { return loop_; }

private:
    AgentLoop loop_;
};

} // namespace varnel::testing
