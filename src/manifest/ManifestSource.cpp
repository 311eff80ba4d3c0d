#include "manifest/ManifestSource.hpp"

#include <cctype>
#include <iostream>
#include <new>
#include <sstream>

#include <boost/property_tree/ptree.hpp>

#include "common/Uri.hpp"
#include "http/HttpRequestCanceller.hpp"
#include "http/HttpRequestFactory.hpp"
#include "http/HttpStringWriter.hpp"
#include "manifest/Manifest.hpp"
#include "manifest/ManifestException.hpp"
#include "manifest/ManifestVerifier.hpp"
#include "manifest/ServerHost.hpp"
#include "manifest/XmlManifestReader.hpp"

namespace halcyne {

void ManifestSource::Load(const std::string& ref, InputManifest& manifest) {
    std::string text;
    FetchText(ref, text);
    boost::property_tree::ptree tree;
    ParseText(text, tree, manifest.FileSink());
    manifest.Load(tree);
}

void ManifestSource::FetchText(const std::string& ref, std::string& into) {
    std::stringstream stream;
    Fetch(ref, stream);
    into = std::move(stream).str();
}

void ManifestSource::ParseText(std::string& text, boost::property_tree::ptree& into,
                               const ManifestFileSink& /*onFile*/) {
    std::stringstream stream(std::move(text));
    Parse(stream, into);
}

HttpManifestSource::HttpManifestSource(std::string url, HttpRequestFactory* requestFactory,
                                       std::shared_ptr<HttpSession> session, std::int32_t connectTimeout,
                                       std::int32_t timeout, std::shared_ptr<HttpRequestCanceller> canceller,
                                       ManifestDocumentLimits limits)
    : url_(std::move(url)),
      requestFactory_(requestFactory),
      session_(std::move(session)),
      connectTimeout_(connectTimeout),
      timeout_(timeout),
      canceller_(std::move(canceller)),
      limits_(std::move(limits)) {}

void HttpManifestSource::Fetch(const std::string& ref, std::iostream& into) {
    std::string text;
    FetchText(ref, text);
    into.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!into) {
        throw ManifestStreamException("cannot keep the bytes of " + url_);
    }
}

void HttpManifestSource::FetchText(const std::string& /*ref*/, std::string& into) {
    into.clear();
    FetchUrl(url_, into, limits_.maxBytes, limits_.kind);
}

