#include "VarnelKit/Platform/CurlHttpTransport.hpp"

#include "VarnelKit/Support/AsyncEvent.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/Support/TransportError.hpp"

#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/this_coro.hpp>

#include <curl/curl.h>
#include <openssl/x509.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <map>
#include <thread>
#include <vector>

namespace varnel {

namespace asio = boost::asio;

namespace {

// Idle wait of the transfer thread when nothing is in flight; new work wakes it at once.
constexpr int idleWaitMs = 60 * 60 * 1000;
constexpr long maxRedirects = 5;

void initialiseCurlOnce() {
    static const bool done = [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        return true;
    }();
    (void)done;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const char c = text[i];
        const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != prefix[i]) return false;
    }
    return true;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n')) {
        text.remove_suffix(1);
    }
    return text;
}

} // namespace

// One request in flight. The caller's side fills it and waits; the transfer thread runs it and
// then wakes the caller on the caller's own executor.
struct CurlHttpTransport::Transfer : std::enable_shared_from_this<Transfer> {
    HttpRequest request;
    std::optional<HttpDownloadSink> sink;
    std::size_t bodyLimit; // for a reply held in memory; a sink takes any length
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    char errorText[CURL_ERROR_SIZE] = {};

    // Filled on the transfer thread.
    HttpHeaders headers; // of the latest reply head; interim and redirect heads are dropped
    std::string body;
    bool headDelivered = false;
    HttpResponseHead head;
    std::exception_ptr sinkError;
    CURLcode result = CURLE_OK;
    bool cancelled = false;
    bool redirectRefused = false;
    bool tooLarge = false;
    bool tooSlow = false;

    // The download's current period of its slowest rate: when it began and what had come by then.
    std::chrono::steady_clock::time_point periodStart;
    curl_off_t receivedAtPeriodStart = -1;

    std::atomic<bool> cancelRequested{false};

    // Touched on the caller's executor only: the caller waits on `wake` until `completed`.
    std::optional<AsyncEvent> wake;
    bool completed = false;

    // The caller's executor (untracked), for the transfer thread to post the end to. The caller
    // lets go of it, and of `wake`, when its coroutine ends, however it ends: the transfer may live
    // on in the transfer thread after the loop is gone, and even an untracked strand executor
    // refers to its loop when it is destroyed.
    std::mutex resumeMutex;
    std::optional<Executor> home;
    bool abandoned = false;

    Transfer(HttpRequest r, std::optional<HttpDownloadSink> s, std::size_t limit)
        : request(std::move(r)), sink(std::move(s)), bodyLimit(limit) {}
    ~Transfer() {
        if (easy) curl_easy_cleanup(easy);
        if (headerList) curl_slist_free_all(headerList);
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // The head of the final reply, read once the body starts or the transfer ends.
    void deliverHead() {
        if (headDelivered) return;
        headDelivered = true;
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        curl_off_t length = -1;
        curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        head.status = static_cast<int>(status);
        head.headers = headers;
        if (length >= 0) head.contentLength = static_cast<std::uint64_t>(length);
        if (sink && sink->head && !sinkError) {
            try {
                sink->head(head);
            } catch (...) {
                sinkError = std::current_exception();
            }
        }
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* context) {
        auto* self = static_cast<Transfer*>(context);
        const std::string_view line(data, size * count);
        if (line.starts_with("HTTP/")) {
            self->headers.clear();
        } else if (line == "\r\n" || line == "\n") {
            if (self->sink) {
                // The sink learns of the final head at once, so that it can refuse what the head
                // announces before any of the body comes.
                if (self->endsFinalHead()) self->deliverHead();
                if (self->sinkError) return 0;
            } else if (self->refusesAnnouncedBody()) {
                return 0;
            }
        } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
            self->headers.emplace_back(std::string(trimmed(line.substr(0, colon))),
                                       std::string(trimmed(line.substr(colon + 1))));
        }
        return size * count;
    }

