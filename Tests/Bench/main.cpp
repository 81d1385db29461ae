// The test bench as a program, for scripts and tests in other languages: it prints its ports as
// one JSON line on standard output and runs until SIGTERM or SIGINT, or until its standard input
// (when that is a pipe or a terminal) reaches its end.
#include "Bench/BenchControl.hpp"
#include "Bench/TestBench.hpp"
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
                 " [--activity-timeout SECONDS] [--management-port PORT] [--device-id ID] [--token TOKEN]"
                 " [--enrollment-code CODE] [--printers COUNT]\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    varnel::testing::TestBenchOptions benchOptions;
    auto& options = benchOptions.pusher;
    auto& management = benchOptions.management;
    int printers = 0;
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
        } else if (flag == "--token") {
            management.token = value;
        } else if (flag == "--enrollment-code") {
            management.enrollmentCode = value;
        } else if (flag == "--activity-timeout" || flag == "--management-port" || flag == "--device-id" ||
                   flag == "--printers") {
            long number = 0;
            try {
                std::size_t used = 0;
                number = std::stol(value, &used);
                if (used != value.size() || number < 0)
                    return usage();
            } catch (const std::exception&) {
                return usage();
            }
            if (flag == "--activity-timeout") {
                options.activityTimeout = std::chrono::seconds(number);
            } else if (flag == "--management-port") {
                if (number > 65535)
                    return usage();
                management.port = static_cast<unsigned short>(number);
            } else if (flag == "--device-id") {
                management.deviceId = number;
            } else {
                printers = static_cast<int>(number);
            }
        } else {
            return usage();
        }
    }

    try {
        varnel::testing::TestBench bench(benchOptions);
        for (int i = 0; i < printers; ++i)
            bench.addPrinter();
        varnel::testing::BenchControl control(bench);
        auto& pusher = bench.pusher();

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
        varnel::json::Ordered server = varnel::json::Ordered::object();
        server["port"] = bench.management().port();
        server["url"] = bench.management().baseUrl();
        server["deviceId"] = management.deviceId;
        server["token"] = management.token;
        server["enrollmentCode"] = management.enrollmentCode;
        ports["management"] = server;
        varnel::json::Ordered printerList = varnel::json::Ordered::array();
        for (std::size_t i = 0; i < bench.printerCount(); ++i) {
            varnel::json::Ordered printer = varnel::json::Ordered::object();
            printer["port"] = bench.printer(i).port();
            printer["key"] = bench.printer(i).key();
            printerList.push_back(printer);
        }
        ports["printers"] = printerList;
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
