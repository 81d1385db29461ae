#include "VarnelKit/Agent/ReverbClient.hpp"
#include "VarnelKit/SelfTest/SelfTest.hpp"
#include "VarnelKit/Support/NumberText.hpp"

#include <set>

namespace varnel::SelfTest {

void registerBackoffTests(TestHarness& h) {
    const std::string suite = "Reconnect backoff";

    h.test(suite, "grows and then caps", [](TestHarness::Context& c) {
        const double first = ReverbClient::reconnectDelay(1);
        const double late = ReverbClient::reconnectDelay(20);
        c.assertTrue(first < 1.0, "first retry should be quick, was " + NumberText::shortest(first));
        c.assertTrue(late <= 60.3, "backoff should cap near 60s, was " + NumberText::shortest(late));
        c.assertTrue(first < late);
    });

    h.test(suite, "never exceeds the cap however long the outage runs", [](TestHarness::Context& c) {
        for (const std::int64_t attempt : {30, 100, 1000}) {
            const double delay = ReverbClient::reconnectDelay(attempt);
            c.assertTrue(delay <= 60.3,
                         "attempt " + NumberText::integer(attempt) + " gave " + NumberText::shortest(delay));
        }
    });

    h.test(suite, "applies jitter", [](TestHarness::Context& c) {
        std::set<double> delays;
        for (int draw = 0; draw < 20; ++draw)
            delays.insert(ReverbClient::reconnectDelay(5));
        c.assertTrue(delays.size() >= 2, "backoff appears deterministic");
    });
}

} // namespace varnel::SelfTest
