#include "Bench/TestCertificates.hpp"

#include "TemporaryDirectory.hpp"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

namespace varnel::testing {

namespace {

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("failed: " + command);
}

TestCertificates makeCertificates(const std::filesystem::path& folder) {
    std::ofstream(folder / "server.ext") << "subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                                            "basicConstraints=CA:FALSE\n"
                                            "keyUsage=critical,digitalSignature\n"
                                            "extendedKeyUsage=serverAuth\n";
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    const std::string quiet = " >/dev/null 2>&1";
    const std::string in = "cd '" + folder.string() + "' && ";
    for (const std::string name : {"ca", "other-ca"}) {
        run(in + "openssl req -x509" + ec + " -keyout " + name + ".key -out " + name +
            ".pem -days 2 -subj '/CN=Varnel Test " + name + "'" +
            " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign" +
            quiet);
    }
    run(in + "openssl req" + ec + " -keyout server.key -out server.csr -subj /CN=127.0.0.1" + quiet);
    run(in +
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2" +
        " -extfile server.ext" + quiet);
    return TestCertificates{folder, folder / "ca.pem", folder / "other-ca.pem", folder / "server.pem",
                            folder / "server.key"};
}

// Removed with the certificates in it when the process ends.
struct CertificateFolder {
    TemporaryDirectory directory;
    TestCertificates certificates = makeCertificates(directory.path());
};

} // namespace

const TestCertificates& TestCertificates::shared() {
    static const CertificateFolder folder;
    return folder.certificates;
}

} // namespace varnel::testing
