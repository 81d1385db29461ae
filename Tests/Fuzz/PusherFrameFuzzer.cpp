// The real-time client's frames. The readers of "data" and the log summary on any bytes: the text
// as a frame, as the string a server may wrap the data in, and as a number written as a string.
// Then the same bytes as a frame through one long-lived client on fake sockets: whatever arrives,
// the client keeps running with a socket open, and the events it raises match the frame.
#include "../VarnelKit/Agent/FakeWebSocketConnector.hpp"
#include "FuzzCheck.hpp"
#include "VarnelKit/Agent/ReverbClient.hpp"
#include "VarnelKit/Support/Characters.hpp"
#include "VarnelKit/Support/Text.hpp"

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <limits>
#include <vector>

using namespace varnel;
using fuzz::require;
using Kind = ReverbClient::Event::Kind;

namespace {

// Sign and decimal digits only, within 64 bits; nothing else is a number written as a string.
std::optional<std::int64_t> referenceInteger(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return std::nullopt;
    const __int128 limit =
        static_cast<__int128>(std::numeric_limits<std::int64_t>::max()) + (negative ? 1 : 0);
    __int128 magnitude = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > limit)
            return std::nullopt;
    }
    return static_cast<std::int64_t>(negative ? -magnitude : magnitude);
}

std::size_t characterCount(const std::string& text) {
    const Characters characters(text);
    std::size_t count = 0;
    for (std::size_t i = 0; i < characters.endIndex(); i = characters.indexAfter(i))
        ++count;
    return count;
}

void checkSummary(std::string_view text, std::size_t limit) {
    const std::string summary = ReverbClient::summarise(text, limit);
    require(Text::isValidUtf8(summary), "summary is valid UTF-8");
    require(summary.find_first_of("\r\n") == std::string::npos, "summary is one line");
    // The kept part is a piece of the cleaned text; the marker adds an ellipsis and a count.
    require(summary.size() <= Text::makeValidUtf8(text).size() + 32, "summary is no longer than the text");
    const std::size_t marker = summary.rfind("\xE2\x80\xA6 (");
    const bool cut = marker != std::string::npos && summary.ends_with(" chars)") &&
                     characterCount(summary.substr(0, marker)) == limit &&
                     referenceInteger(summary.substr(marker + 5, summary.size() - marker - 12)) >
                         static_cast<std::int64_t>(limit);
    if (!cut) {
        require(characterCount(summary) <= limit, "an uncut summary is within the limit");
        require(ReverbClient::summarise(summary, limit) == summary, "an uncut summary stays as it is");
    }
}

// How deep a value nests: a scalar is 0, an empty array or object 1.
std::size_t depthOf(const json::Value& value) {
    if (!value.is_structured())
        return 0;
    std::size_t deepest = 0;
    for (const auto& element : value)
        deepest = std::max(deepest, depthOf(element));
    return deepest + 1;
}

// Any JSON nlohmann reads, unless it nests deeper than the client's bound: what the client reads.
json::Value referenceParse(std::string_view text) {
    json::Value parsed = json::Value::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_discarded() && depthOf(parsed) > json::maxDepth)
        return json::Value(json::Value::value_t::discarded);
    return parsed;
}

void checkReaders(std::string_view text) {
    const std::string valid = Text::makeValidUtf8(text);

    // The bytes as a number written as a string.
    const json::Value wrapped = {{"n", valid}};
    require(ReverbClient::nestedInt(&wrapped, "n") == referenceInteger(valid),
            "integer strings read exactly");
    require(ReverbClient::nestedString(&wrapped, "n") == valid, "a string member reads as itself");
    require(!ReverbClient::nestedInt(&wrapped, "other"), "an absent member is no number");

    // The bytes as the string a server wraps "data" in: unwrapped once, and only into an object.
    const json::Value asString = valid;
    const auto unwrapped = ReverbClient::nestedObject(&asString);
    const json::Value parsed = referenceParse(valid);
    require(unwrapped.has_value() == (!parsed.is_discarded() && parsed.is_object()),
            "a string unwraps to an object");
    if (unwrapped)
        require(*unwrapped == parsed, "unwrapping parses the string");

    // The bytes as a frame.
    if (parsed.is_discarded() || !parsed.is_object())
        return;
    require(ReverbClient::nestedObject(&parsed) == parsed, "an object is its own data");
    const auto member = parsed.find("data");
    if (member == parsed.end())
        return;
    const auto data = ReverbClient::nestedObject(&*member);
    for (const char* key : {"job_id", "after_ms", "socket_id", "message"}) {
        const auto number = ReverbClient::nestedInt(&*member, key);
        const auto string = ReverbClient::nestedString(&*member, key);
        if (!data || !data->contains(key)) {
            require(!number && !string, "nothing is read from an absent member");
            continue;
        }
        const json::Value& field = data->at(key);
        require(string.has_value() == field.is_string(), "only strings read as strings");
        if (field.is_string()) {
            require(number == referenceInteger(*string), "integer strings in data read exactly");
        } else if (field.is_number_unsigned()) {
            const auto raw = field.get<std::uint64_t>();
            require(number.has_value() == (raw <= static_cast<std::uint64_t>(INT64_MAX)) &&
                        (!number || static_cast<std::uint64_t>(*number) == raw),
                    "unsigned integers read as themselves when they fit");
        } else if (field.is_number_integer()) {
            require(number == field.get<std::int64_t>(), "integers read as themselves");
        } else if (!field.is_number()) {
            require(!number, "only numbers and strings read as numbers");
        }
    }
}

