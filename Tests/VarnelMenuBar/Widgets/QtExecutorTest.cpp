#include "VarnelMenuBar/QtExecutor.hpp"

#include "TraySupport.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"

#include <QCoreApplication>
#include <QObject>
#include <QThread>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gtest/gtest.h>
#include <stdexcept>

namespace varnel::tray {
namespace {

namespace asio = boost::asio;

struct Threads {
    QThread* before = nullptr;
    QThread* onLoop = nullptr;
    QThread* after = nullptr;
    std::string error;
    bool finished = false;
};

Awaitable<QThread*> where() {
    co_return QThread::currentThread();
}

Awaitable<int> fails() {
    throw std::runtime_error("failed on the loop");
    co_return 0;
}

Awaitable<void> hop(AgentLoop* loop, Threads* threads) {
    threads->before = QThread::currentThread();
    auto there = asio::co_spawn(loop->executor(), where(), asio::use_awaitable);
    threads->onLoop = co_await std::move(there);
    threads->after = QThread::currentThread();
    try {
        auto failing = asio::co_spawn(loop->executor(), fails(), asio::use_awaitable);
        co_await std::move(failing);
    } catch (const std::exception& error) {
        threads->error = error.what();
    }
    threads->finished = true;
}

TEST(QtExecutorTest, ACoroutineResumesOnTheQtThreadAfterAwaitingTheLoop) {
    AgentLoop loop;
    loop.startThread();
    QObject target;
    auto poster = std::make_shared<QtPoster>(&target);
    Threads threads;
    asio::co_spawn(QtExecutor(poster), hop(&loop, &threads), asio::detached);
    ASSERT_TRUE(waitUntil([&] { return threads.finished; }));
    const auto* qtThread = QCoreApplication::instance()->thread();
    EXPECT_EQ(threads.before, qtThread);
    EXPECT_NE(threads.onLoop, qtThread);
    EXPECT_EQ(threads.after, qtThread);
    EXPECT_EQ(threads.error, "failed on the loop") << "the loop's error crosses back";
    EXPECT_EQ(QThread::currentThread(), qtThread);
}

TEST(QtExecutorTest, WorkForADetachedPosterIsDropped) {
    QObject target;
    auto poster = std::make_shared<QtPoster>(&target);
    int runs = 0;
    poster->post([&] { ++runs; });
    QCoreApplication::processEvents();
    EXPECT_EQ(runs, 1);
    poster->detach();
    poster->post([&] { ++runs; });
    QCoreApplication::processEvents();
    EXPECT_EQ(runs, 1);
}

} // namespace
} // namespace varnel::tray
