// The raw printer's modes, driven with plain blocking sockets as a sender would use them.
#include "Bench/RawTestPrinter.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace varnel::testing {
namespace {

using Mode = RawTestPrinter::Mode;
using namespace std::chrono_literals;

// A connected TCP socket to 127.0.0.1, or the errno of the failed connect.
class Sender {
public:
    explicit Sender(unsigned short port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            error_ = errno;
    }
    ~Sender() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    int connectError() const { return error_; }

    // Sends everything; the errno that stopped it, or 0.
    int sendAll(const std::string& data) {
        std::size_t sent = 0;
        while (sent < data.size()) {
            const auto n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n < 0)
                return errno;
            sent += static_cast<std::size_t>(n);
        }
        return 0;
    }
    // Sends without blocking until the peer's window and our buffer are full; what went out.
    std::size_t sendUntilBlocked(const std::string& chunk) {
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
        std::size_t total = 0;
        for (;;) {
            const auto n = ::send(fd_, chunk.data(), chunk.size(), MSG_NOSIGNAL);
            if (n < 0)
                break;
            total += static_cast<std::size_t>(n);
        }
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
        return total;
    }
    void close() {
        ::shutdown(fd_, SHUT_WR);
        ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
    int error_ = 0;
};

bool allEnded(const RawTestPrinter::Snapshot& s, std::size_t count) {
    if (s.connections.size() < count)
        return false;
    for (const auto& connection : s.connections) {
        if (connection.open)
            return false;
    }
    return true;
}

TEST(RawTestPrinterTest, KeepsTheBytesOfEachConnectionAndTellsProbesApart) {
    RawTestPrinter printer;
    EXPECT_EQ(printer.key(), "net:127.0.0.1:" + std::to_string(printer.port()));
    {
        Sender probe(printer.port());
        ASSERT_EQ(probe.connectError(), 0);
        probe.close();
    }
    ASSERT_TRUE(printer.waitFor([](const auto& s) { return allEnded(s, 1); }, 5s));
    for (const std::string label : {"^XA^FDone^XZ", "^XA^FDtwo^XZ"}) {
        Sender job(printer.port());
        ASSERT_EQ(job.sendAll(label), 0);
        job.close();
    }
    ASSERT_TRUE(printer.waitFor([](const auto& s) { return allEnded(s, 3); }, 5s));
    const auto snapshot = printer.snapshot();
    EXPECT_EQ(snapshot.probes(), 1u);
    const auto jobs = snapshot.jobs();
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[0].bytes, "^XA^FDone^XZ");
    EXPECT_EQ(jobs[1].bytes, "^XA^FDtwo^XZ");
    EXPECT_TRUE(jobs[0].endedCleanly);
    EXPECT_FALSE(jobs[0].isProbe());
    EXPECT_EQ(snapshot.bytesReceived(), 24u);
}

TEST(RawTestPrinterTest, ARefusingPrinterComesBackOnItsPort) {
    RawTestPrinter printer(Mode::refuse);
    const auto port = printer.port();
    EXPECT_EQ(Sender(port).connectError(), ECONNREFUSED);
    printer.setMode(Mode::accept);
    EXPECT_EQ(printer.port(), port);
    {
        Sender job(port);
        ASSERT_EQ(job.connectError(), 0);
        ASSERT_EQ(job.sendAll("label"), 0);
        job.close();
    }
    ASSERT_TRUE(printer.waitFor([](const auto& s) { return allEnded(s, 1); }, 5s));
    printer.setMode(Mode::refuse);
    EXPECT_EQ(Sender(port).connectError(), ECONNREFUSED);
    EXPECT_EQ(printer.snapshot().jobs().size(), 1u);
}

TEST(RawTestPrinterTest, AStallingPrinterHoldsUpItsSenderUntilResumed) {
    RawTestPrinter printer(Mode::stall, 1000);
    Sender job(printer.port());
    const std::string chunk(64 * 1024, 'Z');
    const auto sent = job.sendUntilBlocked(chunk);
    ASSERT_TRUE(printer.waitFor([](const auto& s) { return !s.connections.empty() && s.connections[0].stalled; }, 5s));
    // The window is the printer's small buffer plus the sender's own: a few megabytes at most.
    EXPECT_GT(sent, 1000u);
    EXPECT_LT(sent, 16u * 1024 * 1024);
    EXPECT_EQ(printer.snapshot().connections[0].bytes.size(), 1000u);

    printer.resume();
    ASSERT_EQ(job.sendAll("END"), 0);
    job.close();
    ASSERT_TRUE(printer.waitFor([](const auto& s) { return allEnded(s, 1); }, 10s));
    const auto connection = printer.snapshot().connections[0];
    EXPECT_EQ(connection.bytes.size(), sent + 3);
    EXPECT_TRUE(connection.bytes.ends_with("ZEND"));
    EXPECT_TRUE(connection.endedCleanly);
    EXPECT_FALSE(connection.stalled);
}

TEST(RawTestPrinterTest, ADroppingPrinterResetsTheConnectionMidJob) {
    RawTestPrinter printer(Mode::drop, 1000);
    Sender job(printer.port());
    // More than fits in both buffers, so the sender is still writing when the reset comes.
    const auto error = job.sendAll(std::string(32 * 1024 * 1024, 'D'));
    EXPECT_TRUE(error == ECONNRESET || error == EPIPE) << "errno " << error;
    ASSERT_TRUE(printer.waitFor([](const auto& s) { return allEnded(s, 1); }, 5s));
    const auto connection = printer.snapshot().connections[0];
    EXPECT_EQ(connection.bytes.size(), 1000u);
    EXPECT_TRUE(connection.dropped);
    EXPECT_FALSE(connection.endedCleanly);
    EXPECT_FALSE(connection.isProbe());
    // A mode applies to connections accepted after it.
    printer.setMode(Mode::accept);
    {
        Sender next(printer.port());
        ASSERT_EQ(next.sendAll(std::string(5000, 'A')), 0);
        next.close();
    }
    ASSERT_TRUE(printer.waitFor([](const auto& s) { return allEnded(s, 2); }, 5s));
    EXPECT_EQ(printer.snapshot().connections[1].bytes.size(), 5000u);
}

} // namespace
} // namespace varnel::testing
