// How long the ZPL driver takes to prepare a large payload: plain ZPL against commands whose letters
// upper-case to more than one character. Prints the best of a few runs of each; not a test.
#include "VarnelKit/Language/ZplDriver.hpp"
#include "VarnelKit/Protocol/JobError.hpp"

#include <algorithm>
#include <chrono>
#include <iomanip>
#include <iostream>
#include <string>

namespace {

constexpr std::size_t payloadSize = 4 * 1024 * 1024;

std::string repeatedTo(std::string_view unit, std::size_t size) {
    std::string text;
    text.reserve(size + unit.size());
    while (text.size() < size)
        text += unit;
    return text;
}

double bestSeconds(const varnel::ZplDriver& driver, const varnel::Bytes& payload, bool& refused) {
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        const auto start = std::chrono::steady_clock::now();
        try {
            (void)driver.prepare(payload, 1);
            refused = false;
        } catch (const varnel::JobError&) {
            refused = true;
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

} // namespace

int main() {
    const varnel::ZplDriver driver;
    const struct {
        const char* name;
        std::string unit;
    } payloads[] = {
        {"plain ZPL", "^XA^FO50,50^A0N,30,30^FDHello^FS^XZ\n"},
        {"^\xC3\x9F\xC3\x9F repeated", "^\xC3\x9F\xC3\x9F"},
    };
    for (const auto& payload : payloads) {
        const varnel::Bytes bytes = varnel::bytesOf(repeatedTo(payload.unit, payloadSize));
        bool refused = false;
        const double seconds = bestSeconds(driver, bytes, refused);
        std::cout << payload.name << ", " << bytes.size() << " bytes: " << std::fixed << std::setprecision(3)
                  << seconds << " s (" << (refused ? "refused" : "prepared") << ")\n";
    }
    return 0;
}
