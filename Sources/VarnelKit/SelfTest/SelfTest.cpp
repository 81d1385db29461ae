#include "VarnelKit/SelfTest/SelfTest.hpp"

#include <exception>

namespace varnel::SelfTest {

void registerAll(TestHarness& harness) {
    registerZplTests(harness);
    registerTsplTests(harness);
    registerDriverRegistryTests(harness);
    registerLanguageInferenceTests(harness);
    registerTargetParsingTests(harness);
    registerTransportResolverTests(harness);
    registerJobPayloadTests(harness);
    registerBackoffTests(harness);
    registerPusherParsingTests(harness);
    registerJobRunnerTests(harness);
    registerProbeTests(harness);
    registerQueueProbeTests(harness);
    registerDeviceUriTests(harness);
    registerZplStructureTests(harness);
    registerDymoTests(harness);
    registerEnrollmentTests(harness);
    registerPdfTests(harness);
    registerAgentStatusTests(harness);
    registerAgentUpdateTests(harness);
    registerAgentLifecycleTests(harness);
    registerUpdaterTests(harness);
    registerDiagnosticsTests(harness);
}

bool run(std::FILE* out) {
    try {
        TestHarness harness;
        registerAll(harness);
        return harness.run(out);
    } catch (const std::exception& e) {
        std::fprintf(out, "\nself-test could not run: %s\n", e.what());
        return false;
    }
}

} // namespace varnel::SelfTest
