#include "SigningKey.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include "SitePublisher.hpp"
#include "common/Base64.hpp"
#include "manifest/ManifestVerifier.hpp"

namespace halcyne::publish {

namespace {

struct MdCtxFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

std::shared_ptr<EVP_PKEY> Own(EVP_PKEY* key) {
    return std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free);
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw PublishError("cannot read " + path + ": " + std::strerror(errno));
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string RawPublicKey(EVP_PKEY* key) {
    std::string raw(Ed25519KeySize, '\0');
    std::size_t size = raw.size();
    if (EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char*>(raw.data()), &size) != 1 ||
        size != Ed25519KeySize) {
        throw PublishError("cannot read the public half of the key");
    }
    return raw;
}

std::string Trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

SigningKey SigningKey::New() {
    auto key = Own(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    if (!key) {
        throw PublishError("cannot generate an Ed25519 key");
    }
    return SigningKey(std::move(key));
}

SigningKey SigningKey::Generate(const std::string& path) {
    const auto key = New().key_;
    const std::unique_ptr<BIO, BioFree> pem(BIO_new(BIO_s_mem()));
    if (!pem || PEM_write_bio_PrivateKey(pem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        throw PublishError("cannot encode the new key");
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(pem.get(), &data);
    // Created exclusively with the final mode: the key is never readable by others, not even for a moment,
    // and an existing key (perhaps the one every updater trusts) is never replaced.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (errno == EEXIST) {
            throw PublishError("key file " + path + " already exists; it is never overwritten");
        }
        throw PublishError("cannot create key file " + path + ": " + std::strerror(errno));
    }
    bool written = ::fchmod(fd, 0600) == 0;
    for (long offset = 0; written && offset < size;) {
        const ssize_t n = ::write(fd, data + offset, static_cast<std::size_t>(size - offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        written = n > 0;
        offset += n > 0 ? n : 0;
    }
    written = ::fsync(fd) == 0 && written;
    written = ::close(fd) == 0 && written;
    if (!written) {
        const std::string reason = std::strerror(errno);
        ::unlink(path.c_str());
        throw PublishError("cannot write key file " + path + ": " + reason);
    }
    SigningKey signingKey(key);
    try {
        WriteFileAtomically(path + ".pub", signingKey.PublicKeyBase64() + "\n");
    } catch (const PublishError&) {
        // Nobody can have used a key whose public half was never written: take it back, so that the next
        // attempt is not refused for an existing key.
        ::unlink(path.c_str());
        throw;
    }
    return signingKey;
}

SigningKey SigningKey::Load(const std::string& path) {
    const std::string text = ReadText(path);
    const std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    EVP_PKEY* raw = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr;
    const auto key = Own(raw);
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_ED25519) {
        throw PublishError("not a PEM Ed25519 private key: " + path);
    }
    return SigningKey(key);
}

std::string SigningKey::PublicKeyBase64() const {
    return EncodeBase64(RawPublicKey(key_.get()));
}

std::string SigningKey::Sign(std::string_view document) const {
    const std::unique_ptr<EVP_MD_CTX, MdCtxFree> context(EVP_MD_CTX_new());
    std::string signature(Ed25519SignatureSize, '\0');
    std::size_t size = signature.size();
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                       reinterpret_cast<const unsigned char*>(document.data()), document.size()) != 1 ||
        size != Ed25519SignatureSize) {
        throw PublishError("cannot sign");
    }
    return EncodeBase64(signature) + "\n";
}

std::string ReadPublicKeyFile(const std::string& path) {
    const std::string text = ReadText(path);
    if (text.find("-----BEGIN PUBLIC KEY-----") != std::string::npos) {
        const std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
        const auto key = Own(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
        if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_ED25519) {
            throw PublishError("not an Ed25519 public key: " + path);
        }
        return EncodeBase64(RawPublicKey(key.get()));
    }
    const std::string line = Trimmed(text);
    const auto raw = DecodeBase64(line);
    if (!raw || raw->size() != Ed25519KeySize) {
        throw PublishError("not an Ed25519 public key (one base64 line or PEM): " + path);
    }
    return line;
}

}  // namespace halcyne::publish
