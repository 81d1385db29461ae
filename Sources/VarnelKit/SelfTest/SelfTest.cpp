#include "VarnelKit/SelfTest/SelfTest.hpp"

#include <exception>

namespace varnel::SelfTest {

void registerAll(TestHarness& harness) {
    registerJobPayloadTests(harness);
    registerEnrollmentTests(harness);
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
