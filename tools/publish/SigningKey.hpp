// The publisher's Ed25519 signing key: generated once by the studio, kept private, and used to sign every
// package manifest and node list the site serves. The updaters of the deployment carry the public half
// (string id 133). Used from one thread at a time; a key may be shared read-only between publishers.
#pragma once

#include <memory>
#include <string>
#include <string_view>

typedef struct evp_pkey_st EVP_PKEY;

namespace halcyne::publish {

class SigningKey {
public:
    // A new key that lives only in memory.
    static SigningKey New();
    // Creates a new key: the private key as PEM (PKCS#8, as `openssl genpkey -algorithm ed25519` writes it)
    // in a new file at `path` with mode 0600, never replacing an existing file, then the public key as one
    // base64 line in `path` + ".pub". PublishError naming the file on any failure (an existing key included).
    static SigningKey Generate(const std::string& path);
    // Reads a PEM private Ed25519 key. PublishError naming the file when it cannot be read or is not one.
    static SigningKey Load(const std::string& path);

    // The raw public key in base64: one entry of the updater's key list.
    std::string PublicKeyBase64() const;
    // The detached signature of `document`: the base64 of its 64 bytes and a line feed.
    std::string Sign(std::string_view document) const;

private:
    explicit SigningKey(std::shared_ptr<EVP_PKEY> key) : key_(std::move(key)) {}

    std::shared_ptr<EVP_PKEY> key_;
};

// The base64 public key in a file: a line as SigningKey::Generate writes it (white space around it ignored)
// or a PEM public key ("-----BEGIN PUBLIC KEY-----", as `openssl pkey -pubout` writes it). PublishError
// naming the file when it holds neither form of an Ed25519 key.
std::string ReadPublicKeyFile(const std::string& path);

// The name of a document's detached signature beside it.
inline std::string SignaturePath(const std::string& documentPath) {
    return documentPath + ".sig";
}

}  // namespace halcyne::publish