    // At the end of a reply head: true when the reply announces a body above the limit. Interim
    // replies and redirects that will be followed carry no body for us and are let through.
    bool refusesAnnouncedBody() {
        if (sink || request.method == "HEAD") return false;
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        if (status < 200 || (status >= 300 && status < 400 && headerValue(headers, "Location"))) return false;
        const auto length = headerValue(headers, "Content-Length");
        if (!length) return false;
        std::uint64_t announced = 0;
        for (const char c : *length) {
            if (c < '0' || c > '9') return false; // curl itself refuses a malformed length
            if (announced > (std::numeric_limits<std::uint64_t>::max() - 9) / 10) {
                announced = std::numeric_limits<std::uint64_t>::max();
                break;
            }
            announced = announced * 10 + static_cast<std::uint64_t>(c - '0');
        }
        tooLarge = announced > bodyLimit;
        return tooLarge;
    }

    // At the end of a download's reply head: whether it is the final reply's, not an interim one or
    // a redirect that will be followed.
    bool endsFinalHead() const {
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        return status >= 200 && !(status >= 300 && status < 400 && headerValue(headers, "Location"));
    }

    // Called by curl now and then during a download, also while nothing arrives: ends the transfer
    // when a whole period of the slowest rate brought fewer bytes than it asks for.
    static int onProgress(void* context, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
        auto* self = static_cast<Transfer*>(context);
        const HttpSlowestRate& slowest = *self->request.slowestRate;
        const auto now = std::chrono::steady_clock::now();
        if (self->receivedAtPeriodStart >= 0 && received >= self->receivedAtPeriodStart) {
            if (now - self->periodStart < slowest.period) return 0;
            const auto expected = slowest.bytesPerSecond * static_cast<std::uint64_t>(slowest.period.count());
            if (static_cast<std::uint64_t>(received - self->receivedAtPeriodStart) < expected) {
                self->tooSlow = true;
                return 1;
            }
        }
        // The first call, a period that brought enough, or a count that a followed redirect began
        // afresh: a new period starts.
        self->periodStart = now;
        self->receivedAtPeriodStart = received;
        return 0;
    }

    static size_t onBody(char* data, size_t size, size_t count, void* context) {
        auto* self = static_cast<Transfer*>(context);
        const std::string_view piece(data, size * count);
        if (!self->sink) {
            // A reply without a length (chunked, or ended by closing) is checked as it arrives.
            if (piece.size() > self->bodyLimit - self->body.size()) {
                self->tooLarge = true;
                return 0;
            }
            self->body.append(piece);
            return piece.size();
        }
        self->deliverHead();
        if (self->sinkError) return 0;
        try {
            if (self->sink->chunk) self->sink->chunk(piece);
        } catch (...) {
            self->sinkError = std::current_exception();
            return 0;
        }
        return piece.size();
    }

    // Builds the easy handle. Fails only for a URL the transport cannot fetch.
    void prepare() {
        const bool secure = startsWithIgnoringCase(request.url, "https://");
        if (!secure && !startsWithIgnoringCase(request.url, "http://")) throw TransportError(TransportError::Code::badURL);

        easy = curl_easy_init();
        if (!easy) throw TransportError(TransportError::Code::other);
        curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        // A transfer that ends while its name is still being looked up (cancelled, timed out) must
        // not wait for the lookup: the resolver's thread is left to finish alone. Without this the
        // transfer thread, and so every other request, waits as long as the name server does.
        curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, maxRedirects);
        // Once on https, a redirect may not lead back to plain http.
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        if (const char* file = std::getenv(X509_get_default_cert_file_env()); file && *file) {
            curl_easy_setopt(easy, CURLOPT_CAINFO, file);
        }
        if (const char* dir = std::getenv(X509_get_default_cert_dir_env()); dir && *dir) {
            curl_easy_setopt(easy, CURLOPT_CAPATH, dir);
        }

