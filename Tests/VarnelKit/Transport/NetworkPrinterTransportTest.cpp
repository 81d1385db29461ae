#include "VarnelKit/Transport/NetworkPrinterTransport.hpp"

#include "FakeCupsApi.hpp"
#include "LoopbackListener.hpp"
#include "VarnelKit/Protocol/JobError.hpp"
#include "VarnelKit/SlowNameLookup.hpp"
#include "VarnelKit/Support/OperationCancelled.hpp"
#include "VarnelKit/TestSupport.hpp"
#include "VarnelKit/Transport/LoopFixture.hpp"

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <boost/asio/detached.hpp>
#include <boost/asio/strand.hpp>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <regex>
#include <thread>

// The send queue as the tests make the system report it: the real one, a failed read, or once
// some bytes still unacknowledged (with a hook that runs at that read).
namespace {
enum class SendQueueReads { real, failing, unacknowledgedOnce };
std::atomic<SendQueueReads> sendQueueReads{SendQueueReads::real};
std::function<void()> onUnacknowledgedRead;
} // namespace

// This test program's own ioctl, which the transport calls in place of the system's; every request
// but a send-queue read the test scripted goes on to the system's.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list arguments;
    va_start(arguments, request);
    void* const argument = va_arg(arguments, void*);
    va_end(arguments);
    if (request == SIOCOUTQ) {
        switch (sendQueueReads.load()) {
        case SendQueueReads::failing:
            errno = EINVAL;
            return -1;
        case SendQueueReads::unacknowledgedOnce:
            sendQueueReads = SendQueueReads::real;
            *static_cast<int*>(argument) = 100;
            if (onUnacknowledgedRead) onUnacknowledgedRead();
            return 0;
        case SendQueueReads::real:
            break;
        }
    }
    static const auto system = reinterpret_cast<int (*)(int, unsigned long, ...)>(::dlsym(RTLD_NEXT, "ioctl"));
    return system(fd, request, argument);
}

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
    EXPECT_TRUE(std::regex_match(failure->description(),
                                 std::regex(R"(Device stopped accepting data after 0\.3 seconds; the printer took )"
                                            R"(\d+ of 16777216 bytes)")))
        << failure->description();
    EXPECT_LT(Clock::now() - start, 3s);
}

// Bytes in our socket buffer are not on the printer: a label counts as sent only once the printer
// has acknowledged every byte, and a reset before that is a failure that says how far it got.
TEST_F(NetworkPrinterTransportTest, APrinterThatResetsBeforeAcknowledgingEverythingFailsTheWrite) {
    struct Case {
        std::string name;
        std::size_t size;
    };
    // Small enough to sit whole in the sender's buffers at once; large enough to stream past them.
    const std::vector<Case> cases = {{"a label that fits in the buffers", 12 * 1024},
                                     {"a label larger than the buffers", 8 * 1024 * 1024}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::LoopbackListener listener;
        auto received = listener.readThenReset(1000, 100ms);
        NetworkPrinterTransport transport("127.0.0.1", listener.port(), 2s, 5s);
        const auto failure = writeFailure(transport, Bytes(c.size, 'x'));
        ASSERT_TRUE(failure) << "a label the printer never took whole was taken for sent";
        EXPECT_EQ(failure->code, JobErrorCode::printerError);
        std::smatch took;
        const auto text = failure->description();
        ASSERT_TRUE(std::regex_match(text, took, std::regex(R"(Write failed: .+; the printer took (\d+) of (\d+) bytes)")))
            << text;
        EXPECT_EQ(took[2].str(), std::to_string(c.size));
        EXPECT_GE(std::stoul(took[1].str()), 1000u);
        EXPECT_LT(std::stoul(took[1].str()), c.size);
        ASSERT_EQ(received.wait_for(2s), std::future_status::ready);
    }
}

