#pragma once

#include "VarnelKit/Agent/JobRunner.hpp"
#include "VarnelKit/Agent/VarnelAPIClient.hpp"
#include "VarnelKit/Agent/VarnelAgent.hpp"
#include "VarnelKit/Protocol/JobPayload.hpp"
#include "VarnelKit/SelfTest/TestHarness.hpp"

#include <cstddef>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace varnel::SelfTest {

// Registers every suite in the report's order, runs them and prints the report. True when every
// assertion held. Never throws.
bool run(std::FILE* out = stdout);

// Fills a harness with every suite, in the report's order, without running anything.
void registerAll(TestHarness& harness);

// The suites, each appending its cases under its own suite name.
void registerZplTests(TestHarness& harness);
void registerTsplTests(TestHarness& harness);
void registerDriverRegistryTests(TestHarness& harness);
void registerLanguageInferenceTests(TestHarness& harness);
void registerTargetParsingTests(TestHarness& harness);
void registerTransportResolverTests(TestHarness& harness);
void registerJobPayloadTests(TestHarness& harness);
void registerBackoffTests(TestHarness& harness);
void registerPusherParsingTests(TestHarness& harness);
void registerJobRunnerTests(TestHarness& harness);
void registerProbeTests(TestHarness& harness);
void registerQueueProbeTests(TestHarness& harness);
void registerDeviceUriTests(TestHarness& harness);
void registerZplStructureTests(TestHarness& harness);
void registerDymoTests(TestHarness& harness);
void registerEnrollmentTests(TestHarness& harness);
void registerPdfTests(TestHarness& harness);
void registerAgentStatusTests(TestHarness& harness);
void registerAgentUpdateTests(TestHarness& harness);
void registerAgentLifecycleTests(TestHarness& harness);
void registerUpdaterTests(TestHarness& harness);
void registerDiagnosticsTests(TestHarness& harness);

// Fixtures shared by the suites.
// A job as the agent receives one: decoded from JSON text. The payload goes in unescaped.
JobPayload makeJob(const std::optional<std::string>& payload, const std::string& encoding,
                   const std::optional<json::Date>& expiresAt);
// A server client aimed at a loopback port where nothing listens, over the real transport and
// without a token: authenticated requests fail before any traffic, others cannot connect.
std::shared_ptr<VarnelAPIClient> makeUnreachableClient();
// A job runner that knows no printer and talks to the unreachable client, remembering at most
// `seenMaxSize` finished jobs and trimming to the newest `seenTargetSize`. Its log is kept in memory.
std::shared_ptr<JobRunner> makeRunner(std::size_t seenMaxSize, std::size_t seenTargetSize);
// An agent that has never been started, on the unreachable client, with the programs' timings
// (every loop sleeps 15 s or more first) and no diagnostics reporter. Opens nothing.
std::shared_ptr<VarnelAgent> makeAgent(const Executor& loop);
// The SHA-256 of the bytes as 64 lower-case hexadecimal digits.
std::string sha256(std::string_view bytes);

} // namespace varnel::SelfTest
