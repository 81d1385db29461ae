#include "FolderOpener.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <unistd.h>

extern char** environ;

namespace varnel::CLI {

bool openFolder(const std::filesystem::path& folder, const std::filesystem::path& program) {
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return false;
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return false;
    }
    for (const int descriptor : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        posix_spawn_file_actions_addopen(&actions, descriptor, "/dev/null",
                                         descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    }
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);

    std::string path = program.string();
    std::string argument = folder.string();
    char* argv[] = {path.data(), argument.data(), nullptr};
    pid_t child = -1;
    const int failed = posix_spawn(&child, path.c_str(), &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return failed == 0;
}

} // namespace varnel::CLI
