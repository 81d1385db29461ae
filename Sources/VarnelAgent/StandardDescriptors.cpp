#include "StandardDescriptors.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace varnel::CLI {

void reopenMissingStandardDescriptors() {
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (::fcntl(descriptor, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lower ones are open by now, so this takes the missing number itself.
        const int opened = ::open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != descriptor) {
            (void)::dup2(opened, descriptor);
            ::close(opened);
        }
    }
}

} // namespace varnel::CLI