        const long timeoutMs = std::max<long>(1, static_cast<long>(request.timeout.count()));
        if (sink) {
            // A download may take long; what must not happen is a long silence.
            curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
            curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
            curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, std::max<long>(1, (timeoutMs + 999) / 1000));
            // Nor a trickle that keeps every wait short.
            if (request.slowestRate && request.slowestRate->period.count() > 0) {
                curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
                curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
                curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
            }
        } else {
            curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, timeoutMs);
        }

        for (const auto& [name, value] : request.headers) {
            headerList = curl_slist_append(headerList, (name + ": " + value).c_str());
        }
        // No "Expect: 100-continue" round trip before a body, and no form content type made up
        // for a body whose type the caller did not name.
        headerList = curl_slist_append(headerList, "Expect:");
        if (request.body && !headerValue(request.headers, "Content-Type")) {
            headerList = curl_slist_append(headerList, "Content-Type:");
        }
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList);

        if (request.body) {
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body->size()));
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body->data());
            if (request.method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        } else if (request.method != "GET") {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        }

        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    }

    // Runs on the transfer thread when the transfer has ended, however it ended.
    void complete(CURLcode code, bool wasCancelled) {
        result = code;
        cancelled = wasCancelled;
        if (!cancelled && code == CURLE_OK) deliverHead();
        if (code == CURLE_UNSUPPORTED_PROTOCOL) {
            long status = 0;
            curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
            redirectRefused = status >= 300 && status < 400;
        }
        std::lock_guard lock(resumeMutex);
        if (abandoned) return;
        asio::post(*home, [self = shared_from_this()] {
            self->completed = true;
            if (self->wake) self->wake->set();
        });
    }

    // On the caller's executor when its coroutine ends, or while it is destroyed with its loop.
    void letGoOfCaller() {
        wake.reset();
        std::lock_guard lock(resumeMutex);
        abandoned = true;
        home.reset();
    }

    // The caller's view of the outcome, on the caller's executor.
    void rethrowFailure() const {
        using Code = TransportError::Code;
        if (cancelled) throw OperationCancelled();
        if (sinkError) std::rethrow_exception(sinkError);
        if (tooLarge) throw TransportError(Code::replyTooLarge);
        if (tooSlow) throw TransportError(Code::tooSlow);
        switch (result) {
        case CURLE_OK:
            return;
        case CURLE_COULDNT_CONNECT:
            throw TransportError(Code::cannotConnect);
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            throw TransportError(Code::cannotFindHost);
        case CURLE_OPERATION_TIMEDOUT:
            throw TransportError(Code::timedOut);
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_USE_SSL_FAILED:
            throw TransportError(Code::secureConnectionFailed);
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            throw TransportError(Code::connectionLost);
        case CURLE_TOO_MANY_REDIRECTS:
            throw TransportError(Code::tooManyRedirects);
        case CURLE_URL_MALFORMAT:
            throw TransportError(Code::badURL);
        case CURLE_UNSUPPORTED_PROTOCOL:
            if (redirectRefused) {
                throw TransportError(Code::secureConnectionFailed,
                                     "The server redirected this secure request to an insecure (http) address, "
                                     "which was refused.");
            }
            throw TransportError(Code::badURL);
        default:
            break;
        }
        throw TransportError(Code::other);
    }
};

// The thread that runs every transfer of one transport through a curl multi handle. It sleeps in
// curl_multi_poll and is woken by new work, cancellations and its own end.
class CurlHttpTransport::Worker {
public:
    Worker() {
        initialiseCurlOnce();
        multi_ = curl_multi_init();
        thread_ = std::thread([this] { run(); });
    }

    ~Worker() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        curl_multi_wakeup(multi_);
        thread_.join();
        curl_multi_cleanup(multi_);
    }

    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    void submit(std::shared_ptr<Transfer> transfer) {
        {
            std::lock_guard lock(mutex_);
            incoming_.push_back(std::move(transfer));
        }
        curl_multi_wakeup(multi_);
    }

    void cancel(std::shared_ptr<Transfer> transfer) {
        transfer->cancelRequested.store(true);
        {
            std::lock_guard lock(mutex_);
            cancelling_.push_back(std::move(transfer));
        }
        curl_multi_wakeup(multi_);
    }

