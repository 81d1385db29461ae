#pragma once

#include "VarnelKit/SelfTest/Describe.hpp"
#include "VarnelKit/SelfTest/SourceLocation.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/Error.hpp"

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace varnel {

// The built-in self-test's own small harness: an ordered list of named cases, run one after
// another, with a plain-text report printed as it goes.
class TestHarness {
public:
    struct Failure {
        std::string suite;
        std::string test;
        std::string message;
        std::string file; // last path component of the call site's file
        int line = 0;
    };

    // One per test run. Assertions may come from any thread the body starts; they are recorded
    // under the context's lock.
    class Context {
    public:
        Context(std::string suite, std::string test, AgentLoop& loop);

        const std::string& suite() const noexcept { return suite_; }
        const std::string& test() const noexcept { return test_; }

        void record(const std::string& message, const SourceLocation& location = SourceLocation::current());
        std::vector<Failure> failures() const;

        // Runs an awaitable on the self-test's agent loop and waits for it.
        template <class T> T await(Awaitable<T> awaitable) { return loop_.blockOn(std::move(awaitable)); }

        template <class A, class E>
        void assertEqual(const A& actual, const E& expected, const std::string& message = "",
                         SourceLocation location = SourceLocation::current()) {
            if (actual == expected) return;
            std::string text = "expected " + describe(expected) + ", got " + describe(actual);
            if (!message.empty()) text += " \xE2\x80\x94 " + message;
            record(text, location);
        }

        void assertTrue(bool condition, const std::string& message = "expected true",
                        SourceLocation location = SourceLocation::current());
        void assertFalse(bool condition, const std::string& message = "expected false",
                         SourceLocation location = SourceLocation::current());

        template <class T>
        void assertNil(const std::optional<T>& value, const std::string& message = "expected nil",
                       SourceLocation location = SourceLocation::current()) {
            if (value) record(message + " (got " + describe(*value) + ")", location);
        }
        template <class T>
        void assertNotNil(const std::optional<T>& value, const std::string& message = "expected non-nil",
                          SourceLocation location = SourceLocation::current()) {
            if (!value) record(message, location);
        }

        template <std::invocable F>
        void assertThrows(F&& body, SourceLocation location = SourceLocation::current()) {
            assertThrows("expected an error", std::forward<F>(body), location);
        }
        template <std::invocable F>
        void assertThrows(const std::string& message, F&& body,
                          SourceLocation location = SourceLocation::current()) {
            try {
                body();
            } catch (...) {
                return;
            }
            record(message, location);
        }

        template <std::invocable F>
        void assertNoThrow(F&& body, SourceLocation location = SourceLocation::current()) {
            assertNoThrow("unexpected error", std::forward<F>(body), location);
        }
        template <std::invocable F>
        void assertNoThrow(const std::string& message, F&& body,
                           SourceLocation location = SourceLocation::current()) {
            try {
                body();
            } catch (...) {
                record(message + ": " + describeException(std::current_exception()), location);
            }
        }

        // The asynchronous forms take a function that makes the awaitable to run on the loop.
        template <class F>
        void assertThrowsAsync(F&& makeAwaitable, SourceLocation location = SourceLocation::current()) {
            assertThrowsAsync("expected an error", std::forward<F>(makeAwaitable), location);
        }
        template <class F>
        void assertThrowsAsync(const std::string& message, F&& makeAwaitable,
                               SourceLocation location = SourceLocation::current()) {
            assertThrows(message, [&] { await(makeAwaitable()); }, location);
        }
        template <class F>
        void assertNoThrowAsync(F&& makeAwaitable, SourceLocation location = SourceLocation::current()) {
            assertNoThrowAsync("unexpected error", std::forward<F>(makeAwaitable), location);
        }
        template <class F>
        void assertNoThrowAsync(const std::string& message, F&& makeAwaitable,
                                SourceLocation location = SourceLocation::current()) {
            assertNoThrow(message, [&] { await(makeAwaitable()); }, location);
        }

    private:
        std::string suite_;
        std::string test_;
        AgentLoop& loop_;
        mutable std::mutex lock_;
        std::vector<Failure> failures_;
    };

    using Body = std::function<void(Context&)>;

    struct Case {
        std::string suite;
        std::string test;
        Body body;
        SourceLocation location;
    };

    // Appends a case; nothing is checked, names may repeat.
    void test(std::string suite, std::string name, Body body,
              SourceLocation location = SourceLocation::current());

    const std::vector<Case>& cases() const noexcept { return cases_; }

    // Runs every case in order, printing the report to `out`. True when no assertion failed.
    bool run(std::FILE* out = stdout) const;

    // Runs one case on its own and gives its failures; for running the cases under another runner.
    static std::vector<Failure> runCase(const Case& testCase, AgentLoop& loop);

private:
    std::vector<Case> cases_;
};

} // namespace varnel
