// Hands out loaded package manifests by package reference (see PackageRef.hpp) from the manifest service.
// One factory serves the whole engine; it holds no mutable state, so any number of threads (the manifest
// works on work-manager threads) call it at once. It calls nothing back.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace halcyne {

class HttpRequestCanceller;
class HttpRequestFactory;
class HttpSession;
class ManifestReplayGuard;
class ManifestVerifier;
class SharedFileFactory;
class PackageManifest;

class PackageManifestFactory {
public:
    virtual ~PackageManifestFactory() = default;
    // The loaded manifest named by `ref`; throws the ManifestException family (see the implementations).
    virtual std::shared_ptr<PackageManifest> Create(const std::string& ref) = 0;
    // Whether the manifest is the one `ref` names: the same package id and, when `ref` names a version, the
    // same version id (exact comparisons).
    virtual bool Matches(std::shared_ptr<const PackageManifest> manifest, const std::string& ref) = 0;
};

class HttpPackageManifestFactory : public PackageManifestFactory {
public:
    // `host` is host[:port] of the manifest service; requestFactory is not owned. Time-outs in seconds.
    // With a verifier that holds keys (not owned; it outlives the factory) every document must come with a
    // valid signature (SignedXmlHttpManifestSource), and every file that will be made executable
    // (IsExecutableFile with `executables`: the run file, the marked files, and for a manifest that marks
    // none the files of a program's extension) must carry a SHA-256; without one, documents are taken as
    // they come. `executables` is not owned; none: the run file and the marked files must carry one.
    // A manifest above maxBytes, or a signature file above maxSignatureBytes, is refused while it is
    // received (ManifestSizeException); 0 is no limit.
    // With keys and a replay guard (not owned; it outlives the factory), a current manifest must also pass
    // the guard (its stamp names the package, has not expired and is not older than one accepted before);
    // its sequence is stored once nothing else refuses it; one that the guard refuses is fetched once more,
    // asking the caches on the way for a fresh copy, before it is refused. A manifest of a version asked for
    // by name is not held to the guard.
    HttpPackageManifestFactory(std::string host, HttpRequestFactory* requestFactory,
                               std::int32_t connectTimeout, std::int32_t timeout,
                               const ManifestVerifier* verifier = nullptr,
                               SharedFileFactory* executables = nullptr, std::uint64_t maxBytes = 0,
                               std::uint64_t maxSignatureBytes = 0,
                               ManifestReplayGuard* replayGuard = nullptr);
    HttpPackageManifestFactory(const HttpPackageManifestFactory&) = delete;
    HttpPackageManifestFactory& operator=(const HttpPackageManifestFactory&) = delete;
    using PackageManifestFactory::Create;

    bool Matches(std::shared_ptr<const PackageManifest> manifest, const std::string& ref) override;
    // Fetches through the session's request pool (none: a fresh request). With a canceller, another thread
    // may stop the fetch in flight (ManifestStreamException).
    virtual std::shared_ptr<PackageManifest> Create(
        const std::string& ref, std::shared_ptr<HttpSession> session,
        std::shared_ptr<HttpRequestCanceller> canceller = nullptr) = 0;
    // The service URL of the manifest; ManifestLocatorException when no URL can be formed.
    virtual std::string BuildUrl(const std::string& ref) = 0;

protected:
    // With keys configured: ManifestTrustException naming the first file that will be made executable (the
    // run file, or another executable) and carries no SHA-256, since a signed deployment runs only files
    // it can hash.
    void RequireFileHashes(const PackageManifest& manifest, const std::string& url) const;

    const std::string host_;
    HttpRequestFactory* const requestFactory_;
    const std::int32_t connectTimeout_;
    const std::int32_t timeout_;
    const ManifestVerifier* const verifier_;  // not owned; may be empty
    SharedFileFactory* const executables_;    // not owned; may be empty
    const std::uint64_t maxBytes_;
    const std::uint64_t maxSignatureBytes_;
    ManifestReplayGuard* const replayGuard_;  // not owned; may be empty
};

// Package manifests as XML documents at http://<host>/manifests/<package>/<version or "current">.xml.
class XmlHttpPackageManifestFactory : public HttpPackageManifestFactory {
public:
    using HttpPackageManifestFactory::HttpPackageManifestFactory;

    // Create(ref, no session).
    std::shared_ptr<PackageManifest> Create(const std::string& ref) override;
    // Fetches, parses and loads a StandardPackageManifest; a manifest that does not match `ref` is
    // ManifestLocatorException. Request failures as HttpManifestSource::Fetch throws them; content that is
    // not a package manifest is ManifestParseException.
    std::shared_ptr<PackageManifest> Create(
        const std::string& ref, std::shared_ptr<HttpSession> session,
        std::shared_ptr<HttpRequestCanceller> canceller = nullptr) override;
    // Path "/manifests/" + ref, then "/current" when ref holds no "/", then ".xml".
    std::string BuildUrl(const std::string& ref) override;
};

}  // namespace halcyne