TEST_F(NetworkPrinterTransportTest, AWriteEndsOnceThePrinterHasAcknowledgedEveryByte) {
    testing::LoopbackListener listener;
    auto received = listener.receiveOne();
    NetworkPrinterTransport transport("127.0.0.1", listener.port(), 2s, 5s);
    const Bytes data(4 * 1024 * 1024, 'z');
    EXPECT_EQ(loop.run(transport.write(data, "t")), static_cast<std::int64_t>(data.size()));
    ASSERT_EQ(received.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(received.get().size(), data.size());
}

// The system could not say what the printer acknowledged: the label is not taken for printed.
TEST_F(NetworkPrinterTransportTest, ASendQueueThatCannotBeReadIsNoProofOfReceipt) {
    testing::LoopbackListener listener;
    auto received = listener.receiveOne();
    NetworkPrinterTransport transport("127.0.0.1", listener.port(), 2s, 5s);
    sendQueueReads = SendQueueReads::failing;
    const auto failure = writeFailure(transport, bytesOf("^XA^FDunconfirmed^FS^XZ\n"));
    sendQueueReads = SendQueueReads::real;
    ASSERT_TRUE(failure) << "a label whose receipt could not be read was taken for printed";
    EXPECT_EQ(failure->code, JobErrorCode::printerError);
    EXPECT_EQ(failure->description(),
              "The printer's receipt could not be confirmed: Invalid argument; 24 of 24 bytes were sent");
}

// A stop that comes while the transport waits for the printer's acknowledgement: the queue is read
// once more, and a label acknowledged meanwhile is printed, not "stopped".
TEST_F(NetworkPrinterTransportTest, AStopDuringTheWaitForTheAcknowledgementLooksOnceMore) {
    testing::LoopbackListener listener;
    auto received = listener.receiveOne();
    auto transport = std::make_shared<NetworkPrinterTransport>("127.0.0.1", listener.port(), 2s, 5s);
    const auto label = bytesOf("^XA^FDacknowledged^FS^XZ\n");
    auto written = std::make_shared<std::optional<std::int64_t>>();
    // Spawned and scripted on the loop, so that the write, which starts only after, reads the
    // script: the first look finds bytes unacknowledged and the stop comes before the next.
    const auto task = loop.onLoop([&] {
        auto spawned = Task::spawn(loop.loop().executor(), [transport, label, written]() -> Awaitable<void> {
            *written = co_await transport->write(label, "t");
        });
        onUnacknowledgedRead = [spawned] { spawned->cancel(); };
        sendQueueReads = SendQueueReads::unacknowledgedOnce;
        return spawned;
    });
    loop.run(task->join());
    EXPECT_EQ(sendQueueReads.exchange(SendQueueReads::real), SendQueueReads::real)
        << "the send queue was never read";
    onUnacknowledgedRead = nullptr;
    EXPECT_EQ(*written, std::optional<std::int64_t>(static_cast<std::int64_t>(label.size())));
}

TEST_F(NetworkPrinterTransportTest, ProbeSeesAListener) {
    testing::LoopbackListener listener;
    NetworkPrinterTransport transport("127.0.0.1", listener.port(), 1s, 1s);
    EXPECT_TRUE(loop.run(transport.probe()));
    NetworkPrinterTransport bracketed("[127.0.0.1]", listener.port(), 1s, 1s);
    EXPECT_TRUE(loop.run(bracketed.probe()));
}

// A port outside 0...65535 names no TCP port: a write fails saying so, without trying the nearest
// port, and the probe finds nothing. The ends of the range are ports still.
TEST_F(NetworkPrinterTransportTest, APortOutsideTheTcpRangeIsInvalidNotClamped) {
    for (const std::int64_t port : {std::int64_t{65536}, std::int64_t{70000}, std::int64_t{-1},
                                    std::numeric_limits<std::int64_t>::max()}) {
        SCOPED_TRACE(port);
        NetworkPrinterTransport transport("127.0.0.1", port, 1s, 1s);
        const auto failure = writeFailure(transport, bytesOf("x"));
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->code, JobErrorCode::printerUnreachable);
        EXPECT_EQ(failure->description(), "Invalid port " + std::to_string(port));
        EXPECT_FALSE(loop.run(transport.probe()));
    }
    EXPECT_EQ(NetworkPrinterTransport::socketPort(65535), std::optional<unsigned short>(65535));
    // Port 0 cannot be connected to; the message names the port as configured.
    NetworkPrinterTransport zero("127.0.0.1", 0, 1s, 1s);
    const auto failure = writeFailure(zero, bytesOf("x"));
    ASSERT_TRUE(failure);
    EXPECT_TRUE(failure->description().starts_with("127.0.0.1:0 \xE2\x80\x94 ")) << failure->description();
}

