#include "VarnelKit/Platform/ServiceResolving.hpp"
#include "VarnelKit/Support/AsyncEvent.hpp"
#include "VarnelKit/Support/Blocking.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/Support/ResumeOnce.hpp"
#include "VarnelKit/Support/Timeout.hpp"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/thread-watch.h>
#include <boost/asio/this_coro.hpp>
#include <mutex>
#include <optional>
#include <stdexcept>

namespace varnel {

namespace asio = boost::asio;

namespace {

// One attempt: an Avahi client and resolver on a poll thread of their own. The first outcome,
// from the daemon or from the deadline, claims the gate; later ones are dropped.
class Attempt : public std::enable_shared_from_this<Attempt> {
public:
    explicit Attempt(const Executor& executor) : mailbox_(executor), answered_(executor) {}

    ~Attempt() { stop(); }

    AsyncEvent& answered() noexcept { return answered_; }

    // Blocking: talks to the daemon over D-Bus.
    bool start(const std::string& serviceName, const std::string& type) {
        poll_ = avahi_threaded_poll_new();
        if (!poll_) return false;
        int error = 0;
        client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AvahiClientFlags(0), &Attempt::clientChanged, this,
                                   &error);
        if (!client_) return false;
        resolver_ =
            avahi_service_resolver_new(client_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, serviceName.c_str(), type.c_str(),
                                       "local", AVAHI_PROTO_UNSPEC, AvahiLookupFlags(0), &Attempt::resolved, this);
        if (!resolver_) return false;
        return avahi_threaded_poll_start(poll_) == 0;
    }

    // Blocking: joins the poll thread, after which no callback can come, and frees everything.
    void stop() {
        if (poll_) avahi_threaded_poll_stop(poll_);
        if (resolver_) avahi_service_resolver_free(resolver_);
        if (client_) avahi_client_free(client_);
        if (poll_) avahi_threaded_poll_free(poll_);
        resolver_ = nullptr;
        client_ = nullptr;
        poll_ = nullptr;
    }

    std::optional<bool> outcome() {
        std::lock_guard guard(lock_);
        return outcome_;
    }

    // The outcome once the wait is over: what the daemon said, else false.
    bool conclude() {
        std::lock_guard guard(lock_);
        if (gate_.claim()) outcome_ = false;
        return *outcome_;
    }

private:
    void deliver(bool found) {
        {
            std::lock_guard guard(lock_);
            if (!gate_.claim()) return;
            outcome_ = found;
        }
        // Wakes the waiting coroutine; a wait that has not begun yet then ends at once. Through the
        // mailbox, since this is the poll thread and the loop may be going away (a quit during the
        // lookup); the attempt is only looked up there, so a dropped wake-up frees nothing here.
        mailbox_.post([attempt = weak_from_this()] {
            if (const auto self = attempt.lock())
                self->answered_.set();
        });
    }

    static void clientChanged(AvahiClient*, AvahiClientState state, void* context) {
        if (state == AVAHI_CLIENT_FAILURE) static_cast<Attempt*>(context)->deliver(false);
    }

    static void resolved(AvahiServiceResolver*, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event, const char*,
                         const char*, const char*, const char*, const AvahiAddress*, uint16_t, AvahiStringList*,
                         AvahiLookupResultFlags, void* context) {
        static_cast<Attempt*>(context)->deliver(event == AVAHI_RESOLVER_FOUND);
    }

    LoopMailbox mailbox_;
    AsyncEvent answered_;
    std::mutex lock_;
    ResumeOnce gate_;
    std::optional<bool> outcome_;
    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;
    AvahiServiceResolver* resolver_ = nullptr;
};

Awaitable<void> waitForAnswer(std::shared_ptr<Attempt> attempt) {
    (void)co_await attempt->answered().wait();
}

// Avahi names types without the trailing dot of DNS-SD's fully qualified form.
std::string avahiType(std::string type) {
    if (!type.empty() && type.back() == '.') type.pop_back();
    return type;
}

class AvahiServiceResolver final : public ServiceResolving {
public:
    Awaitable<bool> resolve(std::string serviceName, std::string type,
                            std::chrono::steady_clock::duration timeout) override {
        if (co_await isCancelled())
            throw OperationCancelled();
        auto attempt = std::make_shared<Attempt>(co_await asio::this_coro::executor);
        // Work for runBlocking is named first: g++ 12 destroys a lambda temporary of a co_await twice.
        auto start = [attempt, serviceName, type = avahiType(type)] { return attempt->start(serviceName, type); };
        const bool started = co_await runBlocking(std::move(start));
        std::exception_ptr cancelled;
        if (started && !attempt->outcome()) {
            // Woken by the daemon's answer, or ended by the deadline or the caller's cancellation.
            std::function<std::exception_ptr()> expired = [] {
                return std::make_exception_ptr(std::runtime_error("no answer from the daemon in time"));
            };
            try {
                co_await withTimeout<void>(timeout + std::chrono::milliseconds(500), waitForAnswer(attempt),
                                           std::move(expired));
            } catch (const OperationCancelled&) {
                cancelled = std::current_exception();
            } catch (...) {
            }
        }
        const bool found = attempt->conclude();
        // Even for a cancelled caller: runBlocking still makes the call, and the poll thread must be
        // gone before the attempt is.
        auto stop = [attempt] { attempt->stop(); };
        co_await runBlocking(std::move(stop));
        if (cancelled)
            std::rethrow_exception(cancelled);
        co_return found;
    }
};

} // namespace

std::shared_ptr<ServiceResolving> systemServiceResolver() {
    static const auto resolver = std::make_shared<AvahiServiceResolver>();
    return resolver;
}

} // namespace varnel
