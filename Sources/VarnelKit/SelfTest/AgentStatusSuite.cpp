#include "VarnelKit/SelfTest/SelfTest.hpp"

#include <string>

namespace varnel::SelfTest {

void registerAgentStatusTests(TestHarness& h) {
    const std::string suite = "Agent status";
    using Status = VarnelAgent::Status;

    h.test(suite, "a refused version is not the same as a revoked credential", [](TestHarness::Context& c) {
        for (const char* version : {"2.0.0", "", "1.0.4"}) {
            c.assertFalse(Status::updateRequired(version) == Status::accessRevoked(),
                          "updateRequired(\"" + std::string(version) + "\") equals accessRevoked");
        }
    });

    h.test(suite, "the required version is carried on the status", [](TestHarness::Context& c) {
        const auto status = Status::updateRequired("2.4.0-beta.1");
        c.assertTrue(status.kind() == Status::Kind::updateRequired, "the case was lost");
        c.assertEqual(status.minimumVersion(), std::string("2.4.0-beta.1"));
        c.assertEqual(status, Status::updateRequired("2.4.0-beta.1"));
        c.assertFalse(status == Status::updateRequired("2.4.0"), "two versions compared equal");
    });

    h.test(suite, "neither stopped state can be mistaken for connected", [](TestHarness::Context& c) {
        c.assertFalse(Status::updateRequired("9.9.9") == Status::connected(), "updateRequired equals connected");
        c.assertFalse(Status::accessRevoked() == Status::connected(), "accessRevoked equals connected");
        c.assertTrue(Status::connected() == Status::connected());
    });
}

} // namespace varnel::SelfTest
