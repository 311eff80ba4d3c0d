// Where a manifest's bytes come from and how they become a property tree: the manifest service over HTTP
// (HttpManifestSource, XmlHttpManifestSource) and the stored-transfer store. A source is used by one thread
// at a time (the loading thread); an HTTP source's fetch may be cancelled from another thread through its
// canceller.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

#include "manifest/Manifest.hpp"

namespace halcyne {

class InputManifest;
class HttpRequestFactory;
class ManifestVerifier;
class HttpRequestCanceller;
class HttpSession;

// What a manifest service document is called in messages, and how large it and its signature file may be
// (bytes; 0 is no limit).
struct ManifestDocumentLimits {
    std::string kind = "manifest";
    std::uint64_t maxBytes = 0;
    std::uint64_t maxSignatureBytes = 0;
};

class ManifestSource {
public:
    ManifestSource() = default;
    ManifestSource(const ManifestSource&) = delete;
    ManifestSource& operator=(const ManifestSource&) = delete;
    virtual ~ManifestSource() = default;

    // Appends the bytes of the manifest named `ref` to `into`. Throws the ManifestException family.
    virtual void Fetch(const std::string& ref, std::iostream& into) = 0;
    // Reads the bytes into a tree. Throws ManifestParseException.
    virtual void Parse(std::iostream& from, boost::property_tree::ptree& into) = 0;

    // FetchText, ParseText, then manifest.Load(tree); exceptions of every step pass through.
    void Load(const std::string& ref, InputManifest& manifest);

protected:
    // The bytes of the manifest named `ref`, replacing `into`. By default Fetch into a string stream.
    virtual void FetchText(const std::string& ref, std::string& into);
    // Reads the bytes into a tree; `text` may be used up (parsed in place). A reader that can may hand a
    // package manifest's file elements to `onFile` instead of the tree (ReadManifestXmlInPlace). By default
    // Parse over a string stream of the text, everything into the tree.
    virtual void ParseText(std::string& text, boost::property_tree::ptree& into,
                           const ManifestFileSink& onFile);
};

// Fetches one fixed URL with a GET (the reference is not used). With a session the request comes from the
// session's pool; with a canceller another thread may stop the request in flight (the fetch then fails with
// ManifestStreamException). The body is received into one string that never grows past the document's
// limit: a larger document, whether its length is announced or not, is ManifestSizeException naming the
// document, its URL and the limit.
class HttpManifestSource : public ManifestSource {
public:
    HttpManifestSource(std::string url, HttpRequestFactory* requestFactory,
                       std::shared_ptr<HttpSession> session, std::int32_t connectTimeout,
                       std::int32_t timeout, std::shared_ptr<HttpRequestCanceller> canceller = nullptr,
                       ManifestDocumentLimits limits = {});

    // Success with the stream in good order returns. BadUrl and ClientError (the service says the manifest is
    // not there) throw ManifestLocatorException, OutOfMemory std::bad_alloc, and every other result
    // ManifestStreamException; the exceptions carry the request's error message. Request construction
    // throws std::runtime_error when libcurl cannot be used.
    void Fetch(const std::string& ref, std::iostream& into) override;

    // Every fetch from now on asks the caches on the way for copies validated with the origin server
    // (HttpRequestParams::revalidate): for a second look at a document whose cached copy was refused.
    void Revalidate() { revalidate_ = true; }

protected:
    void FetchText(const std::string& ref, std::string& into) override;
    // Appends the body of any URL to `into` with this source's request settings and the same mapping of
    // results; a body above maxBytes (0: no limit) is ManifestSizeException naming `kind`.
    void FetchUrl(const std::string& url, std::string& into, std::uint64_t maxBytes, const std::string& kind);

    const std::string url_;
    HttpRequestFactory* const requestFactory_;  // not owned
    const std::shared_ptr<HttpSession> session_;
    const std::int32_t connectTimeout_;  // seconds
    const std::int32_t timeout_;         // seconds
    const std::shared_ptr<HttpRequestCanceller> canceller_;
    const ManifestDocumentLimits limits_;
    bool revalidate_ = false;
};

// The manifest service's documents: XML, with the attributes promoted.
class XmlHttpManifestSource : public HttpManifestSource {
public:
    using HttpManifestSource::HttpManifestSource;

    // Any failure (not XML, nested too deeply) is ManifestParseException; std::bad_alloc passes through.
    void Parse(std::iostream& from, boost::property_tree::ptree& into) override;

protected:
    // The same, parsing the received bytes in place, with the file elements handed to `onFile`.
    void ParseText(std::string& text, boost::property_tree::ptree& into,
                   const ManifestFileSink& onFile) override;
};

// A manifest service document that must come with a detached signature, the base64 text of an Ed25519
// signature over the document's exact bytes, at its URL + ".sig". Fetch reads the document, then its
// signature, and hands the bytes on only when one of the verifier's keys signed them, so nothing parses
// bytes that no key vouches for. A missing (4xx), malformed or wrong signature, or a verifier whose key list
// is malformed, is ManifestTrustException naming the URL and the reason; network failures of either fetch
// are ManifestStreamException as for any fetch. A document that moves (a package's current manifest, a node
// list) may be caught between the publisher's two renames, or the two may come from caches that stored
// them at different moments: a signature that does not match it is fetched again, with the document, once
// before it is refused, and that time the caches on the way are asked for fresh copies. The verifier is not
// owned.
class SignedXmlHttpManifestSource : public XmlHttpManifestSource {
public:
    SignedXmlHttpManifestSource(std::string url, HttpRequestFactory* requestFactory,
                                std::shared_ptr<HttpSession> session, std::int32_t connectTimeout,
                                std::int32_t timeout, const ManifestVerifier* verifier, bool moving,
                                std::shared_ptr<HttpRequestCanceller> canceller = nullptr,
                                ManifestDocumentLimits limits = {});

protected:
    // The signature file is held to limits.maxSignatureBytes.
    void FetchText(const std::string& ref, std::string& into) override;

private:
    const ManifestVerifier* const verifier_;
    const bool moving_;
};

// The source a manifest factory reads `url` through: a SignedXmlHttpManifestSource when the verifier holds
// keys (or a malformed key list), else a plain XmlHttpManifestSource.
std::unique_ptr<HttpManifestSource> MakeManifestServiceSource(
    std::string url, HttpRequestFactory* requestFactory, std::shared_ptr<HttpSession> session,
    std::int32_t connectTimeout, std::int32_t timeout, const ManifestVerifier* verifier, bool moving,
    std::shared_ptr<HttpRequestCanceller> canceller, ManifestDocumentLimits limits = {});

// The scheme of host ("http" unless it is written "https://host[:port]"), its authority (lower-cased, the
// scheme's default port left out, as Uri writes it) and `path`, an absolute path whose ids are already path
// segments (PathSegment): its %XX escapes stay, and the characters a path may not carry ('?', '#', space,
// bytes beyond ASCII, ...) are encoded. A host that is no authority (a bad port, an unterminated '[', no
// host name) is ManifestLocatorException.
std::string ManifestServiceUrl(const std::string& host, const std::string& path);

}  // namespace halcyne
