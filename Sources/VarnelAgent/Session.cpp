#include "CLI.hpp"
#include "VarnelKit/Agent/StoredEnrollment.hpp"
#include "VarnelKit/Support/AgentVersion.hpp"

#include <chrono>

namespace varnel::CLI {

Session loadSession(bool /*verbose*/) {
    // A settings file that breaks the enrollment's rules, or a file someone else could have
    // changed, fails the command with the reason.
    auto stored = StoredEnrollment::load(CredentialStore::deviceToken());
    if (!stored.settings)
        throw CLIError::message("Not enrolled. Run: varnel-agent enroll --server <url> --code <code>");
    if (!stored.token)
        throw CLIError::message("No token in the Keychain. Re-enroll this Mac.");
    VarnelAPIClient::Configuration configuration{stored.settings->serverURL, AgentVersion::current,
                                                 std::chrono::duration<double>(30.0)};
    auto api = std::make_shared<VarnelAPIClient>(std::move(configuration), std::move(stored.token));
    return Session{std::move(*stored.settings), std::move(api)};
}

} // namespace varnel::CLI
