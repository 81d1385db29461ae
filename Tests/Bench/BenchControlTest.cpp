// The control port as a script uses it: each control reaches the bench part it names.
#include "Bench/BenchControl.hpp"
#include "Bench/TestBench.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <gtest/gtest.h>

namespace varnel::testing {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

struct Answer {
    int status = 0;
    nlohmann::json body;
};

Answer control(unsigned short port, http::verb method, const std::string& target, const std::string& body = {}) {
    asio::io_context context;
    beast::tcp_stream stream(context);
    stream.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    http::request<http::string_body> request{method, target, 11};
    request.set(http::field::host, "127.0.0.1");
    request.body() = body;
    request.prepare_payload();
    http::write(stream, request);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(stream, buffer, response);
    return {static_cast<int>(response.result_int()), nlohmann::json::parse(response.body(), nullptr, false)};
}

TEST(BenchControlTest, EachControlReachesTheBenchPartItNames) {
    TestBench bench;
    BenchControl controlPort(bench);
    const auto port = controlPort.port();
    const auto post = [&](const std::string& target, const nlohmann::json& body = nlohmann::json::object()) {
        return control(port, http::verb::post, target, body.dump());
    };

    const auto printer = post("/printers", {{"mode", "stall"}, {"limit", 10}});
    ASSERT_EQ(printer.status, 200);
    EXPECT_EQ(printer.body["key"], bench.printer(0).key());
    EXPECT_EQ(bench.printer(0).mode(), RawTestPrinter::Mode::stall);
    EXPECT_EQ(post("/printers/0/mode", {{"mode", "refuse"}}).status, 200);
    EXPECT_EQ(bench.printer(0).mode(), RawTestPrinter::Mode::refuse);
    EXPECT_EQ(post("/printers/0/mode", {{"mode", "sideways"}}).status, 400);
    EXPECT_EQ(post("/printers/7/resume").status, 400);

    const auto created = post("/jobs", {{"printer_key", printer.body["key"]},
                                        {"payload", "^XA^XZ"},
                                        {"delivery", "pending"},
                                        {"expires_at", "2030-01-01T00:00:00Z"}});
    ASSERT_EQ(created.status, 200);
    const std::int64_t id = created.body["job_id"];
    EXPECT_EQ(bench.management().pendingJobIds(), std::vector<std::int64_t>{id});
    EXPECT_EQ(post("/jobs", {{"printer_key", "x"}, {"delivery", "sometimes"}}).status, 400);
    EXPECT_EQ(post("/jobs", {{"printer_key", "x"}, {"expires_at", "tomorrow"}}).status, 400);
    EXPECT_EQ(post("/jobs/" + std::to_string(id) + "/remove").status, 200);
    EXPECT_TRUE(bench.management().pendingJobIds().empty());

    EXPECT_EQ(post("/faults/fail", {{"operation", "heartbeat"}, {"status", 426}, {"count", 2}}).status, 200);
    EXPECT_EQ(post("/faults/fail", {{"operation", "teleport"}, {"status", 500}}).status, 400);
    EXPECT_EQ(post("/faults/stall", {{"operation", "result"}}).status, 200);

    const auto state = control(port, http::verb::get, "/state");
    ASSERT_EQ(state.status, 200);
    EXPECT_EQ(state.body["printers"].size(), 1u);
    EXPECT_EQ(state.body["management"]["pendingJobIds"], nlohmann::json::array());
    EXPECT_TRUE(state.body["pusher"].contains("connectionsAccepted"));

    const auto wssPort = bench.pusher().wssPort();
    EXPECT_EQ(post("/restart", {{"downtime_ms", 10}}).status, 200);
    EXPECT_EQ(bench.management().snapshot().restarts, 1u);
    EXPECT_EQ(bench.pusher().wssPort(), wssPort);
    EXPECT_EQ(control(port, http::verb::get, "/nothing").status, 404);
}

} // namespace
} // namespace varnel::testing
