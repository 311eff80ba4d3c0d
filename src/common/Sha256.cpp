#include "common/Sha256.hpp"

#include <new>
#include <stdexcept>

#include <openssl/evp.h>

namespace halcyne {

namespace {

// The implementation is looked up once per process rather than on every start of a digest.
const EVP_MD* Algorithm() {
    static EVP_MD* const fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return fetched != nullptr ? fetched : EVP_sha256();
}

void Start(EVP_MD_CTX* context) {
    if (EVP_DigestInit_ex(context, Algorithm(), nullptr) != 1) {
        throw std::runtime_error("Sha256: libcrypto cannot start a SHA-256 digest");
    }
}

}  // namespace

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    if (context_ == nullptr) {
        throw std::bad_alloc();
    }
    try {
        Start(context_);
    } catch (...) {
        EVP_MD_CTX_free(context_);
        throw;
    }
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(context_);
}

void Sha256::Update(const void* data, std::size_t size) {
    if (size != 0 && EVP_DigestUpdate(context_, data, size) != 1) {
        throw std::runtime_error("Sha256: libcrypto failed to hash");
    }
}

Sha256::Digest Sha256::Final() {
    Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_, digest.data(), &length) != 1 || length != digest.size()) {
        throw std::runtime_error("Sha256: libcrypto failed to finish a digest");
    }
    Start(context_);
    return digest;
}

std::string Sha256::ToHex(const Digest& digest) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * digest.size());
    for (const std::uint8_t byte : digest) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0f]);
    }
    return text;
}

}  // namespace halcyne
