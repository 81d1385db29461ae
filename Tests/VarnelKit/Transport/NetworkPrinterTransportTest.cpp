#include "VarnelKit/Transport/NetworkPrinterTransport.hpp"

#include "FakeCupsApi.hpp"
#include "LoopbackListener.hpp"
#include "VarnelKit/Protocol/JobError.hpp"
#include "VarnelKit/TestSupport.hpp"

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

namespace varnel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class NetworkPrinterTransportTest : public ::testing::Test {
protected:
    std::optional<JobError> writeFailure(NetworkPrinterTransport& transport, Bytes data) {
        return testing::thrownBy<JobError>(loop.loop(), transport.write(std::move(data), "job"));
    }

    testing::LoopFixture loop;
};

TEST_F(NetworkPrinterTransportTest, DeliversEveryByteThenCloses) {
    testing::LoopbackListener listener;
    auto received = listener.receiveOne();
    NetworkPrinterTransport transport("127.0.0.1", listener.port(), 2s, 2s);
    const std::string label = "^XA^FDhello^FS^XZ\n";
    EXPECT_EQ(loop.run(transport.write(bytesOf(label), "t")), static_cast<std::int64_t>(label.size()));
    ASSERT_EQ(received.wait_for(2s), std::future_status::ready); // EOF reached: the connection was closed
    EXPECT_EQ(received.get(), label);
}

TEST_F(NetworkPrinterTransportTest, AnEmptyPayloadStillConnects) {
    testing::LoopbackListener listener;
    auto received = listener.receiveOne();
    NetworkPrinterTransport transport("127.0.0.1", listener.port(), 2s, 2s);
    EXPECT_EQ(loop.run(transport.write({}, "t")), 0);
    ASSERT_EQ(received.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(received.get(), "");
}

TEST_F(NetworkPrinterTransportTest, ARefusedConnectionFailsAtOnce) {
    const auto port = testing::closedLoopbackPort();
    NetworkPrinterTransport transport("127.0.0.1", port, 5s, 30s);
    const auto start = Clock::now();
    const auto failure = writeFailure(transport, bytesOf("x"));
    ASSERT_TRUE(failure);
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_EQ(failure->code, JobErrorCode::printerUnreachable);
    EXPECT_EQ(failure->description(), "127.0.0.1:" + std::to_string(port) + " \xE2\x80\x94 Connection refused");
    EXPECT_FALSE(loop.run(transport.probe()));
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST_F(NetworkPrinterTransportTest, AHostThatNeverAnswersTimesOut) {
    testing::LoopbackListener listener(0);
    listener.fillBacklog(3);
    NetworkPrinterTransport transport("127.0.0.1", listener.port(), 300ms, 30s);
    const auto start = Clock::now();
    const auto failure = writeFailure(transport, bytesOf("x"));
    const auto waited = Clock::now() - start;
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->code, JobErrorCode::printerUnreachable);
    EXPECT_EQ(failure->description(),
              "Connect timed out after 0.3 seconds to 127.0.0.1:" + std::to_string(listener.port()));
    EXPECT_GE(waited, 290ms);
    EXPECT_LT(waited, 2s);
    EXPECT_FALSE(loop.run(transport.probe()));
}

TEST_F(NetworkPrinterTransportTest, APrinterThatStopsReadingTimesOut) {
    testing::LoopbackListener listener;
    listener.acceptAndIgnore();
    NetworkPrinterTransport transport("127.0.0.1", listener.port(), 2s, 300ms);
    const auto start = Clock::now();
    const auto failure = writeFailure(transport, Bytes(16 * 1024 * 1024, 'x'));
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->code, JobErrorCode::writeTimeout);
    EXPECT_EQ(failure->description(), "Device stopped accepting data after 0.3 seconds");
    EXPECT_LT(Clock::now() - start, 3s);
}

TEST_F(NetworkPrinterTransportTest, ProbeSeesAListener) {
    testing::LoopbackListener listener;
    NetworkPrinterTransport transport("127.0.0.1", listener.port(), 1s, 1s);
    EXPECT_TRUE(loop.run(transport.probe()));
    NetworkPrinterTransport bracketed("[127.0.0.1]", listener.port(), 1s, 1s);
    EXPECT_TRUE(loop.run(bracketed.probe()));
}

TEST_F(NetworkPrinterTransportTest, MessagesKeepTheConfiguredPort) {
    EXPECT_EQ(NetworkPrinterTransport::clampedPort(70000), 65535);
    EXPECT_EQ(NetworkPrinterTransport::clampedPort(-1), 0);
    EXPECT_EQ(NetworkPrinterTransport::clampedPort(9100), 9100);
    // Port 0 cannot be connected to; the message still names the port as configured.
    NetworkPrinterTransport transport("127.0.0.1", -1, 1s, 1s);
    const auto failure = writeFailure(transport, bytesOf("x"));
    ASSERT_TRUE(failure);
    EXPECT_TRUE(failure->description().starts_with("127.0.0.1:-1 \xE2\x80\x94 ")) << failure->description();
}

// What a write in a task that was cancelled before it began throws.
Awaitable<void> writeAfterCancel(std::shared_ptr<NetworkPrinterTransport> transport,
                                 std::shared_ptr<std::string> seen) {
    co_await sleepFor(std::chrono::seconds(5)); // ends at once: the task is already cancelled
    try {
        co_await transport->write(bytesOf("x"), "t");
        *seen = "written";
    } catch (const JobError&) {
        *seen = "job error";
    } catch (const boost::system::system_error& error) {
        *seen = error.code() == boost::asio::error::operation_aborted ? "cancelled" : "other";
    }
}

TEST_F(NetworkPrinterTransportTest, ACancelledCallerSeesTheCancellation) {
    testing::LoopbackListener listener;
    auto transport = std::make_shared<NetworkPrinterTransport>("127.0.0.1", listener.port(), 1s, 1s);
    auto seen = std::make_shared<std::string>();
    auto task = Task::spawn(loop.loop().executor(), [transport, seen] { return writeAfterCancel(transport, seen); });
    task->cancel();
    loop.run(task->join());
    EXPECT_EQ(*seen, "cancelled");
}

TEST_F(NetworkPrinterTransportTest, DurationsReadAsSeconds) {
    EXPECT_EQ(NetworkPrinterTransport::secondsText(5s), "5.0 seconds");
    EXPECT_EQ(NetworkPrinterTransport::secondsText(30s), "30.0 seconds");
    EXPECT_EQ(NetworkPrinterTransport::secondsText(500ms), "0.5 seconds");
}

TEST_F(NetworkPrinterTransportTest, TheTargetGivesTheDefaults) {
    EXPECT_FALSE(NetworkPrinterTransport::make(PrinterTarget{"net:", "n", PrinterTransport::network, ""}));
    const auto transport =
        NetworkPrinterTransport::make(PrinterTarget{"net:x", "n", PrinterTransport::network, "[fe80::1]:70000"});
    ASSERT_TRUE(transport);
    EXPECT_EQ(transport->host(), "fe80::1");
    EXPECT_EQ(transport->port(), 70000);
    EXPECT_EQ(transport->connectTimeout(), 5s);
    EXPECT_EQ(transport->writeTimeout(), 30s);
}

} // namespace
} // namespace varnel
