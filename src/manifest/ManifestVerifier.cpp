#include "manifest/ManifestVerifier.hpp"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include <openssl/evp.h>

#include "common/Base64.hpp"

namespace halcyne {

namespace {

std::string_view Trim(std::string_view text, std::string_view blanks) {
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const std::size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

std::vector<std::string> ParseManifestKeys(const std::string& list) {
    std::vector<std::string> keys;
    if (Trim(list, " \t\r\n").empty()) {
        return keys;
    }
    std::size_t count = 1;
    for (const char c : list) {
        count += c == ',' ? 1 : 0;
    }
    std::size_t start = 0;
    for (std::size_t index = 1; index <= count; ++index) {
        const std::size_t comma = list.find(',', start);
        const std::string_view piece =
            Trim(std::string_view(list).substr(
                     start, comma == std::string::npos ? std::string::npos : comma - start),
                 " \t\r\n");
        const auto raw = DecodeBase64(piece);
        if (!raw || raw->size() != Ed25519KeySize) {
            throw std::invalid_argument("key " + std::to_string(index) + " of " + std::to_string(count) +
                                        " is not the base64 form of a 32-byte Ed25519 public key");
        }
        keys.push_back(*raw);
        start = comma + 1;
    }
    return keys;
}

bool VerifyEd25519(const std::string& key, std::string_view document, const std::string& signature) {
    if (key.size() != Ed25519KeySize || signature.size() != Ed25519SignatureSize) {
        return false;
    }
    // A key object per check: nothing is shared between the threads that verify at once.
    const std::unique_ptr<EVP_PKEY, PkeyFree> pkey(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(key.data()), key.size()));
    const std::unique_ptr<EVP_MD_CTX, MdCtxFree> context(EVP_MD_CTX_new());
    if (!pkey || !context) {
        throw std::bad_alloc();
    }
    if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) {
        return false;
    }
    return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(), reinterpret_cast<const unsigned char*>(document.data()),
                            document.size()) == 1;
}

ManifestVerifier::ManifestVerifier(const std::string& keyList) {
    try {
        keys_ = ParseManifestKeys(keyList);
        configured_ = !keys_.empty();
    } catch (const std::invalid_argument& error) {
        configured_ = true;
        keyError_ = error.what();
    }
}

SignatureCheck ManifestVerifier::Check(std::string_view document, std::string_view signature) const {
    // One signature per line; blank lines (a trailing line feed among them) are not lines. A publisher keeps
    // the previous document's signature beside the new one, so either document verifies while both may be
    // served.
    const auto forEachLine = [signature](const auto& visit) {
        for (std::size_t start = 0; start < signature.size();) {
            const std::size_t end = std::min(signature.find('\n', start), signature.size());
            const std::string_view line = Trim(signature.substr(start, end - start), " \t\r");
            start = end + 1;
            if (!line.empty() && visit(line)) {
                return;
            }
        }
    };
    std::size_t count = 0;
    forEachLine([&count](std::string_view) { return ++count > MaxSignatureLines; });
    if (count > MaxSignatureLines) {
        return SignatureCheck::Malformed;
    }
    bool wellFormed = false;
    bool valid = false;
    forEachLine([&](std::string_view line) {
        const auto raw = DecodeBase64(line);
        if (!raw || raw->size() != Ed25519SignatureSize) {
            return false;
        }
        wellFormed = true;
        valid = std::any_of(keys_.begin(), keys_.end(),
                            [&](const std::string& key) { return VerifyEd25519(key, document, *raw); });
        return valid;
    });
    return valid ? SignatureCheck::Valid : wellFormed ? SignatureCheck::Mismatch : SignatureCheck::Malformed;
}

}  // namespace halcyne
