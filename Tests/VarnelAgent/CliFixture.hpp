#pragma once

#include "CLI.hpp"
#include "VarnelKit/Agent/CredentialStore.hpp"
#include "VarnelKit/Agent/TemporaryDataHome.hpp"
#include "VarnelKit/Support/Url.hpp"
#include "VarnelKit/Transport/FakeCupsApi.hpp"

#include <exception>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace varnel::testing {

// What a scripted heartbeat gives: an offer or none, or a failure.
struct HeartbeatOutcome {
    std::optional<VarnelAPIClient::AgentUpdate> offer;
    std::exception_ptr failure;
};

inline Awaitable<std::optional<VarnelAPIClient::AgentUpdate>> scriptedHeartbeat(HeartbeatOutcome outcome) {
    if (outcome.failure)
        std::rethrow_exception(outcome.failure);
    co_return outcome.offer;
}

// The probe's findings by key: status and message; printers not named come back unchanged.
struct ProbeFinding {
    std::string status;
    std::optional<std::string> message;
};

inline Awaitable<std::vector<ReportedPrinter>> scriptedProbe(std::vector<ReportedPrinter> printers,
                                                             std::map<std::string, ProbeFinding> findings) {
    for (auto& printer : printers) {
        const auto found = findings.find(printer.key);
        if (found == findings.end())
            continue;
        printer.status = found->second.status;
        if (found->second.message)
            printer.statusMessage = found->second.message;
    }
    co_return printers;
}

inline Awaitable<Enrollment::Success> scriptedEnrollment(std::optional<Enrollment::Success> success,
                                                         std::exception_ptr failure) {
    if (failure)
        std::rethrow_exception(failure);
    co_return *success;
}

inline ReportedPrinter makePrinter(std::string key, std::string name, PrinterTransport transport,
                                   PrinterLanguage language, std::string status = "online") {
    ReportedPrinter printer;
    printer.key = std::move(key);
    printer.name = std::move(name);
    printer.transport = transport;
    printer.language = language;
    printer.status = std::move(status);
    return printer;
}

// One command run in-process, in a data folder of its own, with every service scripted and its
// calls counted: a test sees what the command printed and what it reached.
class CliFixture : public ::testing::Test {
public:
    CliFixture() {
        CLI::Services& services = environment.services;
        services.discoverPrinters = [this] {
            ++discoveries;
            return discovered;
        };
        services.probePrinters = [this](std::vector<ReportedPrinter> printers) {
            ++probes;
            return scriptedProbe(std::move(printers), findings);
        };
        services.cups = cups;
        services.enroll = [this](std::string server, std::string code) {
            enrollments.push_back({server, code});
            return scriptedEnrollment(enrolled, enrollmentFailure);
        };
        services.heartbeat = [this](AgentSettings, std::string token) {
            heartbeatTokens.push_back(token);
            return scriptedHeartbeat(heartbeat);
        };
        services.openFolder = [this](const std::filesystem::path& folder) {
            openedFolders.push_back(folder);
        };
    }

    int run(const std::vector<std::string>& words) {
        out.str("");
        err.str("");
        return CLI::dispatch(words, environment);
    }

    // What the command printed, line by line (the last line break ends the last line).
    std::vector<std::string> outLines() const {
        std::vector<std::string> lines;
        std::istringstream stream(out.str());
        for (std::string line; std::getline(stream, line);)
            lines.push_back(line);
        return lines;
    }

    // Settings as enrollment leaves them, and the token unless told otherwise.
    static void enrollLocally(bool withToken = true, std::string reverbScheme = "https",
                              std::string server = "https://print.example.com") {
        AgentSettings settings;
        settings.deviceId = 42;
        settings.deviceName = "Front Desk";
        settings.serverURL = *parseAbsoluteUrl(server);
        settings.reverb = ReverbSettings{"app-key", "ws.example.com", 443, std::move(reverbScheme)};
        settings.save();
        if (withToken)
            CredentialStore::deviceToken().save("device-token-1");
    }

    TemporaryDataHome home;
    std::ostringstream out;
    std::ostringstream err;
    CLI::Environment environment{out, err, {}};

    std::shared_ptr<FakeCupsApi> cups = std::make_shared<FakeCupsApi>();
    std::vector<ReportedPrinter> discovered;
    std::map<std::string, ProbeFinding> findings;
    HeartbeatOutcome heartbeat;
    std::optional<Enrollment::Success> enrolled = Enrollment::Success{7, "Packing Station"};
    std::exception_ptr enrollmentFailure;

    int discoveries = 0;
    int probes = 0;
    std::vector<std::pair<std::string, std::string>> enrollments;
    std::vector<std::string> heartbeatTokens;
    std::vector<std::filesystem::path> openedFolders;
};

} // namespace varnel::testing
