#include "Bench/RawTestPrinter.hpp"

#include "Bench/RecordedState.hpp"
#include "Bench/RunOnThread.hpp"

#include <array>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace varnel::testing {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

std::size_t RawTestPrinter::Snapshot::probes() const {
    std::size_t count = 0;
    for (const auto& connection : connections) {
        if (connection.isProbe())
            ++count;
    }
    return count;
}

std::vector<RawTestPrinter::Connection> RawTestPrinter::Snapshot::jobs() const {
    std::vector<Connection> jobs;
    for (const auto& connection : connections) {
        if (!connection.bytes.empty())
            jobs.push_back(connection);
    }
    return jobs;
}

std::size_t RawTestPrinter::Snapshot::bytesReceived() const {
    std::size_t count = 0;
    for (const auto& connection : connections)
        count += connection.bytes.size();
    return count;
}

namespace {

// One accepted connection, as the printer's thread sees it.
struct Link {
    Link(tcp::socket socket, std::size_t index)
        : socket(std::move(socket)), resumeTimer(this->socket.get_executor()), index(index) {}
    tcp::socket socket;
    asio::steady_timer resumeTimer;
    std::size_t index;
    bool resumed = false;
};

} // namespace

// The recorded state's mutex also guards the mode and the limit.
struct RawTestPrinter::State : RecordedState<RawTestPrinter::Snapshot> {
    Mode mode = Mode::accept;
    std::size_t limit = 0;

    // Declared after what the connections use, so that the connections the context destroys with
    // it never outlive those members.
    asio::io_context context;
    tcp::acceptor acceptor{context};
    unsigned short port = 0;
    // Keeps the thread running while nothing listens (in a restart, or while refusing).
    asio::executor_work_guard<asio::io_context::executor_type> keepRunning{context.get_executor()};

    // Touched on the printer's thread only.
    std::map<std::size_t, std::weak_ptr<Link>> links;

    std::thread thread;

    void listen() {
        const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
        acceptor.open(endpoint.protocol());
        acceptor.set_option(tcp::acceptor::reuse_address(true));
        // Inherited by accepted sockets; set before listen() so that the window is small from the
        // first segment on and autotuning stays off.
        acceptor.set_option(asio::socket_base::receive_buffer_size(receiveBufferSize));
        acceptor.bind(endpoint);
        acceptor.listen();
        port = acceptor.local_endpoint().port();
    }
};

namespace {

using State = RawTestPrinter::State;
using Snapshot = RawTestPrinter::Snapshot;
using Mode = RawTestPrinter::Mode;

enum class ReadEnd { limitReached, endedCleanly, failed };

// Reads until the peer ends the connection or `limit` bytes have come in all.
asio::awaitable<ReadEnd> readOn(State* state, Link& link, std::optional<std::size_t> limit) {
    std::array<char, 16384> buffer{};
    for (;;) {
        std::size_t want = buffer.size();
        if (limit) {
            std::size_t received = 0;
            {
                std::lock_guard lock(state->mutex);
                received = state->recorded.connections[link.index].bytes.size();
            }
            if (received >= *limit)
                co_return ReadEnd::limitReached;
            want = std::min(want, *limit - received);
        }
        auto [error, count] = co_await link.socket.async_read_some(asio::buffer(buffer.data(), want),
                                                                   asio::as_tuple(asio::use_awaitable));
        if (count > 0) {
            state->record([&](Snapshot& s) { s.connections[link.index].bytes.append(buffer.data(), count); });
        }
        if (error == asio::error::eof)
            co_return ReadEnd::endedCleanly;
        if (error)
            co_return ReadEnd::failed;
    }
}

asio::awaitable<void> serve(State* state, std::shared_ptr<Link> link, Mode mode, std::size_t limit) {
    const auto end = [&](bool clean, bool dropped) {
        const auto closedAt = RawTestPrinter::Clock::now();
        boost::system::error_code ignored;
        if (dropped)
            link->socket.set_option(asio::socket_base::linger(true, 0), ignored);
        link->socket.close(ignored);
        state->links.erase(link->index);
        state->record([&](Snapshot& s) {
            auto& connection = s.connections[link->index];
            connection.open = false;
            connection.closedAt = closedAt;
            connection.endedCleanly = clean;
            connection.dropped = dropped;
            connection.stalled = false;
        });
    };

    const bool limited = mode == Mode::stall || mode == Mode::drop;
    auto outcome = co_await readOn(state, *link, limited ? std::optional(limit) : std::nullopt);
    if (outcome == ReadEnd::limitReached && mode == Mode::drop) {
        end(false, true);
        co_return;
    }
    if (outcome == ReadEnd::limitReached) {
        state->record([&](Snapshot& s) { s.connections[link->index].stalled = true; });
        link->resumeTimer.expires_at(asio::steady_timer::time_point::max());
        co_await link->resumeTimer.async_wait(asio::as_tuple(asio::use_awaitable));
        if (!link->resumed || !link->socket.is_open()) {
            end(false, false);
            co_return;
        }
        state->record([&](Snapshot& s) { s.connections[link->index].stalled = false; });
        outcome = co_await readOn(state, *link, std::nullopt);
    }
    end(outcome == ReadEnd::endedCleanly, false);
}

asio::awaitable<void> acceptLoop(State* state) {
    try {
        for (;;) {
            tcp::socket socket = co_await state->acceptor.async_accept(asio::use_awaitable);
            const auto acceptedAt = RawTestPrinter::Clock::now();
            Mode mode = Mode::accept;
            std::size_t limit = 0;
            std::size_t index = 0;
            {
                std::lock_guard lock(state->mutex);
                mode = state->mode;
                limit = state->limit;
                index = state->recorded.connections.size();
                state->recorded.connections.emplace_back().acceptedAt = acceptedAt;
            }
            state->changed.notify_all();
            auto link = std::make_shared<Link>(std::move(socket), index);
            state->links.emplace(index, link);
            asio::co_spawn(state->context, serve(state, std::move(link), mode, limit), asio::detached);
        }
    } catch (const std::exception&) {
        // The acceptor was closed.
    }
}

} // namespace

