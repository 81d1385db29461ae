#pragma once

#include <filesystem>

namespace varnel::testing {

// A certificate authority and a server certificate for 127.0.0.1 and localhost, made with the
// openssl tool once per process, plus a second authority that signed nothing the servers hold.
// The folder is removed when the process ends.
struct TestCertificates {
    std::filesystem::path folder;
    std::filesystem::path caFile;
    std::filesystem::path otherCaFile;
    std::filesystem::path certificateFile;
    std::filesystem::path keyFile;

    static const TestCertificates& shared();
};

} // namespace varnel::testing