private:
    void run() {
        for (;;) {
            std::vector<std::shared_ptr<Transfer>> incoming;
            std::vector<std::shared_ptr<Transfer>> cancelling;
            bool stopping = false;
            {
                std::lock_guard lock(mutex_);
                incoming.swap(incoming_);
                cancelling.swap(cancelling_);
                stopping = stopping_;
            }
            for (auto& transfer : incoming) {
                if (stopping || transfer->cancelRequested.load()) {
                    transfer->complete(CURLE_ABORTED_BY_CALLBACK, true);
                } else {
                    curl_multi_add_handle(multi_, transfer->easy);
                    active_.emplace(transfer->easy, transfer);
                }
            }
            for (auto& transfer : cancelling) finish(transfer->easy, CURLE_ABORTED_BY_CALLBACK, true);
            if (stopping) {
                while (!active_.empty()) finish(active_.begin()->first, CURLE_ABORTED_BY_CALLBACK, true);
                return;
            }

            int running = 0;
            curl_multi_perform(multi_, &running);
            int left = 0;
            while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
                if (message->msg == CURLMSG_DONE) finish(message->easy_handle, message->data.result, false);
            }
            curl_multi_poll(multi_, nullptr, 0, active_.empty() ? idleWaitMs : 1000, nullptr);
        }
    }

    // Takes a transfer out of the multi handle and hands it back. A transfer that already ended is
    // not there any more, and then nothing happens.
    void finish(CURL* easy, CURLcode code, bool cancelled) {
        const auto it = active_.find(easy);
        if (it == active_.end()) return;
        auto transfer = std::move(it->second);
        active_.erase(it);
        curl_multi_remove_handle(multi_, easy);
        transfer->complete(code, cancelled);
    }

    std::mutex mutex_;
    std::vector<std::shared_ptr<Transfer>> incoming_;
    std::vector<std::shared_ptr<Transfer>> cancelling_;
    bool stopping_ = false;

    CURLM* multi_ = nullptr;
    std::map<CURL*, std::shared_ptr<Transfer>> active_; // touched by the transfer thread only
    std::thread thread_;
};

namespace {

Awaitable<void> runTransfer(std::shared_ptr<CurlHttpTransport::Worker> worker,
                            std::shared_ptr<CurlHttpTransport::Transfer> transfer) {
    // A task that is already cancelled starts nothing new.
    if (co_await isCancelled()) throw OperationCancelled();
    transfer->prepare();
    const auto executor = co_await asio::this_coro::executor;
    transfer->home.emplace(asio::prefer(executor, asio::execution::outstanding_work.untracked));
    transfer->wake.emplace(executor);
    worker->submit(transfer);

    // Runs however this coroutine ends. If it is destroyed while still waiting (its loop was torn
    // down), the transfer is cut off and reports to nobody.
    struct LetGoWhenDone {
        CurlHttpTransport::Worker& worker;
        const std::shared_ptr<CurlHttpTransport::Transfer>& transfer;
        ~LetGoWhenDone() {
            const bool finished = transfer->completed;
            transfer->letGoOfCaller();
            if (!finished) worker.cancel(transfer);
        }
    } letGoWhenDone{*worker, transfer};

    // The waits below report cancellation instead of throwing it: the transfer thread must have let
    // go of the transfer before this coroutine leaves.
    const bool throwIfCancelled = co_await asio::this_coro::throw_if_cancelled();
    co_await asio::this_coro::throw_if_cancelled(false);
    if (!co_await transfer->wake->wait()) {
        worker->cancel(transfer);
        co_await transfer->wake->waitIgnoringCancellation();
    }
    co_await asio::this_coro::throw_if_cancelled(throwIfCancelled);
    transfer->rethrowFailure();
}

} // namespace

CurlHttpTransport::CurlHttpTransport(std::size_t replyBodyLimit) : replyBodyLimit_(replyBodyLimit) {}

CurlHttpTransport::~CurlHttpTransport() = default;

std::shared_ptr<CurlHttpTransport::Worker> CurlHttpTransport::worker() {
    std::lock_guard lock(mutex_);
    if (!worker_) worker_ = std::make_shared<Worker>();
    return worker_;
}

Awaitable<HttpResponse> CurlHttpTransport::send(HttpRequest request) {
    auto transfer = std::make_shared<Transfer>(std::move(request), std::nullopt, replyBodyLimit_);
    co_await runTransfer(worker(), transfer);
    HttpResponse response;
    response.status = transfer->head.status;
    response.headers = std::move(transfer->head.headers);
    response.body = std::move(transfer->body);
    co_return response;
}

Awaitable<HttpResponseHead> CurlHttpTransport::download(HttpRequest request, HttpDownloadSink sink) {
    auto transfer = std::make_shared<Transfer>(std::move(request), std::move(sink), replyBodyLimit_);
    co_await runTransfer(worker(), transfer);
    HttpResponseHead head = transfer->head;
    co_return head;
}

} // namespace varnel
