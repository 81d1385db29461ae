#pragma once

#include "FakeHttpTransport.hpp"
#include "FakeWebSocketConnector.hpp"
#include "VarnelKit/Agent/ReverbClient.hpp"
#include "VarnelKit/Support/AsyncEvent.hpp"
#include "VarnelKit/Support/RecordingLogger.hpp"
#include "VarnelKit/Transport/LoopFixture.hpp"

#include <algorithm>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace varnel::testing {

using namespace std::chrono_literals;
using Kind = ReverbClient::Event::Kind;

// A client on its own loop, talking to fake sockets and a fake HTTP transport for the channel
// signature. Everything the client touches is read and changed on the loop (onLoop, waitFor).
class ReverbClientFixture : public ::testing::Test {
protected:
    static constexpr const char* connectionEstablished =
        R"({"event":"pusher:connection_established","data":"{\"socket_id\":\"123.456\",\"activity_timeout\":30}"})";
    static constexpr const char* subscribed =
        R"({"event":"pusher_internal:subscription_succeeded","channel":"private-device.7","data":"{}"})";

    ReverbClientFixture() { http->reply = HttpResponse{200, {}, R"({"auth":"app-key:signature"})"}; }

    ~ReverbClientFixture() override {
        if (client)
            onLoop([this] { client->stop(); });
        // Lets the loops see the stop before the loop thread goes away.
        std::this_thread::sleep_for(20ms);
    }

    // The server side of a healthy channel: welcome on open, confirm every subscription.
    void serveChannel() {
        connector->onOpen = [](FakeWebSocket& socket) { socket.pushText(connectionEstablished); };
        connector->onSend = [](FakeWebSocket& socket, const std::string& frame) {
            if (frame.find("pusher:subscribe") != std::string::npos)
                socket.pushText(subscribed);
        };
    }

    // No real waiting between attempts unless a test asks for it.
    ReverbClient::Options instantOptions() {
        ReverbClient::Options options;
        options.connector = connector;
        options.backoffSleep = [](ReverbClient::Seconds) -> Awaitable<void> { co_return; };
        return options;
    }

    void makeClient(ReverbClient::Options options) {
        if (!options.connector)
            options.connector = connector;
        client = ReverbClient::make(loop.loop().executor(), settings, 7, api, logger, std::move(options));
        client->onEvent([this](ReverbClient::Event event) -> Awaitable<void> {
            events.push_back(event);
            logLinesAtEvent.push_back(logger->messages().size());
            if (holdJobs && event.kind == Kind::jobCreated) {
                insideHandler = true;
                co_await holdJobs->waitIgnoringCancellation();
            }
        });
    }
    void start() {
        onLoop([this] { client->start(); });
    }
    void stop() {
        onLoop([this] { client->stop(); });
    }

    template <class F> std::invoke_result_t<F&> onLoop(F body) { return loop.onLoop(std::move(body)); }

    bool waitFor(std::function<bool()> condition, std::chrono::milliseconds limit = 5s) {
        return loop.waitFor(std::move(condition), limit);
    }

    std::size_t socketCount() {
        return onLoop([this] { return connector->sockets.size(); });
    }
    // For conditions of waitFor, which already run on the loop.
    std::size_t eventsOnLoop(Kind kind) const {
        return static_cast<std::size_t>(
            std::count_if(events.begin(), events.end(), [kind](const auto& e) { return e.kind == kind; }));
    }
    std::size_t countEvents(Kind kind) {
        return onLoop([this, kind] { return eventsOnLoop(kind); });
    }
    // Lines that contain the text.
    std::size_t countLines(const std::string& text) const {
        const auto lines = logger->messages();
        return static_cast<std::size_t>(
            std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& line) { return line.find(text) != std::string::npos; }));
    }
    // Every line except the per-attempt "connecting" notes.
    std::vector<std::string> linesWithoutConnecting() const {
        std::vector<std::string> out;
        for (auto& line : logger->messages()) {
            if (line.find("Reverb connecting to") == std::string::npos)
                out.push_back(line);
        }
        return out;
    }

    LoopFixture loop;
    std::shared_ptr<FakeWebSocketConnector> connector =
        std::make_shared<FakeWebSocketConnector>(loop.loop().executor());
    std::shared_ptr<FakeHttpTransport> http = std::make_shared<FakeHttpTransport>();
    std::shared_ptr<VarnelAPIClient> api = std::make_shared<VarnelAPIClient>(
        VarnelAPIClient::Configuration{*parseAbsoluteUrl("https://varnel.test"), "1.0.4"}, "device-token",
        http);
    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
    ReverbSettings settings{"app-key", "127.0.0.1", 8080, "http"};
    std::shared_ptr<ReverbClient> client;

    std::vector<ReverbClient::Event> events;
    std::vector<std::size_t> logLinesAtEvent;
    // When set, a jobCreated handler call waits for it.
    std::shared_ptr<AsyncEvent> holdJobs;
    bool insideHandler = false;
};

} // namespace varnel::testing
