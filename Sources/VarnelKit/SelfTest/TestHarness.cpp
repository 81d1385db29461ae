#include "VarnelKit/SelfTest/TestHarness.hpp"

#include "VarnelKit/Support/NumberText.hpp"

#include <string_view>

namespace varnel {

namespace {

std::string lastPathComponent(std::string_view path) {
    const auto slash = path.find_last_of('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

void print(std::FILE* out, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), out);
}

} // namespace

TestHarness::Context::Context(std::string suite, std::string test, AgentLoop& loop)
    : suite_(std::move(suite)), test_(std::move(test)), loop_(loop) {}

void TestHarness::Context::record(const std::string& message, const SourceLocation& location) {
    Failure failure{suite_, test_, message, lastPathComponent(location.file_name()), static_cast<int>(location.line())};
    std::lock_guard lock(lock_);
    failures_.push_back(std::move(failure));
}

std::vector<TestHarness::Failure> TestHarness::Context::failures() const {
    std::lock_guard lock(lock_);
    return failures_;
}

void TestHarness::Context::assertTrue(bool condition, const std::string& message, SourceLocation location) {
    if (!condition) record(message, location);
}

void TestHarness::Context::assertFalse(bool condition, const std::string& message, SourceLocation location) {
    if (condition) record(message, location);
}

void TestHarness::test(std::string suite, std::string name, Body body, SourceLocation location) {
    cases_.push_back(Case{std::move(suite), std::move(name), std::move(body), location});
}

std::vector<TestHarness::Failure> TestHarness::runCase(const Case& testCase, AgentLoop& loop) {
    // Shared, so that work the body left running may still record into a live context.
    auto context = std::make_shared<Context>(testCase.suite, testCase.test, loop);
    try {
        testCase.body(*context);
    } catch (...) {
        // A body that throws has failed; the rest of the run goes on.
        context->record("unexpected error: " + describeException(std::current_exception()), testCase.location);
    }
    return context->failures();
}

bool TestHarness::run(std::FILE* out) const {
    AgentLoop loop;
    loop.startThread();

    std::size_t failureCount = 0;
    std::size_t passed = 0;
    std::string currentSuite;
    for (const Case& testCase : cases_) {
        if (testCase.suite != currentSuite) {
            print(out, "\n" + testCase.suite + "\n");
            std::fflush(out);
            currentSuite = testCase.suite;
        }
        const auto failures = runCase(testCase, loop);
        failureCount += failures.size();
        if (failures.empty()) {
            print(out, "  \xE2\x9C\x93 " + testCase.test + "\n");
            ++passed;
        } else {
            print(out, "  \xE2\x9C\x97 " + testCase.test + "\n");
            for (const auto& failure : failures) {
                print(out, "      " + failure.message + "  (" + failure.file + ":" +
                               NumberText::integer(failure.line) + ")\n");
            }
        }
        std::fflush(out);
    }

    const std::string total = NumberText::integer(static_cast<std::int64_t>(cases_.size()));
    const std::string passedText = NumberText::integer(static_cast<std::int64_t>(passed));
    print(out, "\n");
    if (failureCount == 0) {
        print(out, passedText + "/" + total + " tests passed\n");
    } else {
        print(out, passedText + "/" + total + " passed, " + NumberText::integer(static_cast<std::int64_t>(failureCount)) +
                       " assertion failure(s)\n");
    }
    std::fflush(out);
    return failureCount == 0;
}

} // namespace varnel