// What an operation of the transport throws in a task that is cancelled before it begins or, after
// `cancelAfter`, while it runs.
std::string cancelledOutcome(testing::LoopFixture& loop, std::function<Awaitable<void>()> operation,
                             std::optional<std::chrono::milliseconds> cancelAfter = std::nullopt) {
    auto seen = std::make_shared<std::string>("nothing");
    auto task = Task::spawn(loop.loop().executor(), [operation, seen, cancelAfter]() -> Awaitable<void> {
        if (!cancelAfter) co_await sleepFor(std::chrono::seconds(5)); // ends at once: already cancelled
        try {
            co_await operation();
            *seen = "finished";
        } catch (const OperationCancelled&) {
            *seen = "cancelled";
        } catch (const JobError& error) {
            *seen = "job error: " + error.description();
        } catch (const std::exception& error) {
            *seen = std::string("other: ") + error.what();
        }
    });
    if (cancelAfter) std::this_thread::sleep_for(*cancelAfter);
    task->cancel();
    loop.run(task->join());
    return *seen;
}

TEST_F(NetworkPrinterTransportTest, ACancelledCallerSeesTheCancellationAndNoPrinterFault) {
    testing::LoopbackListener listener;
    auto transport = std::make_shared<NetworkPrinterTransport>("127.0.0.1", listener.port(), 1s, 5s);
    const auto write = [transport]() -> Awaitable<void> { co_await transport->write(bytesOf("x"), "t"); };
    const auto probe = [transport]() -> Awaitable<void> { (void)co_await transport->probe(); };
    EXPECT_EQ(cancelledOutcome(loop, write), "cancelled");
    EXPECT_EQ(cancelledOutcome(loop, probe), "cancelled");
}

// Cancelled while the printer does not take the data: bytes have left, so the caller learns how far
// the label got rather than that nothing happened; no write time-out.
TEST_F(NetworkPrinterTransportTest, ACancelAfterBytesLeftSaysHowManyThePrinterTook) {
    testing::LoopbackListener listener;
    auto stalled = listener.readThenStall(4096);
    auto transport = std::make_shared<NetworkPrinterTransport>("127.0.0.1", listener.port(), 1s, 30s);
    auto outcome = std::make_shared<std::string>("nothing");
    auto task = Task::spawn(loop.loop().executor(), [transport, outcome]() -> Awaitable<void> {
        try {
            co_await transport->write(Bytes(16 * 1024 * 1024, 'x'), "t");
            *outcome = "finished";
        } catch (const JobError& error) {
            *outcome = error.description();
        } catch (const std::exception& error) {
            *outcome = std::string("other: ") + error.what();
        }
    });
    ASSERT_EQ(stalled.wait_for(5s), std::future_status::ready);
    const auto start = Clock::now();
    task->cancel();
    loop.run(task->join());
    EXPECT_LT(Clock::now() - start, 1s);
    std::smatch took;
    ASSERT_TRUE(std::regex_match(*outcome, took,
                                 std::regex(R"(Sending was stopped when the agent stopped; the printer took (\d+) of )"
                                            R"(16777216 bytes)")))
        << *outcome;
    EXPECT_GE(std::stoul(took[1].str()), 4096u);
}

