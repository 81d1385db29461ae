#include "VarnelKit/Transport/HostNameLookup.hpp"

#include "VarnelKit/Support/AsyncEvent.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/this_coro.hpp>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <optional>
#include <system_error>
#include <thread>

namespace varnel {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Answer = HostNameLookup::Answer;

namespace {

// The same codes the loop's resolver gave, so messages read as they always did.
boost::system::error_code lookupError(int status, int savedErrno) {
    switch (status) {
    case EAI_AGAIN:
        return asio::error::host_not_found_try_again;
    case EAI_BADFLAGS:
        return asio::error::invalid_argument;
    case EAI_FAIL:
        return asio::error::no_recovery;
    case EAI_FAMILY:
        return asio::error::address_family_not_supported;
    case EAI_MEMORY:
        return asio::error::no_memory;
    case EAI_NONAME:
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
        return asio::error::host_not_found;
    case EAI_SERVICE:
        return asio::error::service_not_found;
    case EAI_SOCKTYPE:
        return asio::error::socket_type_not_supported;
    default:
        return boost::system::error_code(savedErrno, boost::system::system_category());
    }
}

// Blocks for as long as the system's resolver takes; runs on the lookup's own thread.
Answer lookUpBlocking(const std::string& host, const std::string& service) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    errno = 0;
    const int status = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &list);
    Answer answer;
    if (status != 0) {
        answer.error = lookupError(status, errno);
        return answer;
    }
    for (const addrinfo* entry = list; entry; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
        tcp::endpoint endpoint;
        if (entry->ai_addrlen > endpoint.capacity()) continue;
        std::memcpy(endpoint.data(), entry->ai_addr, entry->ai_addrlen);
        endpoint.resize(entry->ai_addrlen);
        answer.endpoints.push_back(endpoint);
    }
    ::freeaddrinfo(list);
    if (answer.endpoints.empty()) answer.error = asio::error::host_not_found;
    return answer;
}

// Shared by the waiting coroutine and the lookup's thread, which may outlive the coroutine and the
// loop. The thread touches only `mutex`, `home` and `abandoned`; everything else belongs to the
// loop. `home` is reset when the waiter leaves, while the loop still exists: even an untracked copy
// of a strand's executor refers to the loop's strand service when it is destroyed.
struct PendingLookup {
    std::mutex mutex;
    std::optional<Executor> home;
    bool abandoned = false;

    // On the loop only.
    AsyncEvent* answered = nullptr;
    std::optional<Answer> answer;
};

void deliver(const std::shared_ptr<PendingLookup>& pending, Answer answer) {
    std::lock_guard lock(pending->mutex);
    if (pending->abandoned) return;
    asio::post(*pending->home, [pending, answer = std::move(answer)]() mutable {
        if (!pending->answered) return; // the waiter left after this was posted
        pending->answer = std::move(answer);
        pending->answered->set();
    });
}

} // namespace

Awaitable<Answer> HostNameLookup::resolve(std::string host, unsigned short port) {
    if (co_await isCancelled()) throw OperationCancelled();
    boost::system::error_code notNumeric;
    const auto address = asio::ip::make_address(host, notNumeric);
    if (!notNumeric) co_return Answer{{}, {tcp::endpoint(address, port)}};

    const auto executor = co_await asio::this_coro::executor;
    AsyncEvent answered(executor);
    auto pending = std::make_shared<PendingLookup>();
    pending->home.emplace(asio::prefer(executor, asio::execution::outstanding_work.untracked));
    pending->answered = &answered;

    // Runs however this coroutine ends, also when it is destroyed unresumed with its loop.
    struct Leave {
        PendingLookup& pending;
        ~Leave() {
            pending.answered = nullptr;
            std::lock_guard lock(pending.mutex);
            pending.abandoned = true;
            pending.home.reset();
        }
    } leave{*pending};

    try {
        std::thread([pending, host = std::move(host), service = NumberText::integer(port)] {
            deliver(pending, lookUpBlocking(host, service));
        }).detach();
    } catch (const std::system_error& error) {
        co_return Answer{boost::system::error_code(error.code().value(), boost::system::system_category()), {}};
    }

    if (!co_await answered.wait()) throw OperationCancelled();
    co_return std::move(*pending->answer);
}

} // namespace varnel