void HttpManifestSource::FetchUrl(const std::string& url, std::string& into, std::uint64_t maxBytes,
                                  const std::string& kind) {
    HttpStringWriter writer(&into, maxBytes);
    HttpRequestParams params(url, &writer);
    params.connectTimeout = connectTimeout_;
    params.timeout = timeout_;
    // A length announced above the limit is refused before any byte arrives; the writer counts the rest.
    params.maxBodyBytes = maxBytes;
    params.revalidate = revalidate_;
    HttpRequestStatus status;
    {
        std::shared_ptr<HttpRequest> request = requestFactory_->CreateRequest(params, session_);
        HttpRequestCancellerScope attached(canceller_.get(), request);
        status = request->Perform();
    }
    // Every failure names the URL and what went wrong, for the work log and the player's detail line.
    switch (status.result) {
        case HttpRequestResult::Success:
            return;
        case HttpRequestResult::ClientError:
            if (status.responseCode == 404 || status.responseCode == 410) {
                throw ManifestNotFoundException(FailureText(url, status));
            }
            throw ManifestLocatorException(FailureText(url, status));
        case HttpRequestResult::BadUrl:
            throw ManifestLocatorException(FailureText(url, status));
        case HttpRequestResult::CertificateRefused:
            // No retry mends a certificate that is refused: the server is not the one it claims to be.
            throw ManifestTrustException("the certificate of " + FailureText(url, status));
        case HttpRequestResult::OutOfMemory:
            throw std::bad_alloc();
        case HttpRequestResult::TooLarge:
            // Whatever arrived is of no use: let it go before the error travels on.
            std::string().swap(into);
            throw ManifestSizeException("the " + kind + " " + url + " is larger than " +
                                        std::to_string(maxBytes) + " bytes, the most the updater accepts (" +
                                        status.errorMessage + ")");
        default:
            break;
    }
    throw ManifestStreamException(FailureText(url, status));
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

void XmlHttpManifestSource::ParseText(std::string& text, boost::property_tree::ptree& into,
                                      const ManifestFileSink& onFile) {
    try {
        ReadManifestXmlInPlace(text, into, onFile);
    } catch (const ManifestException&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        throw ManifestParseException();
    }
}

SignedXmlHttpManifestSource::SignedXmlHttpManifestSource(std::string url, HttpRequestFactory* requestFactory,
                                                         std::shared_ptr<HttpSession> session,
                                                         std::int32_t connectTimeout, std::int32_t timeout,
                                                         const ManifestVerifier* verifier, bool moving,
                                                         std::shared_ptr<HttpRequestCanceller> canceller,
                                                         ManifestDocumentLimits limits)
    : XmlHttpManifestSource(std::move(url), requestFactory, std::move(session), connectTimeout, timeout,
                            std::move(canceller), std::move(limits)),
      verifier_(verifier),
      moving_(moving) {}

void SignedXmlHttpManifestSource::FetchText(const std::string& /*ref*/, std::string& into) {
    if (!verifier_->KeyError().empty()) {
        throw ManifestTrustException("cannot verify " + url_ +
                                     ": the updater's manifest keys are malformed (" + verifier_->KeyError() +
                                     ")");
    }
    const std::string signatureUrl = url_ + ".sig";
    for (int attempt = 1;; ++attempt) {
        // The document first, then its signature: the publisher places the signature before the document,
        // so the signature read here is never older than the document read before it. Each is refused as
        // soon as it grows past its limit, before anything checks or parses it.
        std::string document;
        FetchUrl(url_, document, limits_.maxBytes, limits_.kind);
        std::string signature;
        try {
            FetchUrl(signatureUrl, signature, limits_.maxSignatureBytes, "signature file");
        } catch (const ManifestLocatorException& missing) {
            throw ManifestTrustException("no signature for " + url_ + ": " + signatureUrl + " is missing (" +
                                         missing.what() + ")");
        }
        switch (verifier_->Check(document, signature)) {
            case SignatureCheck::Valid:
                into = std::move(document);
                return;
            case SignatureCheck::Malformed:
                throw ManifestTrustException(
                    "the signature " + signatureUrl + " is malformed: " +
                    (signature.find_first_not_of(" \t\r\n") == std::string::npos
                         ? std::string("it is empty")
                         : std::string("it is not the base64 form of a 64-byte Ed25519 signature, one per "
                                       "line, at most " +
                                       std::to_string(MaxSignatureLines) + " lines")));
            case SignatureCheck::Mismatch:
                if (moving_ && attempt == 1) {
                    // Caught mid-publication, or a cache holds one of the two from before it: fetch both
                    // again, past the caches' copies.
                    revalidate_ = true;
                    continue;
                }
                throw ManifestTrustException("the signature " + signatureUrl +
                                             " does not match the bytes of " + url_ + " under any of the " +
                                             std::to_string(verifier_->KeyCount()) + " trusted keys" +
                                             (moving_ ? " (fetched twice)" : ""));
        }
    }
}

std::unique_ptr<HttpManifestSource> MakeManifestServiceSource(
    std::string url, HttpRequestFactory* requestFactory, std::shared_ptr<HttpSession> session,
    std::int32_t connectTimeout, std::int32_t timeout, const ManifestVerifier* verifier, bool moving,
    std::shared_ptr<HttpRequestCanceller> canceller, ManifestDocumentLimits limits) {
    if (verifier != nullptr && verifier->Configured()) {
        return std::make_unique<SignedXmlHttpManifestSource>(
            std::move(url), requestFactory, std::move(session), connectTimeout, timeout, verifier, moving,
            std::move(canceller), std::move(limits));
    }
    return std::make_unique<XmlHttpManifestSource>(std::move(url), requestFactory, std::move(session),
                                                   connectTimeout, timeout, std::move(canceller),
                                                   std::move(limits));
}

std::string ManifestServiceUrl(const std::string& host, const std::string& path) {
    std::string url;
    try {
        const ServerHost server = SplitServerHost(host);
        const Uri base(server.scheme, server.authority);
        // An authority without a host ("", "user@", ":81", "https://") names no server.
        if (base.Host().empty()) {
            throw ManifestLocatorException();
        }
        url = base.ToString();
    } catch (...) {
        throw ManifestLocatorException();
    }
    // The path is taken as written, escapes included: parsing it would decode an id's "%2F" back into a
    // separator and read a '?' as the start of a query. What may not stand in a path is encoded as a URL path
    // is (so a path without '%' comes out as it always did).
    for (std::size_t i = 0; i < path.size(); ++i) {
        const bool escape = path[i] == '%' && i + 2 < path.size() &&
                            std::isxdigit(static_cast<unsigned char>(path[i + 1])) &&
                            std::isxdigit(static_cast<unsigned char>(path[i + 2]));
        if (escape) {
            url.append(path, i, 3);
            i += 2;
        } else {
            UriEncode(std::string_view(path).substr(i, 1), "?#", url);
        }
    }
    return url;
}

}  // namespace halcyne