TEST_F(NetworkPrinterTransportTest, ACancelDuringAHungNameLookupEndsAtOnce) {
    auto transport = std::make_shared<NetworkPrinterTransport>(testing::slowHostName(5s), 9100, 5s, 5s);
    const auto write = [transport]() -> Awaitable<void> { co_await transport->write(bytesOf("x"), "t"); };
    const auto probe = [transport]() -> Awaitable<void> { (void)co_await transport->probe(); };
    auto start = Clock::now();
    EXPECT_EQ(cancelledOutcome(loop, write, 100ms), "cancelled");
    EXPECT_LT(Clock::now() - start, 600ms);
    start = Clock::now();
    EXPECT_EQ(cancelledOutcome(loop, probe, 100ms), "cancelled");
    EXPECT_LT(Clock::now() - start, 600ms);
}

TEST_F(NetworkPrinterTransportTest, AHungNameLookupHoldsUpNoOtherPrinter) {
    testing::LoopbackListener listener;
    NetworkPrinterTransport hung(testing::slowHostName(5s), 9100, 300ms, 1s);
    NetworkPrinterTransport named("localhost", listener.port(), 300ms, 1s);

    auto start = Clock::now();
    EXPECT_FALSE(loop.run(hung.probe()));
    EXPECT_LT(Clock::now() - start, 700ms);

    // The hung lookup is still running; this one is answered at once and the printer is reached.
    start = Clock::now();
    EXPECT_TRUE(loop.run(named.probe()));
    EXPECT_LT(Clock::now() - start, 250ms);
    const auto failure = writeFailure(hung, bytesOf("x"));
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->description(), "Connect timed out after 0.3 seconds to " + hung.host() + ":9100");
}

TEST_F(NetworkPrinterTransportTest, AnUnknownNameFailsWithTheSystemsWords) {
    NetworkPrinterTransport transport(testing::slowHostName(20ms), 9100, 2s, 2s);
    const auto failure = writeFailure(transport, bytesOf("x"));
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->code, JobErrorCode::printerUnreachable);
    EXPECT_EQ(failure->description(), transport.host() + ":9100 \xE2\x80\x94 Host not found (authoritative)");
}

TEST(NetworkPrinterLookupTest, ALateAnswerIsDroppedWithoutTouchingTheLoop) {
    testing::LoopbackListener listener;
    const int before = testing::finishedSlowLookups();
    const int startedBefore = testing::startedSlowLookups();
    {
        // Given up by its time-out: the answer arrives later to a loop that still runs.
        testing::LoopFixture loop;
        NetworkPrinterTransport late(testing::slowHostName(300ms, true), listener.port(), 50ms, 1s);
        EXPECT_FALSE(loop.run(late.probe()));
        // Its loop is torn down while the lookup runs, from a strand as tasks use. The probe's own
        // frame holds the transport, which it reads on the loop's thread: it goes with the frame.
        const auto probe = [](std::shared_ptr<NetworkPrinterTransport> transport) -> Awaitable<void> {
            (void)co_await transport->probe();
        };
        auto abandoned =
            std::make_shared<NetworkPrinterTransport>(testing::slowHostName(300ms, true), listener.port(), 5s, 1s);
        boost::asio::co_spawn(boost::asio::make_strand(loop.loop().executor()), probe(std::move(abandoned)),
                              boost::asio::detached);
        ASSERT_TRUE(testing::waitForStartedSlowLookups(startedBefore + 2, 5s));
    }
    const auto deadline = Clock::now() + 2s;
    while (testing::finishedSlowLookups() < before + 2 && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(testing::finishedSlowLookups(), before + 2);
    // The lookup threads deliver right after the lookup returns; under the sanitizer build a touch
    // of the destroyed loop would be reported here.
    std::this_thread::sleep_for(100ms);

    // An answer in time still connects.
    testing::LoopFixture loop;
    NetworkPrinterTransport inTime(testing::slowHostName(20ms, true), listener.port(), 1s, 1s);
    EXPECT_TRUE(loop.run(inTime.probe()));
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
