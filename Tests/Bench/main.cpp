// The test bench as a program, for scripts and tests in other languages: it prints its ports as
// one JSON line on standard output and runs until SIGTERM or SIGINT, or until its standard input
// (when that is a pipe or a terminal) reaches its end.
#include "Bench/BenchControl.hpp"
#include "Bench/PusherTestServer.hpp"
#include "VarnelKit/Support/Json.hpp"

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/signal_set.hpp>
#include <cstring>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

namespace asio = boost::asio;

namespace {

// Reads standard input until its end and calls `ended` then.
void watchInput(asio::posix::stream_descriptor& input, std::array<char, 256>& buffer,
                const std::function<void()>& ended) {
    input.async_read_some(asio::buffer(buffer),
                          [&input, &buffer, ended](boost::system::error_code error, std::size_t) {
                              if (error) {
                                  ended();
                              } else {
                                  watchInput(input, buffer, ended);
                              }
                          });
}

bool inputCanEnd() {
    struct stat status {};
    if (::fstat(STDIN_FILENO, &status) != 0)
        return false;
    return S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode) || ::isatty(STDIN_FILENO);
}

int usage() {
    std::cerr << "usage: varnel-test-bench [--app-id ID] [--key KEY] [--secret SECRET]"
                 " [--activity-timeout SECONDS]\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    varnel::testing::PusherServerOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (i + 1 >= argc)
            return usage();
        const std::string value = argv[++i];
        if (flag == "--app-id") {
            options.appId = value;
        } else if (flag == "--key") {
            options.key = value;
        } else if (flag == "--secret") {
            options.secret = value;
        } else if (flag == "--activity-timeout") {
            try {
                options.activityTimeout = std::chrono::seconds(std::stoi(value));
            } catch (const std::exception&) {
                return usage();
            }
        } else {
            return usage();
        }
    }

    try {
        varnel::testing::PusherTestServer pusher(options);
        varnel::testing::BenchControl control(pusher);

        varnel::json::Ordered ports = varnel::json::Ordered::object();
        ports["controlPort"] = control.port();
        ports["caFile"] = varnel::testing::PusherTestServer::caFile().string();
        varnel::json::Ordered channel = varnel::json::Ordered::object();
        channel["appId"] = options.appId;
        channel["key"] = options.key;
        channel["secret"] = options.secret;
        channel["wsPort"] = pusher.wsPort();
        channel["wssPort"] = pusher.wssPort();
        ports["pusher"] = channel;
        std::cout << varnel::json::dump(ports) << std::endl;

        asio::io_context context;
        asio::signal_set signals(context, SIGINT, SIGTERM);
        signals.async_wait([&](boost::system::error_code, int) { context.stop(); });
        asio::posix::stream_descriptor input(context);
        std::array<char, 256> buffer{};
        if (inputCanEnd()) {
            input.assign(::dup(STDIN_FILENO));
            watchInput(input, buffer, [&] { context.stop(); });
        }
        context.run();
    } catch (const std::exception& error) {
        std::cerr << "varnel-test-bench: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
