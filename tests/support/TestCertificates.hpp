// Certificates for TLS tests, made with the openssl command line in a scratch folder of their own: a
// certificate authority and server certificates that it signs. Used from the test's thread; every call runs
// openssl and throws std::runtime_error with its output when it fails.
#pragma once

#include <string>

#include "support/TestSupport.hpp"

namespace halcyne::test {

struct ServerCertificate {
    std::string certificate;  // PEM file
    std::string key;          // PEM file of its private key (unencrypted)
};

class TestCertificateAuthority {
public:
    // A new self-signed authority (P-256) called `name`, valid for ten years.
    explicit TestCertificateAuthority(const std::string& name);

    // The authority's certificate: the CA bundle that trusts what it signs.
    const std::string& Bundle() const { return bundle_; }

    // A server certificate signed by this authority for `subjectAltName` ("IP:127.0.0.1",
    // "DNS:other.example"), valid from now for `days` days; a negative count gives one that has already
    // expired. `file` names its two files in the authority's folder.
    ServerCertificate Issue(const std::string& file, const std::string& subjectAltName, int days = 30) const;

private:
    ScratchFolder folder_;
    std::string key_;
    std::string bundle_;
};

}  // namespace halcyne::test
