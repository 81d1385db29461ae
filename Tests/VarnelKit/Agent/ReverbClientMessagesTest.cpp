// What the real-time client makes of each frame, and the helpers that read frames.
#include "ReverbClientFixture.hpp"

namespace varnel::testing {
namespace {

std::optional<std::int64_t> intOf(const json::Value& data, const char* key = "v") {
    return ReverbClient::nestedInt(&data, key);
}

TEST(ReverbClientHelpers, NestedIntAcceptsIntegersDecimalTextAndTruncatedFloats) {
    const std::vector<std::pair<json::Value, std::optional<std::int64_t>>> table = {
        {json::Value{{"v", 42}}, 42},
        {json::Value{{"v", "42"}}, 42},
        {json::Value{{"v", "+42"}}, 42},
        {json::Value{{"v", "-7"}}, -7},
        {json::Value{{"v", "007"}}, 7},
        {json::Value{{"v", 42.9}}, 42},
        {json::Value{{"v", -42.9}}, -42},
        {json::Value{{"v", "9223372036854775807"}}, INT64_MAX},
        {json::Value{{"v", "-9223372036854775808"}}, INT64_MIN},
        {json::Value{{"v", -9223372036854775807LL - 1}}, INT64_MIN},
        {json::Value{{"v", "4 2"}}, std::nullopt},
        {json::Value{{"v", "42abc"}}, std::nullopt},
        {json::Value{{"v", "+"}}, std::nullopt},
        {json::Value{{"v", ""}}, std::nullopt},
        {json::Value{{"v", " 42"}}, std::nullopt},
        {json::Value{{"v", "9223372036854775808"}}, std::nullopt},
        {json::Value{{"v", nullptr}}, std::nullopt},
        {json::Value{{"v", true}}, std::nullopt},
        {json::Value{{"v", json::Value::array({1})}}, std::nullopt},
        {json::Value{{"v", json::Value{{"x", 1}}}}, std::nullopt},
        {json::Value{{"v", 9223372036854775808ULL}}, std::nullopt},
        {json::Value{{"v", 9.3e18}}, std::nullopt},
        {json::Value{{"v", -9.3e18}}, std::nullopt},
        {json::Value{{"other", 1}}, std::nullopt},
        {json::Value("{\"v\":\"12\"}"), 12},
    };
    for (const auto& [data, expected] : table)
        EXPECT_EQ(intOf(data), expected) << data.dump();
    EXPECT_EQ(ReverbClient::nestedInt(nullptr, "v"), std::nullopt);
}

TEST(ReverbClientHelpers, NestedObjectAndStringUnwrapAStringOnce) {
    const json::Value object{{"socket_id", "1.2"}, {"n", 5}};
    EXPECT_EQ(ReverbClient::nestedObject(&object), object);
    const json::Value text = object.dump();
    EXPECT_EQ(ReverbClient::nestedObject(&text), object);
    const json::Value twice = text.dump(); // a JSON string holding the JSON text
    EXPECT_EQ(ReverbClient::nestedObject(&twice), std::nullopt);
    for (const json::Value& other :
         {json::Value("not json"), json::Value("[1,2]"), json::Value(3), json::Value()}) {
        EXPECT_EQ(ReverbClient::nestedObject(&other), std::nullopt) << other.dump();
    }
    EXPECT_EQ(ReverbClient::nestedString(&text, "socket_id"), std::optional<std::string>("1.2"));
    EXPECT_EQ(ReverbClient::nestedString(&object, "n"), std::nullopt) << "numbers are not converted";
    EXPECT_EQ(ReverbClient::nestedString(&object, "missing"), std::nullopt);
}

TEST(ReverbClientHelpers, SummariseMakesOneTrimmedLineCutOnCharacters) {
    EXPECT_EQ(ReverbClient::summarise("a\r\nb", 160), "a  b");
    EXPECT_EQ(ReverbClient::summarise(" \t\xC2\xA0 x y\t \xE3\x80\x80", 160), "x y")
        << "tabs and space separators";
    const std::string exact(160, 'x');
    EXPECT_EQ(ReverbClient::summarise(exact, 160), exact);
    EXPECT_EQ(ReverbClient::summarise(exact + "y", 160), exact + "\xE2\x80\xA6 (161 chars)");
    // "e" and a combining acute are one character: the cut keeps them together.
    const std::string accented = "e\xCC\x81";
    EXPECT_EQ(ReverbClient::summarise("ab" + accented + "cd", 3), "ab" + accented + "\xE2\x80\xA6 (5 chars)");
    EXPECT_EQ(ReverbClient::summarise("ok\xFF", 160), "ok\xEF\xBF\xBD")
        << "invalid UTF-8 never reaches the log";
}

TEST(ReverbClientHelpers, OnlyAPongIsAnAcknowledgement) {
    EXPECT_TRUE(ReverbClient::isAcknowledgement("pusher:pong"));
    for (const char* name : {"pusher:ping", "Pusher:pong", "pusher:pong ", "job.created", ""}) {
        EXPECT_FALSE(ReverbClient::isAcknowledgement(name)) << name;
    }
}

class ReverbClientFramesTest : public ReverbClientFixture {
protected:
    // A subscribed client; frames pushed afterwards are handled in order.
    void connect() {
        serveChannel();
        makeClient(instantOptions());
        start();
        ASSERT_TRUE(waitFor([this] { return eventsOnLoop(Kind::connected) == 1; }));
    }
    void push(std::vector<std::string> frames) {
        onLoop([this, frames] {
            for (const auto& frame : frames)
                connector->last()->pushText(frame);
        });
    }
};

TEST_F(ReverbClientFramesTest, ApplicationEventsWithDataAsObjectOrString) {
    connect();
    push({
        R"({"event":"job.created","channel":"private-device.7","data":{"job_id":8814}})",
        R"({"event":"job.created","data":"{\"job_id\":\"8815\"}"})",
        R"({"event":"job.cancelled","data":{"job_id":12.7}})",
        R"({"event":"job.cancelled","data":"{\"job_id\":13}"})",
        R"({"event":"job.created","data":{"job_id":"x"}})",
        R"({"event":"job.created"})",
        R"({"event":"printers.rescan"})",
        R"({"event":"device.reconnect","data":"{\"after_ms\":2500}"})",
        R"({"event":"device.reconnect","data":{}})",
        R"({"event":"printers.rescan","data":"{}"})",
    });
    ASSERT_TRUE(waitFor([this] { return events.size() == 9; }));
    std::this_thread::sleep_for(20ms);
    onLoop([this] {
        ASSERT_EQ(events.size(), 9u) << "a job event without a usable id raises nothing";
        const std::vector<std::pair<Kind, std::int64_t>> expected = {
            {Kind::jobCreated, 8814},           {Kind::jobCreated, 8815},
            {Kind::jobCancelled, 12},           {Kind::jobCancelled, 13},
            {Kind::printersRescanRequested, 0}, {Kind::reconnectRequested, 2500},
            {Kind::reconnectRequested, 0},      {Kind::printersRescanRequested, 0},
        };
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const auto& event = events[i + 1];
            EXPECT_EQ(event.kind, expected[i].first) << i;
            const auto value = event.kind == Kind::reconnectRequested ? event.afterMilliseconds : event.jobId;
            EXPECT_EQ(value, expected[i].second) << i;
        }
    });
    EXPECT_EQ(linesWithoutConnecting().size(), 2u) << "ignored job events log nothing";
}