RawTestPrinter::RawTestPrinter(Mode mode, std::size_t limit) : state_(std::make_shared<State>()) {
    state_->mode = mode;
    state_->limit = limit;
    state_->listen();
    if (mode == Mode::refuse) {
        // The port stays known, so the printer can come back on it.
        state_->acceptor.close();
    } else {
        asio::co_spawn(state_->context, acceptLoop(state_.get()), asio::detached);
    }
    state_->thread = std::thread([state = state_.get()] { state->context.run(); });
}

RawTestPrinter::~RawTestPrinter() {
    asio::post(state_->context, [state = state_.get()] {
        boost::system::error_code ignored;
        state->acceptor.close(ignored);
        for (const auto& [index, weak] : state->links) {
            if (const auto link = weak.lock())
                link->socket.close(ignored);
        }
        state->context.stop();
    });
    state_->thread.join();
}

unsigned short RawTestPrinter::port() const {
    return state_->port;
}

std::string RawTestPrinter::address() const {
    return "127.0.0.1:" + std::to_string(state_->port);
}

std::string RawTestPrinter::key() const {
    return "net:" + address();
}

void RawTestPrinter::setMode(Mode mode, std::size_t limit) {
    State* state = state_.get();
    runOnThread(state->context, [state, mode, limit] {
        Mode previous = Mode::accept;
        {
            std::lock_guard lock(state->mutex);
            previous = state->mode;
            state->mode = mode;
            state->limit = limit;
        }
        if (mode == Mode::refuse && previous != Mode::refuse) {
            boost::system::error_code ignored;
            state->acceptor.close(ignored);
        } else if (mode != Mode::refuse && previous == Mode::refuse) {
            state->listen();
            asio::co_spawn(state->context, acceptLoop(state), asio::detached);
        }
    });
}

RawTestPrinter::Mode RawTestPrinter::mode() const {
    std::lock_guard lock(state_->mutex);
    return state_->mode;
}

void RawTestPrinter::resume() {
    asio::post(state_->context, [state = state_.get()] {
        for (const auto& [index, weak] : state->links) {
            if (const auto link = weak.lock()) {
                link->resumed = true;
                link->resumeTimer.cancel();
            }
        }
    });
}

RawTestPrinter::Snapshot RawTestPrinter::snapshot() const {
    return state_->snapshot();
}

bool RawTestPrinter::waitFor(const std::function<bool(const Snapshot&)>& condition,
                             std::chrono::milliseconds limit) const {
    return state_->waitFor(condition, limit);
}

bool RawTestPrinter::waitForTheFirstJobToStall(std::chrono::milliseconds limit) const {
    return waitFor(
        [](const Snapshot& s) {
            const auto jobs = s.jobs();
            return !jobs.empty() && jobs.front().stalled;
        },
        limit);
}

std::string labelsOfAtLeast(std::size_t bytes) {
    std::string labels;
    labels.reserve(bytes + 64);
    for (int i = 0; labels.size() < bytes; ++i)
        labels += "^XA^FO20,20^FDLabel " + std::to_string(i) + "^FS^XZ\n";
    labels += "^XA^FDlast^FS^XZ";
    return labels;
}

} // namespace varnel::testing
