#pragma once

#include "VarnelKit/Platform/HttpTransport.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/Support/Task.hpp"
#include "VarnelKit/Support/TransportError.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace varnel::testing {

// Answers each request by its route, "METHOD /path" (no query), from a script of its own, and keeps
// every request it was sent. A route without a script gets the fallback reply, 404 unless set. As
// the real transport does, a request of a task that is already cancelled sends nothing (it is not
// recorded) and ends with OperationCancelled, and so does a request held open (see hold) when its
// task is cancelled. Scripted on any thread; its requests run on the agent loop.
class ScriptedHttpTransport final : public HttpTransport {
public:
    struct Reply {
        int status = 200;
        std::string body = "{}";
    };
    using Outcome = std::variant<Reply, std::exception_ptr>;

    struct Recorded {
        std::string method;
        std::string path;
        std::optional<std::string> body;
    };

    // Keeps the requests of a route waiting, once recorded, until it is opened.
    class Gate {
    public:
        void open() {
            std::lock_guard lock(mutex_);
            open_ = true;
            for (auto& timer : waiting_) {
                boost::asio::post(timer->get_executor(), [timer] { timer->cancel(); });
            }
            waiting_.clear();
        }
        bool isOpen() const {
            std::lock_guard lock(mutex_);
            return open_;
        }
        // How many waits have reached the gate, held or not.
        std::size_t arrivals() const {
            std::lock_guard lock(mutex_);
            return arrivals_;
        }
        bool waitForArrivals(std::size_t wanted,
                             std::chrono::steady_clock::duration limit = std::chrono::seconds(5)) const {
            const auto deadline = std::chrono::steady_clock::now() + limit;
            while (arrivals() < wanted) {
                if (std::chrono::steady_clock::now() > deadline) return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            return true;
        }

        // True once opened; false when the waiting task was cancelled first.
        Awaitable<bool> pass() {
            auto timer = std::make_shared<boost::asio::steady_timer>(co_await boost::asio::this_coro::executor,
                                                                     std::chrono::steady_clock::time_point::max());
            {
                std::lock_guard lock(mutex_);
                ++arrivals_;
                if (open_) co_return true;
                waiting_.push_back(timer);
            }
            (void)co_await timer->async_wait(boost::asio::as_tuple(boost::asio::use_awaitable));
            co_return isOpen();
        }

    private:
        mutable std::mutex mutex_;
        bool open_ = false;
        std::size_t arrivals_ = 0;
        std::vector<std::shared_ptr<boost::asio::steady_timer>> waiting_;
    };

    // Each request to the route takes the next outcome; the last one then repeats.
    void script(const std::string& route, std::vector<Outcome> outcomes) {
        std::lock_guard lock(mutex_);
        auto& queue = scripts_[route];
        queue.insert(queue.end(), outcomes.begin(), outcomes.end());
    }
    void reply(const std::string& route, int status, std::string body = "{}") {
        script(route, {Reply{status, std::move(body)}});
    }
    void fail(const std::string& route, std::exception_ptr error) { script(route, {std::move(error)}); }
    static std::exception_ptr unreachable() {
        return std::make_exception_ptr(TransportError(TransportError::Code::cannotConnect));
    }

    void setFallback(Reply reply) {
        std::lock_guard lock(mutex_);
        fallback_ = std::move(reply);
    }

    // Holds every later request of the route until the gate opens.
    std::shared_ptr<Gate> hold(const std::string& route) {
        std::lock_guard lock(mutex_);
        auto gate = std::make_shared<Gate>();
        gates_[route] = gate;
        return gate;
    }

    std::vector<Recorded> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    std::vector<Recorded> requests(const std::string& route) const {
        std::lock_guard lock(mutex_);
        std::vector<Recorded> out;
        for (const auto& request : requests_) {
            if (request.method + " " + request.path == route) out.push_back(request);
        }
        return out;
    }
    std::size_t count(const std::string& route) const { return requests(route).size(); }

    // For a test thread: waits until the route has seen `count` requests; false when time ran out.
    bool waitForCount(const std::string& route, std::size_t wanted,
                      std::chrono::steady_clock::duration limit = std::chrono::seconds(5)) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (count(route) < wanted) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    static std::string pathOf(const std::string& url) {
        const auto scheme = url.find("://");
        const auto start = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
        if (start == std::string::npos) return "/";
        const auto end = url.find('?', start);
        return url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }

    Awaitable<HttpResponse> send(HttpRequest request) override {
        const bool cancelled = co_await isCancelled();
        if (cancelled) throw OperationCancelled();
        const auto path = pathOf(request.url);
        const auto route = request.method + " " + path;
        Outcome outcome;
        std::shared_ptr<Gate> gate;
        {
            std::lock_guard lock(mutex_);
            outcome = fallback_;
            requests_.push_back({request.method, path, request.body});
            if (auto found = gates_.find(route); found != gates_.end()) gate = found->second;
            if (auto found = scripts_.find(route); found != scripts_.end() && !found->second.empty()) {
                outcome = found->second.front();
                if (found->second.size() > 1) found->second.pop_front();
            }
        }
        if (gate) {
            const bool passed = co_await gate->pass();
            if (!passed) throw OperationCancelled();
        }
        if (const auto* error = std::get_if<std::exception_ptr>(&outcome)) std::rethrow_exception(*error);
        const auto& reply = std::get<Reply>(outcome);
        co_return HttpResponse{reply.status, {}, reply.body};
    }

    Awaitable<HttpResponseHead> download(HttpRequest, HttpDownloadSink) override {
        throw TransportError(TransportError::Code::other);
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::deque<Outcome>> scripts_;
    std::map<std::string, std::shared_ptr<Gate>> gates_;
    Reply fallback_{404, "{}"};
    std::vector<Recorded> requests_;
};

} // namespace varnel::testing
