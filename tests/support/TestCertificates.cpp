#include "support/TestCertificates.hpp"

#include <functional>
#include <stdexcept>
#include <vector>

namespace halcyne::test {

namespace {

void OpenSsl(const std::vector<std::string>& arguments) {
    const ProcessResult result = RunProgram("/usr/bin/openssl", arguments);
    if (result.exitStatus != 0) {
        std::string command = "openssl";
        for (const std::string& argument : arguments) {
            command += " " + argument;
        }
        throw std::runtime_error(command + " failed:\n" + result.output + result.errors);
    }
}

}  // namespace

TestCertificateAuthority::TestCertificateAuthority(const std::string& name)
    : key_(folder_ / "ca.key"), bundle_(folder_ / "ca.pem") {
    OpenSsl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
             key_, "-out", bundle_, "-days", "3650", "-subj", "/CN=" + name, "-addext",
             "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
}

ServerCertificate TestCertificateAuthority::Issue(const std::string& file, const std::string& subjectAltName,
                                                  int days) const {
    const ServerCertificate issued{folder_ / (file + ".pem"), folder_ / (file + ".key")};
    const std::string request = folder_ / (file + ".csr");
    const std::string extensions = folder_ / (file + ".ext");
    WriteFileText(extensions, "subjectAltName=" + subjectAltName +
                                  "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
    OpenSsl({"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
             issued.key, "-out", request, "-subj", "/CN=" + file});
    OpenSsl({"x509", "-req", "-in", request, "-CA", bundle_, "-CAkey", key_, "-set_serial",
             std::to_string(std::hash<std::string>{}(file) >> 1), "-days", std::to_string(days), "-extfile",
             extensions, "-out", issued.certificate});
    return issued;
}

}  // namespace halcyne::test