// The channel signature the welcome frame asks for.
class ReplyingTransport final : public HttpTransport {
public:
    Awaitable<HttpResponse> send(HttpRequest) override {
        HttpResponse response;
        response.status = 200;
        response.body = R"({"auth":"app-key:signature"})";
        co_return response;
    }
    Awaitable<HttpResponseHead> download(HttpRequest, HttpDownloadSink) override {
        HttpResponseHead head;
        head.status = 404;
        co_return head;
    }
};

// One client for the whole run, as in the agent: frames arrive one after another on whatever
// state the earlier ones left. Never destroyed, so the exit does not tear coroutines down.
struct Channel {
    boost::asio::io_context loop;
    std::shared_ptr<testing::FakeWebSocketConnector> connector =
        std::make_shared<testing::FakeWebSocketConnector>(loop.get_executor());
    std::shared_ptr<ReverbClient> client;
    std::vector<ReverbClient::Event> events;

    Channel() {
        ReverbClient::Options options;
        options.connector = connector;
        // Neither the keepalive nor the back-off may wait on the clock between two inputs.
        options.keepaliveInterval = std::chrono::hours(24);
        options.silenceLimit = std::chrono::hours(48);
        options.backoffSleep = [](ReverbClient::Seconds) -> Awaitable<void> { co_return; };
        auto api = std::make_shared<VarnelAPIClient>(
            VarnelAPIClient::Configuration{Url("https://varnel.example"), "1.0.4"}, "token",
            std::make_shared<ReplyingTransport>());
        client = ReverbClient::make(loop.get_executor(), ReverbSettings{"app-key", "127.0.0.1", 8080, "http"},
                                    7, std::move(api), nullptr, std::move(options));
        client->onEvent([this](ReverbClient::Event event) -> Awaitable<void> {
            events.push_back(std::move(event));
            co_return;
        });
        client->start();
        settle();
    }

    // Runs everything the last frame set going; only the far-off keepalive timer stays pending.
    void settle() {
        loop.restart();
        while (loop.poll() > 0) {
        }
        // Closed sockets of earlier attempts are kept only by the connector's list.
        auto& sockets = connector->sockets;
        if (sockets.size() > 1)
            sockets.erase(sockets.begin(), sockets.end() - 1);
    }

    std::size_t count(Kind kind) const {
        std::size_t n = 0;
        for (const auto& event : events)
            n += event.kind == kind ? 1 : 0;
        return n;
    }
};

void checkClient(std::string_view text) {
    static Channel* const channel = new Channel();
    auto socket = channel->connector->last();
    require(socket && socket->opened && !socket->isClosed(), "a socket is open between frames");
    channel->events.clear();
    socket->sent.clear();

    socket->pushText(std::string(text));
    channel->settle();

    require(channel->client->isRunning(), "no frame stops the client");
    const auto now = channel->connector->last();
    require(now && now->opened && !now->isClosed(), "the client reconnects after a bad frame");

    if (now != socket) {
        // The attempt that ended, its keepalive included, must let go of its socket.
        const std::weak_ptr<testing::FakeWebSocket> dropped = socket;
        socket.reset();
        require(dropped.expired(), "a closed socket is released");
    }

    const json::Value frame = referenceParse(text);
    const auto event = frame.is_object() ? frame.find("event") : frame.end();
    if (frame.is_discarded() || !frame.is_object() || event == frame.end() || !event->is_string())
        return;
    if (!socket)
        return; // An HTML page or a welcome without an id: dropped, nothing else happened.
    const auto& name = event->get_ref<const std::string&>();
    const auto member = frame.find("data");
    const json::Value* data = member == frame.end() ? nullptr : &*member;
    const auto jobId = ReverbClient::nestedInt(data, "job_id");

    const auto expectJob = [&](Kind kind, const char* property) {
        require(channel->count(kind) == (jobId ? 1u : 0u), property);
        if (jobId)
            require(channel->events.front().jobId == *jobId, property);
    };
    if (name == "job.created") {
        expectJob(Kind::jobCreated, "job.created raises its job");
    } else if (name == "job.cancelled") {
        expectJob(Kind::jobCancelled, "job.cancelled raises its job");
    } else if (name == "device.reconnect") {
        require(channel->events.size() == 1 && channel->events.front().kind == Kind::reconnectRequested &&
                    channel->events.front().afterMilliseconds ==
                        ReverbClient::nestedInt(data, "after_ms").value_or(0),
                "device.reconnect raises its delay");
    } else if (name == "pusher:ping") {
        require(socket->sent.size() == 1 && socket->sent.back().find("pusher:pong") != std::string::npos,
                "a ping is answered");
    } else if (name == "pusher:connection_established") {
        require(socket->sent.size() == 1 && socket->sent.back().find("pusher:subscribe") != std::string::npos,
                "a welcome is answered with a subscription");
    } else {
        require(channel->count(Kind::jobCreated) == 0 && channel->count(Kind::jobCancelled) == 0,
                "only job frames raise jobs");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::textOf(data, size);
    checkSummary(text, size == 0 ? 0 : data[0] % 64);
    checkSummary(text, 160);
    checkReaders(text);
    // A larger frame is read on the loop's pool, which this single-threaded loop does not wait for.
    if (size <= json::parseOnLoopLimit)
        checkClient(text);
    return 0;
}
