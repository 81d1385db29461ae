#pragma once

namespace varnel::CLI {

// Opens /dev/null on each of descriptors 0, 1 and 2 that the program was started without (a
// service manager or a shell's `>&-` may close them). Left closed, the next descriptor the
// program opens (the loop's wake-up descriptor, the log file, a socket to the server) would take
// the number, and the echo on standard output would write into it. Call it before anything opens
// a descriptor.
void reopenMissingStandardDescriptors();

} // namespace varnel::CLI
