#include "manifest/ManifestSource.hpp"

#include <iostream>
#include <new>
#include <sstream>

#include <Poco/URI.h>
#include <boost/property_tree/ptree.hpp>

#include "http/HttpRequestCanceller.hpp"
#include "http/HttpRequestFactory.hpp"
#include "http/HttpStringstreamWriter.hpp"
#include "manifest/Manifest.hpp"
#include "manifest/ManifestException.hpp"
#include "manifest/ServerHost.hpp"
#include "manifest/XmlManifestReader.hpp"

namespace halcyne {

void ManifestSource::Load(const std::string& ref, InputManifest& manifest) {
    std::stringstream stream;
    Fetch(ref, stream);
    boost::property_tree::ptree tree;
    Parse(stream, tree);
    manifest.Load(tree);
}

HttpManifestSource::HttpManifestSource(std::string url, HttpRequestFactory* requestFactory,
                                       std::shared_ptr<HttpSession> session, std::int32_t connectTimeout,
                                       std::int32_t timeout, std::shared_ptr<HttpRequestCanceller> canceller)
    : url_(std::move(url)),
      requestFactory_(requestFactory),
      session_(std::move(session)),
      connectTimeout_(connectTimeout),
      timeout_(timeout),
      canceller_(std::move(canceller)) {}

void HttpManifestSource::Fetch(const std::string& /*ref*/, std::iostream& into) {
    HttpStringstreamWriter writer(&into);
    HttpRequestParams params(url_, &writer);
    params.connectTimeout = connectTimeout_;
    params.timeout = timeout_;
    HttpRequestStatus status;
    {
        std::shared_ptr<HttpRequest> request = requestFactory_->CreateRequest(params, session_);
        HttpRequestCancellerScope attached(canceller_.get(), request);
        status = request->Perform();
    }
    switch (status.result) {
        case HttpRequestResult::Success:
            if (!into.fail()) {
                return;
            }
            break;
        case HttpRequestResult::BadUrl:
        case HttpRequestResult::ClientError:
            throw ManifestLocatorException(status.errorMessage);
        case HttpRequestResult::OutOfMemory:
            throw std::bad_alloc();
        default:
            break;
    }
    throw ManifestStreamException(status.errorMessage);
}

void XmlHttpManifestSource::Parse(std::iostream& from, boost::property_tree::ptree& into) {
    try {
        ReadManifestXml(from, into);
    } catch (const ManifestParseException&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        throw ManifestParseException();
    }
}

std::string ManifestServiceUrl(const std::string& host, const std::string& path) {
    try {
        const ServerHost server = SplitServerHost(host);
        return Poco::URI(server.scheme, server.authority, path).toString();
    } catch (...) {
        throw ManifestLocatorException();
    }
}

}  // namespace halcyne
