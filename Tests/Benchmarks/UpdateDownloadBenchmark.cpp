// How much the process grows while the self-updater downloads a large image over HTTPS: the body
// must stream to the staging file, never sit whole in memory. Run by hand:
//   build/default/Tests/UpdateDownloadBenchmark [MiB]
// It serves the image from a loopback HTTPS server in this same process, so the figure includes
// that server's buffers too. Exits 1 when the peak resident size rose by more than 16 MiB.
#include "LoopbackHttpsServer.hpp"
#include "TemporaryDirectory.hpp"
#include "VarnelKit/Agent/AgentUpdater.hpp"
#include "VarnelKit/Platform/CurlHttpTransport.hpp"
#include "VarnelKit/Support/AgentLogging.hpp"
#include "VarnelKit/Support/AgentLoop.hpp"
#include "VarnelKit/Support/Sha256.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

using namespace varnel;
using Server = testing::LoopbackHttpsServer;

// A line of /proc/self/status in KiB ("VmRSS", "VmHWM").
long statusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0)
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    }
    return -1;
}

// Starts the peak (VmHWM) afresh from the current resident size.
bool resetPeak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    return static_cast<bool>(clear.flush());
}

std::string patternDigest(std::uint64_t size) {
    Sha256 hash;
    std::string piece(64 * 1024, '\0');
    for (std::uint64_t offset = 0; offset < size; offset += piece.size()) {
        const std::size_t length =
            static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), size - offset));
        piece.resize(length);
        for (std::size_t i = 0; i < length; ++i)
            piece[i] = Server::patternByte(offset + i);
        hash.update(piece);
    }
    return hash.finishHex();
}

} // namespace

int main(int argc, char** argv) {
    const std::uint64_t mebibytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200;
    const std::uint64_t size = mebibytes * 1024 * 1024;

    TemporaryDirectory dataHome;
    ::setenv("XDG_DATA_HOME", dataHome.path().c_str(), 1);
    ::setenv("SSL_CERT_FILE", testing::TestCertificates::shared().caFile.c_str(), 1);

    std::atomic<std::uint64_t> served{size};
    Server server([&](const Server::Request&) {
        Server::Reply reply;
        reply.mode = Server::Reply::Mode::stream;
        reply.streamBytes = served;
        return reply;
    });
    AgentLoop loop;
    loop.startThread();
    AgentUpdater updater(std::make_shared<SilentLogger>(), std::make_shared<CurlHttpTransport>());
    const auto download = [&](std::uint64_t bytes, const std::string& digest) {
        served = bytes;
        VarnelAPIClient::AgentUpdate offer{"9.9.9", Url(server.url("/Varnel.dmg")), std::nullopt, digest,
                                           false};
        return loop.blockOn(updater.download(offer, nullptr));
    };

    // A first small download brings up the transport's thread, TLS and the allocator's pools.
    download(1024 * 1024, patternDigest(1024 * 1024));
    const std::string digest = patternDigest(size);

    if (!resetPeak())
        std::fprintf(stderr, "cannot reset the peak resident size; the rise includes earlier peaks\n");
    const long before = statusKiB("VmRSS");
    const auto start = std::chrono::steady_clock::now();
    const auto file = download(size, digest);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long peak = statusKiB("VmHWM");
    const auto written = std::filesystem::file_size(file);

    std::printf("downloaded %llu MiB in %.2f s (%.0f MiB/s), verified, file %llu bytes\n",
                static_cast<unsigned long long>(mebibytes), seconds, static_cast<double>(mebibytes) / seconds,
                static_cast<unsigned long long>(written));
    std::printf("resident before %ld KiB, peak during %ld KiB, rise %ld KiB\n", before, peak, peak - before);
    loop.stop();
    return (written == size && peak - before <= 16 * 1024) ? 0 : 1;
}
