#include "VarnelKit/SelfTest/SelfTest.hpp"

#include <optional>
#include <string>

namespace varnel::SelfTest {

namespace {

using AgentUpdate = VarnelAPIClient::AgentUpdate;

const std::string zeroChecksum(64, '0');
const std::string downloadURL = "https://downloads.varnel.example/Varnel.dmg";
const std::string notesURL = "https://notes.varnel.test/notes";

// One key per line, as a server writes it when it pretty-prints.
const std::string fullOffer = R"({
  "version": "2.4.0",
  "download_url": "https://downloads.varnel.example/Varnel.dmg",
  "sha256": "0000000000000000000000000000000000000000000000000000000000000000",
  "notes_url": "https://notes.varnel.test/notes",
  "required": true
})";
const std::string offerWithoutNotes =
    R"({"version": "2.4.0", "download_url": ")" + downloadURL + R"(", "sha256": ")" + zeroChecksum + R"("})";
const std::string offerWithoutChecksum = R"({"version": "2.4.0", "download_url": ")" + downloadURL + R"("})";
const std::string offerWithoutDownload = R"({"version": "2.4.0"})";

// The one decoder of the suite: an offer is a whole record or nothing.
AgentUpdate decode(const std::string& text) {
    return AgentUpdate::fromJson(json::parse(text));
}

// Decodes under the no-throw assertion; the checks that follow run only with a record in hand.
std::optional<AgentUpdate> decoded(TestHarness::Context& c, const std::string& text,
                                   SourceLocation location = SourceLocation::current()) {
    std::optional<AgentUpdate> update;
    c.assertNoThrow([&] { update = decode(text); }, location);
    return update;
}

std::optional<std::string> notesText(const AgentUpdate& update) {
    if (!update.notesURL)
        return std::nullopt;
    return std::string(update.notesURL->buffer());
}

} // namespace

void registerAgentUpdateTests(TestHarness& h) {
    const std::string suite = "Update advice";

    h.test(suite, "decodes a full offer", [](TestHarness::Context& c) {
        const auto update = decoded(c, fullOffer);
        if (!update)
            return;
        c.assertEqual(update->version, "2.4.0");
        c.assertEqual(notesText(*update), std::optional<std::string>(notesURL));
        c.assertTrue(update->required);
    });

    h.test(suite, "release notes are optional", [](TestHarness::Context& c) {
        const auto update = decoded(c, offerWithoutNotes);
        if (!update)
            return;
        c.assertNil(notesText(*update));
    });

    h.test(suite, "a missing required flag reads as merely available", [](TestHarness::Context& c) {
        const auto update = decoded(c, offerWithoutNotes);
        if (!update)
            return;
        c.assertFalse(update->required);
    });

    h.test(suite, "an offer with no checksum is refused",
           [](TestHarness::Context& c) { c.assertThrows([] { (void)decode(offerWithoutChecksum); }); });

    h.test(suite, "an offer with no download is refused rather than half-read",
           [](TestHarness::Context& c) { c.assertThrows([] { (void)decode(offerWithoutDownload); }); });
}

} // namespace varnel::SelfTest
