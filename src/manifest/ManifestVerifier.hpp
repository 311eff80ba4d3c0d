// The Ed25519 public keys that a deployment trusts for its package manifests and node lists, and the check
// of a document against its detached signature. Built once by the engine; the manifest factories call Check
// from the manifest works' threads at once (it holds no mutable state). It calls nothing back.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace halcyne {

inline constexpr std::size_t Ed25519KeySize = 32;
inline constexpr std::size_t Ed25519SignatureSize = 64;
// The most signature lines a detached signature file may hold.
inline constexpr std::size_t MaxSignatureLines = 8;

// The raw keys of a list of base64 Ed25519 public keys separated by commas (white space around each key is
// ignored). An empty or blank list holds no key. Throws std::invalid_argument naming the first key that
// is not the base64 form of 32 bytes (an empty piece between commas included).
std::vector<std::string> ParseManifestKeys(const std::string& list);

enum class SignatureCheck {
    Valid,      // one of the keys signed the document
    Malformed,  // no line of the signature text is the base64 form of 64 bytes, or it has too many lines
    Mismatch,   // a well-formed signature that no key verifies for these bytes
};

class ManifestVerifier {
public:
    // `keyList` as ParseManifestKeys reads it. A list that does not parse is kept as an error instead of
    // thrown: such a verifier still counts as configured and refuses every document (a deployment that
    // stamped keys never falls back to trusting anything).
    explicit ManifestVerifier(const std::string& keyList);

    // Whether the deployment stamped any key (a malformed list counts).
    bool Configured() const { return configured_; }
    // Why the list was refused; empty when it parsed.
    const std::string& KeyError() const { return keyError_; }
    std::size_t KeyCount() const { return keys_.size(); }

    // Checks `signature`, the text of a detached signature file, against the exact bytes of `document`.
    // The file holds one to MaxSignatureLines signatures, one per line (base64 of the 64 signature bytes;
    // blanks around each and blank lines are ignored); the document is valid when any line verifies under
    // any key. A malformed line is passed over; when no line is well-formed, or there are more lines than
    // MaxSignatureLines, the text is Malformed.
    SignatureCheck Check(std::string_view document, std::string_view signature) const;

private:
    bool configured_ = false;
    std::string keyError_;
    std::vector<std::string> keys_;  // raw 32-byte public keys
};

// Whether one raw Ed25519 public key verifies a raw 64-byte signature of `document` (OpenSSL's EVP).
bool VerifyEd25519(const std::string& key, std::string_view document, const std::string& signature);

}  // namespace halcyne
