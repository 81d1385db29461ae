#include "VarnelKit/Agent/ReverbClient.hpp"
#include "VarnelKit/SelfTest/SelfTest.hpp"

namespace varnel::SelfTest {

void registerPusherParsingTests(TestHarness& h) {
    const std::string suite = "Pusher envelope parsing";

    h.test(suite, "reads a job id from a nested JSON string", [](TestHarness::Context& c) {
        const json::Value data = R"({"job_id":8814})";
        c.assertEqual(ReverbClient::nestedInt(&data, "job_id"), std::optional<std::int64_t>(8814));
    });

    h.test(suite, "reads a job id from a nested object", [](TestHarness::Context& c) {
        const json::Value data = json::Value{{"job_id", 42}};
        c.assertEqual(ReverbClient::nestedInt(&data, "job_id"), std::optional<std::int64_t>(42));
    });

    h.test(suite, "reads a socket id", [](TestHarness::Context& c) {
        const json::Value data = R"({"socket_id":"1234.5678"})";
        c.assertEqual(ReverbClient::nestedString(&data, "socket_id"),
                      std::optional<std::string>("1234.5678"));
    });

    h.test(suite, "a pong is an acknowledgement, not an unknown event",
           [](TestHarness::Context& c) { c.assertTrue(ReverbClient::isAcknowledgement("pusher:pong")); });

    h.test(suite, "events that ask for something are not acknowledgements", [](TestHarness::Context& c) {
        for (const char* event :
             {"job.created", "job.cancelled", "printers.rescan", "device.reconnect", "pusher:ping"}) {
            c.assertFalse(ReverbClient::isAcknowledgement(event),
                          std::string(event) + " must still be handled");
        }
    });

    h.test(suite, "returns nil for missing keys", [](TestHarness::Context& c) {
        const json::Value other = R"({"other":1})";
        const json::Value notJson = "not json";
        c.assertNil(ReverbClient::nestedInt(&other, "job_id"));
        c.assertNil(ReverbClient::nestedString(&notJson, "socket_id"));
    });
}

} // namespace varnel::SelfTest
