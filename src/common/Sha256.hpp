// SHA-256 through libcrypto's EVP interface, which picks the processor's SHA instructions where it has them.
// Used by the file hash check of the download pipeline and by the publishing tool. One object hashes one
// stream on one thread at a time; separate objects may be used on any threads at once. Nothing is called
// back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

struct evp_md_ctx_st;

namespace halcyne {

class Sha256 {
public:
    using Digest = std::array<std::uint8_t, 32>;

    // Starts a digest. std::bad_alloc when libcrypto has no memory for it, std::runtime_error when it
    // cannot start one.
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // Adds `size` bytes. Holds nothing that needs unwinding, so it may run under a mapped view's fault guard
    // (the object is then in an unknown state and must be discarded). std::runtime_error on failure.
    void Update(const void* data, std::size_t size);
    // The digest of everything added since the start, after which the object starts again.
    // std::runtime_error on failure.
    Digest Final();

    // 64 lower-case hexadecimal digits.
    static std::string ToHex(const Digest& digest);

private:
    evp_md_ctx_st* context_;
};

}  // namespace halcyne
