// What ReverbClient does with each frame of the Pusher protocol, and the frames it sends back.
#include "VarnelKit/Agent/ReverbClient.hpp"
#include "VarnelKit/Support/Blocking.hpp"
#include "VarnelKit/Support/Characters.hpp"
#include "VarnelKit/Support/HeapMemory.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/Support/Text.hpp"

#include <cmath>

namespace varnel {

using APIError = VarnelAPIClient::APIError;

namespace {

constexpr std::size_t summaryLimit = 160;
constexpr std::size_t htmlCheckLength = 200;

json::Ordered emptyDataFrame(const char* event) {
    json::Ordered frame = json::Ordered::object();
    frame["event"] = event;
    frame["data"] = json::Ordered::object();
    return frame;
}

// The byte offset after the first `count` characters, or none when the text has no more than that.
std::optional<std::size_t> offsetAfterCharacters(const Characters& characters, std::size_t count) {
    std::size_t index = 0;
    for (std::size_t seen = 0; seen < count; ++seen) {
        if (index >= characters.endIndex())
            return std::nullopt;
        index = characters.indexAfter(index);
    }
    if (index >= characters.endIndex())
        return std::nullopt;
    return index;
}

std::size_t characterCount(const Characters& characters) {
    std::size_t count = 0;
    for (std::size_t index = 0; index < characters.endIndex(); index = characters.indexAfter(index))
        ++count;
    return count;
}

} // namespace

bool ReverbClient::isAcknowledgement(std::string_view eventName) {
    return eventName == "pusher:pong";
}

// MARK: Frames in

bool ReverbClient::looksLikeHtml(std::string_view text) {
    // Every frame passes here; one without a '<' cannot hold either tag, whatever its case.
    if (text.find('<') == std::string_view::npos)
        return false;
    const Characters characters(text);
    const auto cut = offsetAfterCharacters(characters, htmlCheckLength);
    const auto head =
        Text::lowercased(std::string_view(characters.text()).substr(0, cut.value_or(std::string::npos)));
    return head.find("<!doctype html") != std::string::npos || head.find("<html") != std::string::npos;
}

std::string ReverbClient::htmlPageMessage() const {
    return "Expected a WebSocket at " + settings_.host + ":" + NumberText::integer(settings_.port) +
           " but got an HTML page. Is Reverb running, and is something else using that port?";
}

ReverbClient::Frame ReverbClient::readFrame(std::string text) {
    Frame frame;
    if (looksLikeHtml(text)) {
        frame.isHtml = true;
        return frame;
    }
    std::optional<json::Value> envelope;
    std::string why;
    try {
        envelope = json::parse(text);
    } catch (const json::BeyondBounds& error) {
        why = " (" + error.description() + ")";
    } catch (const json::DecodeError&) {
        // Not JSON (or too large for the memory): said below with the frame's beginning.
    }
    if (envelope && envelope->is_object()) {
        const auto found = envelope->find("event");
        if (found != envelope->end() && found->is_string())
            frame.event = std::move(found->get_ref<std::string&>());
    }
    if (!frame.event) {
        frame.ignored = "Ignoring unparseable frame" + why + ": " + summarise(text, summaryLimit);
        return frame;
    }
    const auto data = envelope->find("data");
    if (data == envelope->end())
        return frame;
    if (data->is_object()) {
        frame.data = std::move(*data);
    } else {
        std::string beyondBounds;
        frame.data = nestedObject(&*data, &beyondBounds);
        if (!beyondBounds.empty())
            frame.ignored =
                "Ignoring the data of " + summarise(*frame.event, summaryLimit) + " (" + beyondBounds + ")";
    }
    return frame;
}

Awaitable<ReverbClient::Frame> ReverbClient::readFrameOffLoopIfLarge(std::string text) {
    if (text.size() <= json::parseOnLoopLimit)
        co_return readFrame(std::move(text));
    const std::size_t size = text.size();
    auto read = [text = std::move(text)]() mutable { return readFrame(std::move(text)); };
    co_return co_await runBlockingCancellable(HeapMemory::thenReturnFreedMemory(size, std::move(read)));
}

Awaitable<void> ReverbClient::handle(Frame frame, std::shared_ptr<WebSocket> socket) {
    if (frame.isHtml)
        throw APIError::http(-1, htmlPageMessage());
    if (!frame.ignored.empty())
        logger_->debug(frame.ignored);
    if (!frame.event)
        co_return;
    const std::string& name = *frame.event;
    const json::Value* data = frame.data ? &*frame.data : nullptr;

    if (name == "pusher:connection_established") {
        co_await handleConnectionEstablished(data, std::move(socket));
    } else if (name == "pusher:ping") {
        co_await send(emptyDataFrame("pusher:pong"), std::move(socket));
    } else if (isAcknowledgement(name)) {
        // The server's answer to our keepalive ping: the frame itself already counted as traffic.
    } else if (name == "pusher:error") {
        const auto message = memberString(data, "message");
        logger_->error("Reverb error: " + summarise(message.value_or("unknown"), summaryLimit));
    } else if (name == "pusher_internal:subscription_succeeded") {
        logger_->info("Subscribed to " + channelName());
        // The channel is live again: a later outage is a new one, logged and backed off from the
        // start, rather than inheriting the count of every failure since the agent started.
        if (reconnectAttempt_ > 0) {
            logger_->info("Live connection to Varnel restored.");
            reconnectAttempt_ = 0;
        }
        co_await raise(Event::connected());
    } else if (name == "job.created") {
        if (const auto id = memberInt(data, "job_id"))
            co_await raise(Event::jobCreated(*id));
    } else if (name == "job.cancelled") {
        if (const auto id = memberInt(data, "job_id"))
            co_await raise(Event::jobCancelled(*id));
    } else if (name == "printers.rescan") {
        co_await raise(Event::printersRescanRequested());
    } else if (name == "device.reconnect") {
        co_await raise(Event::reconnectRequested(memberInt(data, "after_ms").value_or(0)));
    } else {
        logger_->debug("Unhandled Reverb event: " + name);
    }
}

Awaitable<void> ReverbClient::handleConnectionEstablished(const json::Value* data,
                                                          std::shared_ptr<WebSocket> socket) {
    const auto socketId = memberString(data, "socket_id");
    if (!socketId)
        throw APIError::decoding("connection_established without socket_id");
    socketId_ = *socketId;
    logger_->debug("Reverb socket id " + *socketId);

    const std::string channel = channelName();
    const std::string auth = co_await api_->authorizeChannel(*socketId, channel);
    json::Ordered subscribe = json::Ordered::object();
    subscribe["event"] = "pusher:subscribe";
    subscribe["data"] = json::Ordered::object();
    subscribe["data"]["channel"] = channel;
    subscribe["data"]["auth"] = auth;
    co_await send(std::move(subscribe), std::move(socket));
}

Awaitable<void> ReverbClient::raise(Event event) {
    if (!handler_)
        co_return;
    // A copy: the handler may replace itself (or the client's owner may) while it runs.
    const Handler handler = handler_;
    try {
        auto call = handler(std::move(event));
        co_await std::move(call);
    } catch (...) {
        if (isCancellation(std::current_exception()))
            throw;
        // The handler's faults are its own: they must not tear down a healthy channel.
        logger_->debug("Reverb event handler failed: " + describeException(std::current_exception()));
    }
}

// MARK: Frames out

Awaitable<void> ReverbClient::send(json::Ordered payload, std::shared_ptr<WebSocket> socket) {
    // Only on the socket the frame came from, and only while it is still the client's: after a
    // stop, or once a newer attempt has its own socket, a late reply is dropped.
    if (!socket_ || socket_ != socket)
        co_return;
    std::string text = json::dump(payload);
    co_await socket->sendText(std::move(text));
}

// MARK: Reading "data"

std::optional<json::Value> ReverbClient::nestedObject(const json::Value* value, std::string* beyondBounds) {
    if (!value)
        return std::nullopt;
    if (value->is_object())
        return *value;
    if (!value->is_string())
        return std::nullopt;
    // Unwrapped once only: a string holding a JSON string is not looked into again.
    try {
        json::Value parsed = json::parse(value->get_ref<const std::string&>());
        if (parsed.is_object())
            return parsed;
    } catch (const json::BeyondBounds& error) {
        if (beyondBounds)
            *beyondBounds = error.description();
    } catch (const json::DecodeError&) {
    }
    return std::nullopt;
}

std::optional<std::string> ReverbClient::nestedString(const json::Value* value, std::string_view key) {
    const auto object = nestedObject(value);
    return object ? memberString(&*object, key) : std::nullopt;
}

std::optional<std::int64_t> ReverbClient::nestedInt(const json::Value* value, std::string_view key) {
    const auto object = nestedObject(value);
    return object ? memberInt(&*object, key) : std::nullopt;
}

std::optional<std::string> ReverbClient::memberString(const json::Value* object, std::string_view key) {
    if (!object || !object->is_object())
        return std::nullopt;
    const auto member = object->find(key);
    if (member == object->end() || !member->is_string())
        return std::nullopt;
    return member->get<std::string>();
}

std::optional<std::int64_t> ReverbClient::memberInt(const json::Value* object, std::string_view key) {
    if (!object || !object->is_object())
        return std::nullopt;
    const auto member = object->find(key);
    if (member == object->end())
        return std::nullopt;
    if (member->is_number_unsigned()) {
        const auto raw = member->get<std::uint64_t>();
        if (raw > static_cast<std::uint64_t>(INT64_MAX))
            return std::nullopt;
        return static_cast<std::int64_t>(raw);
    }
    if (member->is_number_integer())
        return member->get<std::int64_t>();
    if (member->is_string())
        return NumberText::parseInteger(member->get_ref<const std::string&>());
    if (member->is_number_float()) {
        const double raw = member->get<double>();
        // Converting a double outside the 64-bit range is undefined, so the range is checked on
        // the double first: [-2^63, 2^63) holds exactly the values that fit once truncated.
        constexpr double limit = 9223372036854775808.0;
        if (!std::isfinite(raw) || raw >= limit || raw < -limit)
            return std::nullopt;
        return static_cast<std::int64_t>(std::trunc(raw));
    }
    return std::nullopt;
}

// MARK: Summaries

std::string ReverbClient::summarise(std::string_view text, std::size_t limit) {
    std::string flat = Text::makeValidUtf8(text);
    for (char& c : flat) {
        if (c == '\n')
            c = ' ';
    }
    for (char& c : flat) {
        if (c == '\r')
            c = ' ';
    }
    auto scalars = Text::codePoints(flat).value_or(std::u32string());
    const auto isBlank = [](char32_t c) { return c == U'\t' || Text::isSpaceSeparator(c); };
    std::size_t first = 0;
    std::size_t last = scalars.size();
    while (first < last && isBlank(scalars[first]))
        ++first;
    while (last > first && isBlank(scalars[last - 1]))
        --last;
    const Characters characters(
        Text::fromCodePoints(std::u32string_view(scalars).substr(first, last - first)));

    const auto cut = offsetAfterCharacters(characters, limit);
    if (!cut)
        return characters.text();
    return characters.text().substr(0, *cut) + "\xE2\x80\xA6 (" +
           NumberText::integer(static_cast<std::int64_t>(characterCount(characters))) + " chars)";
}

} // namespace varnel