TEST_F(ReverbClientFramesTest, ProtocolFramesAndOddTextKeepTheConnectionUp) {
    connect();
    const std::string longJunk = std::string(300, 'z');
    push({
        R"({"event":"pusher:ping","data":{}})",
        R"({"event":"pusher:pong","data":{}})",
        R"({"event":"pusher:error"})",
        R"({"event":"pusher:error","data":{"message":"Over quota\nsoon","code":4004}})",
        R"({"event":"client-thing","data":{}})",
        "not json at all",
        R"(["event","x"])",
        R"({"event":5})",
        longJunk,
        // Markup that starts after the first 200 characters is not taken for a web page.
        std::string(200, ' ') + "<html>",
        R"({"event":"printers.rescan"})",
    });
    ASSERT_TRUE(waitFor([this] { return events.size() == 2; }));
    onLoop([this] {
        const auto& sent = connector->last()->sent;
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[1], R"({"event":"pusher:pong","data":{}})") << "one pong per ping";
        EXPECT_FALSE(connector->last()->isClosed());
    });
    auto lines = linesWithoutConnecting();
    lines.erase(lines.begin(), lines.begin() + 2);
    EXPECT_EQ(lines,
              (std::vector<std::string>{
                  "[ERROR] Reverb error: unknown",
                  "[ERROR] Reverb error: Over quota soon",
                  "[DEBUG] Unhandled Reverb event: client-thing",
                  "[DEBUG] Ignoring unparseable frame: not json at all",
                  "[DEBUG] Ignoring unparseable frame: [\"event\",\"x\"]",
                  "[DEBUG] Ignoring unparseable frame: {\"event\":5}",
                  "[DEBUG] Ignoring unparseable frame: " + std::string(160, 'z') + "\xE2\x80\xA6 (300 chars)",
                  "[DEBUG] Ignoring unparseable frame: <html>",
              }));
    EXPECT_EQ(socketCount(), 1u);
}

TEST_F(ReverbClientFramesTest, AnHtmlPageEndsTheAttemptWhateverItsCase) {
    connect();
    push({"  <!DOCTYPE HTML>\n<Html><body>It works</body></Html>"});
    ASSERT_TRUE(waitFor([this] { return eventsOnLoop(Kind::disconnected) == 1; }));
    onLoop([this] {
        EXPECT_EQ(events[1].reason,
                  "HTTP -1: Expected a WebSocket at 127.0.0.1:8080 but got an HTML page. Is Reverb "
                  "running, and is something else using that port?");
    });
    ASSERT_TRUE(waitFor([this] { return eventsOnLoop(Kind::connected) == 2; }))
        << "and the client reconnects";
}

} // namespace
} // namespace varnel::testing
