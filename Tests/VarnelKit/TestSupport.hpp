#pragma once

#include "VarnelKit/Support/AgentLoop.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace varnel::testing {

// The error of type E that `body` throws; records a test failure and gives none when it throws
// nothing or something else.
template <class E, class F> std::optional<E> thrownBy(F&& body) {
    try {
        body();
    } catch (const E& error) {
        return error;
    } catch (const std::exception& error) {
        ADD_FAILURE() << "unexpected error: " << error.what();
        return std::nullopt;
    }
    ADD_FAILURE() << "expected an error";
    return std::nullopt;
}

// The same for an awaitable run on the loop.
template <class E, class T> std::optional<E> thrownBy(AgentLoop& loop, Awaitable<T> call) {
    return thrownBy<E>([&] { loop.blockOn(std::move(call)); });
}

// Whether `condition`, asked every 2 ms, holds within the limit: for state another thread changes.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::steady_clock::duration limit = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Sets an environment variable for the life of the object, then puts back what was there.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) previous_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    // Unset for the scope.
    explicit ScopedEnvironment(const char* name) : name_(name) {
        if (const char* old = std::getenv(name)) previous_ = old;
        ::unsetenv(name);
    }
    ~ScopedEnvironment() {
        if (previous_) {
            ::setenv(name_, previous_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* name_;
    std::optional<std::string> previous_;
};

} // namespace varnel::testing
