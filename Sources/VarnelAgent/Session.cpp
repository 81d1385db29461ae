#include "CLI.hpp"
#include "VarnelKit/Agent/CredentialStore.hpp"
#include "VarnelKit/Support/AgentVersion.hpp"

#include <chrono>

namespace varnel::CLI {

Session loadSession(bool /*verbose*/) {
    auto settings = AgentSettings::load();
    if (!settings)
        throw CLIError::message("Not enrolled. Run: varnel-agent enroll --server <url> --code <code>");
    auto token = CredentialStore::deviceToken().load();
    if (!token)
        throw CLIError::message("No token in the Keychain. Re-enroll this Mac.");
    VarnelAPIClient::Configuration configuration{settings->serverURL, AgentVersion::current,
                                                 std::chrono::duration<double>(30.0)};
    auto api = std::make_shared<VarnelAPIClient>(std::move(configuration), std::move(token));
    return Session{std::move(*settings), std::move(api)};
}

} // namespace varnel::CLI
