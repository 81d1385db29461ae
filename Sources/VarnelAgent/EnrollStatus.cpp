#include "CLI.hpp"
#include "VarnelKit/Agent/DataFolder.hpp"
#include "VarnelKit/Agent/StoredEnrollment.hpp"
#include "VarnelKit/Support/MachineIdentity.hpp"
#include "VarnelKit/Support/NumberText.hpp"
#include "VarnelKit/Support/Paths.hpp"

namespace varnel::CLI {

namespace {

const char* const notEnrolled = "Not enrolled. Run: varnel-agent enroll --server <url> --code <code>";

} // namespace

Awaitable<void> enroll(const Options& options, Environment& environment) {
    const std::string* server = options.value("server");
    const std::string* code = options.value("code");
    if (!code)
        throw CLIError::usage("--code VRNL-XXXX-XXXX is required");
    // Refused before the code is sent, which works only once: the enrollment could not be kept.
    if (auto refused = DataFolder::refusalToWrite(Paths::applicationSupport()))
        throw *refused;
    std::string serverText = server ? *server : std::string();
    std::string codeText = *code;
    const Enrollment::Success enrolled =
        co_await environment.services.enroll(std::move(serverText), std::move(codeText));
    print(environment.out, "Enrolled as \"" + shown(enrolled.deviceName) + "\" (device " +
                               NumberText::integer(enrolled.deviceId) + ").");
    print(environment.out, "Token stored in the Keychain. Start the agent with: varnel-agent run");
}

void status(Environment& environment) {
    // Shows what is stored and never fails, so scripts may rely on its exit status: a settings
    // file that breaks the enrollment's rules, or a file someone else could have changed, is shown
    // as the reason it is not used.
    StoredEnrollment stored;
    try {
        stored = StoredEnrollment::load(CredentialStore::deviceToken());
    } catch (const RefusedFile& refused) {
        print(environment.out, shown(refused.description()));
        return;
    }
    const auto& settings = stored.settings;
    if (!settings) {
        print(environment.out, notEnrolled);
        return;
    }
    const bool hasToken = stored.token.has_value();
    const auto& reverb = settings->reverb;
    print(environment.out,
          "Device:   " + shown(settings->deviceName) + " (id " + NumberText::integer(settings->deviceId) + ")");
    print(environment.out, "Server:   " + shown(settings->serverURL.buffer()));
    print(environment.out, "Reverb:   " + shown(reverb.scheme) + "://" + shown(reverb.host) + ":" +
                               NumberText::integer(reverb.port));
    print(environment.out,
          std::string("Token:    ") + (hasToken ? "present in Keychain" : "MISSING — re-enroll"));
    print(environment.out, "Machine:  " + shown(MachineIdentity::platformUUID().value_or("unknown")));
}

} // namespace varnel::CLI
