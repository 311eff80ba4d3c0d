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

namespace halcyne {

class InputManifest;
class HttpRequestFactory;
class HttpRequestCanceller;
class HttpSession;

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

    // Fetch, Parse, then manifest.Load(tree); exceptions of every step pass through.
    void Load(const std::string& ref, InputManifest& manifest);
};

// Fetches one fixed URL with a GET (the reference is not used). With a session the request comes from the
// session's pool; with a canceller another thread may stop the request in flight (the fetch then fails with
// ManifestStreamException).
class HttpManifestSource : public ManifestSource {
public:
    HttpManifestSource(std::string url, HttpRequestFactory* requestFactory,
                       std::shared_ptr<HttpSession> session, std::int32_t connectTimeout,
                       std::int32_t timeout, std::shared_ptr<HttpRequestCanceller> canceller = nullptr);

    // Success with the stream in good order returns. BadUrl and ClientError (the service says the manifest is
    // not there) throw ManifestLocatorException, OutOfMemory std::bad_alloc, and every other result
    // ManifestStreamException; the exceptions carry the request's error message. Request construction
    // throws std::runtime_error when libcurl cannot be used.
    void Fetch(const std::string& ref, std::iostream& into) override;

protected:
    const std::string url_;
    HttpRequestFactory* const requestFactory_;  // not owned
    const std::shared_ptr<HttpSession> session_;
    const std::int32_t connectTimeout_;  // seconds
    const std::int32_t timeout_;         // seconds
    const std::shared_ptr<HttpRequestCanceller> canceller_;
};

// The manifest service's documents: XML, with the attributes promoted.
class XmlHttpManifestSource : public HttpManifestSource {
public:
    using HttpManifestSource::HttpManifestSource;

    // Any failure (not XML, nested too deeply) is ManifestParseException; std::bad_alloc passes through.
    void Parse(std::iostream& from, boost::property_tree::ptree& into) override;
};

// The scheme of host ("http" unless it is written "https://host[:port]"), its authority and path, formed
// with Poco::URI; any failure is ManifestLocatorException.
std::string ManifestServiceUrl(const std::string& host, const std::string& path);

}  // namespace halcyne
