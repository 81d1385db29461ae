#include "CLI.hpp"

namespace varnel::CLI {

// Until the library can stop the agent without cutting a label short, the command refuses to
// start it.
Awaitable<void> run(const Options&, Environment&) {
    (void)loadSession(false);
    throw CLIError::message("This build cannot run the agent yet.");
    co_return;
}

} // namespace varnel::CLI
