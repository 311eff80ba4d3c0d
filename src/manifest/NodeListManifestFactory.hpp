// Hands out loaded node lists by id (the partner id) from the manifest service. One factory serves the whole
// engine; it holds no mutable state, so any number of threads call it at once. It calls nothing back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace halcyne {

class HttpRequestCanceller;
class HttpRequestFactory;
class HttpSession;
class ManifestReplayGuard;
class ManifestVerifier;
class NodeListManifest;

class NodeListManifestFactory {
public:
    virtual ~NodeListManifestFactory() = default;
    virtual std::shared_ptr<NodeListManifest> Create(const std::string& id) = 0;
};

class HttpNodeListManifestFactory : public NodeListManifestFactory {
public:
    // `host` is host[:port] of the manifest service; requestFactory is not owned. Time-outs in seconds.
    // With a verifier that holds keys (not owned; it outlives the factory) every document must come with a
    // valid signature (SignedXmlHttpManifestSource); without one, documents are taken as they come.
    // A list above maxBytes, or a signature file above maxSignatureBytes, is refused while it is received,
    // and a list of more than maxNodes nodes as it loads (ManifestSizeException); 0 is no limit.
    // With keys and a replay guard (not owned; it outlives the factory), every list must also pass the guard
    // (its stamp names the partner, has not expired and is not older than one accepted before); its sequence
    // is stored once the list loaded. A list that the guard refuses is fetched once more, asking the caches
    // on the way for a fresh copy, before it is refused.
    HttpNodeListManifestFactory(std::string host, HttpRequestFactory* requestFactory,
                                std::int32_t connectTimeout, std::int32_t timeout,
                                const ManifestVerifier* verifier = nullptr, std::uint64_t maxBytes = 0,
                                std::uint64_t maxSignatureBytes = 0, std::size_t maxNodes = 0,
                                ManifestReplayGuard* replayGuard = nullptr);
    HttpNodeListManifestFactory(const HttpNodeListManifestFactory&) = delete;
    HttpNodeListManifestFactory& operator=(const HttpNodeListManifestFactory&) = delete;
    using NodeListManifestFactory::Create;

    // Fetches through the session's request pool (none: a fresh request). With a canceller, another thread
    // may stop the fetch in flight (ManifestStreamException).
    virtual std::shared_ptr<NodeListManifest> Create(
        const std::string& id, std::shared_ptr<HttpSession> session,
        std::shared_ptr<HttpRequestCanceller> canceller = nullptr) = 0;
    // The service URL of the list; ManifestLocatorException when no URL can be formed.
    virtual std::string BuildUrl(const std::string& id) = 0;

protected:
    const std::string host_;
    HttpRequestFactory* const requestFactory_;
    const std::int32_t connectTimeout_;
    const std::int32_t timeout_;
    const ManifestVerifier* const verifier_;  // not owned; may be empty
    const std::uint64_t maxBytes_;
    const std::uint64_t maxSignatureBytes_;
    const std::size_t maxNodes_;
    ManifestReplayGuard* const replayGuard_;  // not owned; may be empty
};

// Node lists as XML documents at http://<host>/nodes/<id>.xml.
class XmlHttpNodeListManifestFactory : public HttpNodeListManifestFactory {
public:
    using HttpNodeListManifestFactory::HttpNodeListManifestFactory;

    // Create(id, no session).
    std::shared_ptr<NodeListManifest> Create(const std::string& id) override;
    // Fetches, parses and loads a StandardNodeListManifest (unless a replay guard applies, nothing is
    // compared with the id).
    std::shared_ptr<NodeListManifest> Create(
        const std::string& id, std::shared_ptr<HttpSession> session,
        std::shared_ptr<HttpRequestCanceller> canceller = nullptr) override;
    // Path "/nodes/" + id + ".xml", the id as one path segment (PathSegment); an id that cannot be one is
    // ManifestLocatorException.
    std::string BuildUrl(const std::string& id) override;
};

}  // namespace halcyne
