#include "http/CurlHttpRequest.hpp"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include <boost/algorithm/string/predicate.hpp>
#include <curl/curl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "http/HttpWriteCallback.hpp"

namespace halcyne {

namespace {

// The system's trust store when libcurl's built-in one is missing (a player's distribution other than the
// one this was built on), looked up once.
const std::string& SystemFallbackCaBundle() {
    static const std::string bundle = [] {
        const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
        const std::string builtIn =
            info != nullptr && info->age >= CURLVERSION_SEVENTH && info->cainfo != nullptr ? info->cainfo
                                                                                           : std::string();
        return CurlHttpRequest::FallbackCaBundle(builtIn,
                                                 {
                                                     "/etc/ssl/certs/ca-certificates.crt",  // Debian, Arch
                                                     "/etc/pki/tls/certs/ca-bundle.crt",    // Fedora, RHEL
                                                     "/etc/ssl/ca-bundle.pem",              // openSUSE
                                                     "/etc/ssl/cert.pem",                   // Alpine
                                                 });
    }();
    return bundle;
}

// libcurl's global state, set up during static initialisation (before any request exists) and torn down
// at process exit.
struct CurlGlobal {
    CurlGlobal() : initialized(curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK) {}
    ~CurlGlobal() { curl_global_cleanup(); }
    const bool initialized;
};
const CurlGlobal curlGlobal;

// Bytes libcurl hands the write function at most per call. The default (16 KiB) makes a fast local
// download pay a callback per 16 KiB; larger blocks halve the per-byte overhead.
constexpr long ReceiveBufferSize = 256 * 1024;

}  // namespace

struct CurlHttpRequest::Callbacks {
    static std::size_t Write(char* data, std::size_t size, std::size_t count, void* self);
    static int Progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
};

CurlHttpRequest::CurlHttpRequest(const HttpRequestParams& params, const std::string& proxy,
                                 std::string caBundle, RateLimit* rateLimit)
    : HttpRequest(params, proxy), caBundle_(std::move(caBundle)), rateLimit_(rateLimit) {
    static_assert(sizeof errorText_ >= CURL_ERROR_SIZE);
    if (!curlGlobal.initialized) {
        throw std::runtime_error("libcurl could not be initialized");
    }
    handle_ = curl_easy_init();
    if (handle_ == nullptr) {
        throw std::runtime_error("curl_easy_init failed");
    }
    Prepare();
}

CurlHttpRequest::~CurlHttpRequest() {
    if (handle_ != nullptr) {
        curl_easy_cleanup(handle_);
    }
    curl_slist_free_all(headers_);
}

void CurlHttpRequest::Prepare() {
    curl_easy_reset(handle_);
    curl_slist_free_all(headers_);
    headers_ = nullptr;

    const HttpRequestParams& p = *params_;
    curl_easy_setopt(handle_, CURLOPT_URL, p.url.c_str());
    curl_easy_setopt(handle_, CURLOPT_USERAGENT, p.userAgent.c_str());
    if (p.method == HttpMethod::Post) {
        curl_easy_setopt(handle_, CURLOPT_POST, 1L);
        // No size: the body ends at its first NUL. The params copy owns the text until the next Reset.
        curl_easy_setopt(handle_, CURLOPT_POSTFIELDS, p.body.c_str());
        headers_ = curl_slist_append(headers_, ("Content-Type: " + p.contentType).c_str());
    }
    if (p.revalidate) {
        for (const char* header : {"Cache-Control: no-cache", "Pragma: no-cache"}) {
            // On failure libcurl returns no list and leaves the old one as it was.
            if (curl_slist* longer = curl_slist_append(headers_, header)) {
                headers_ = longer;
            }
        }
    }
    if (p.IsWholeResource()) {
        if (!p.acceptEncoding.empty()) {
            curl_easy_setopt(handle_, CURLOPT_ACCEPT_ENCODING, p.acceptEncoding.c_str());
        }
    } else {
        // An open end is sent as "start-": servers refuse a last byte position that does not fit their
        // file offsets (nginx answers 416 to start-18446744073709551615).
        std::string range = std::to_string(p.rangeStart) + "-";
        if (p.rangeEnd != HttpRangeToEnd) {
            range += std::to_string(p.rangeEnd);
        }
        curl_easy_setopt(handle_, CURLOPT_RANGE, range.c_str());  // libcurl copies option strings
    }
    curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, &Callbacks::Write);
    curl_easy_setopt(handle_, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(handle_, CURLOPT_XFERINFOFUNCTION, &Callbacks::Progress);
    curl_easy_setopt(handle_, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(handle_, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle_, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle_, CURLOPT_MAXREDIRS, 1L);
    curl_easy_setopt(handle_, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(handle_, CURLOPT_CONNECTTIMEOUT, static_cast<long>(p.connectTimeout));
    curl_easy_setopt(handle_, CURLOPT_TIMEOUT, static_cast<long>(p.timeout));
    if (p.lowSpeedLimit > 0 && p.lowSpeedTime > 0) {
        curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(p.lowSpeedLimit));
        curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_TIME, static_cast<long>(p.lowSpeedTime));
    }
    if (p.maxBodyBytes > 0) {
        curl_easy_setopt(handle_, CURLOPT_MAXFILESIZE_LARGE,
                         static_cast<curl_off_t>(std::min<std::uint64_t>(p.maxBodyBytes, INT64_MAX)));
    }
    // The proxy is always set, "" for a direct connection, and libcurl's own no_proxy reading is switched
    // off: the proxy factory alone decides, and libcurl's reading of the environment never overrules it.
    curl_easy_setopt(handle_, CURLOPT_PROXY, proxy_.c_str());
    curl_easy_setopt(handle_, CURLOPT_NOPROXY, "");
    // Requests run on many threads with time-outs: no signals for name resolution time-outs.
    curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
    // Only http and https, for the request and for the redirect it may follow; a request made over https
    // stays on https, so that a redirect can never move it to plain http (where anyone on the path could
    // answer in the server's place).
    const bool secure = boost::algorithm::istarts_with(p.url, "https://");
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(handle_, CURLOPT_PROTOCOLS_STR, secure ? "https" : "http,https");
    curl_easy_setopt(handle_, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
#else
    const long allowed = secure ? CURLPROTO_HTTPS : (CURLPROTO_HTTP | CURLPROTO_HTTPS);
    curl_easy_setopt(handle_, CURLOPT_PROTOCOLS, allowed);
    curl_easy_setopt(handle_, CURLOPT_REDIR_PROTOCOLS, allowed);
#endif
    // Full verification of https servers: the chain up to a trusted certificate and the host name. A
    // configured bundle is the whole trust store (libcurl's default certificate folder is switched off
    // with it); without one libcurl uses the system's.
    curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!caBundle_.empty()) {
        curl_easy_setopt(handle_, CURLOPT_CAINFO, caBundle_.c_str());
        curl_easy_setopt(handle_, CURLOPT_CAPATH, nullptr);
    } else if (const std::string& fallback = SystemFallbackCaBundle(); !fallback.empty()) {
        curl_easy_setopt(handle_, CURLOPT_CAINFO, fallback.c_str());
    }
    curl_easy_setopt(handle_, CURLOPT_ERRORBUFFER, errorText_);
    // HTTP/1.1 over https too (libcurl would otherwise offer HTTP/2 there): the servers are relied on for
    // HTTP/1.x, and every request has a connection of its own, so multiplexing would gain nothing.
    curl_easy_setopt(handle_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(handle_, CURLOPT_BUFFERSIZE, ReceiveBufferSize);
    curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers_);
}

HttpRequestStatus CurlHttpRequest::Perform() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (status_.result != HttpRequestResult::NotStarted) {
            return status_;
        }
        performing_ = true;
        status_.result = HttpRequestResult::InProgress;
    }
    rangeChecked_ = false;
    errorText_[0] = '\0';
    const CURLcode code = curl_easy_perform(handle_);

    std::lock_guard<std::mutex> lock(mutex_);
    long responseCode = 0;
    if (curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &responseCode) == CURLE_OK) {
        status_.responseCode = static_cast<std::int32_t>(responseCode);
    }
    char* ip = nullptr;
    if (curl_easy_getinfo(handle_, CURLINFO_PRIMARY_IP, &ip) == CURLE_OK && ip != nullptr) {
        status_.ip = ip;
    }
    performing_ = false;
    // A result set meanwhile by Cancel or by the writer stays, with its message.
    if (status_.result == HttpRequestResult::InProgress) {
        status_.result = MapCurlCode(code, status_.responseCode);
        if (code != CURLE_OK) {
            status_.errorMessage = "libcurl error " + std::to_string(static_cast<int>(code)) + " (HTTP " +
                                   std::to_string(status_.responseCode) + ")";
            // What exactly failed (a refused scheme or redirect, the reason a connection failed) is only in
            // libcurl's text, which goes into a field of its own. For a TLS failure the message names the
            // failed check too (an unknown issuer, an expired certificate, another name, an unreadable
            // bundle), since that is what a deployer has to act on.
            // libcurl leaves its buffer empty for some failures: its text for the code then stands in.
            status_.curlErrorText =
                errorText_[0] != '\0' ? std::string(errorText_) : std::string(curl_easy_strerror(code));
            if (IsTlsFailure(code) && errorText_[0] != '\0') {
                status_.errorMessage += ": ";
                status_.errorMessage += errorText_;
            }
        }
    }
    return status_;
}

HttpRequestResult CurlHttpRequest::MapCurlCode(int code, long responseCode) {
    switch (code) {
        case CURLE_OK:
            return HttpRequestResult::Success;
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
        case CURLE_NOT_BUILT_IN:
            return HttpRequestResult::BadUrl;
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
            return HttpRequestResult::ResolveFailed;
        case CURLE_COULDNT_CONNECT:
            return HttpRequestResult::ConnectFailed;
        case CURLE_REMOTE_ACCESS_DENIED:
        case CURLE_HTTP_RETURNED_ERROR:
        case CURLE_REMOTE_FILE_NOT_FOUND:
            return responseCode < 500 ? HttpRequestResult::ClientError : HttpRequestResult::ServerError;
        case CURLE_PARTIAL_FILE:
        case CURLE_RANGE_ERROR:
            return HttpRequestResult::OutOfRange;
        case CURLE_WRITE_ERROR:
            return HttpRequestResult::WriteFailed;
        case CURLE_OUT_OF_MEMORY:
            return HttpRequestResult::OutOfMemory;
        case CURLE_OPERATION_TIMEDOUT:
            return HttpRequestResult::TimedOut;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
            return HttpRequestResult::TransmissionFailed;
        case CURLE_FILESIZE_EXCEEDED:
            return HttpRequestResult::TooLarge;
        // The server's certificate failed verification (chain, name, pinned key, revocation, status) or
        // the trust store to verify it cannot be read: waiting does not mend either.
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
            return HttpRequestResult::CertificateRefused;
        default:
            return HttpRequestResult::OtherError;
    }
}

std::string CurlHttpRequest::FallbackCaBundle(const std::string& builtIn,
                                              const std::vector<std::string>& candidates) {
    const auto readableFile = [](const std::string& path) {
        struct stat status {};
        return !path.empty() && stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
               access(path.c_str(), R_OK) == 0;
    };
    if (readableFile(builtIn)) {
        return {};
    }
    for (const std::string& candidate : candidates) {
        if (readableFile(candidate)) {
            return candidate;
        }
    }
    return {};
}

bool CurlHttpRequest::IsTlsFailure(int code) {
    switch (code) {
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_USE_SSL_FAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
            return true;
        default:
            return false;
    }
}

HttpRequestStatus CurlHttpRequest::GetStatus() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

void CurlHttpRequest::Cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (status_.result == HttpRequestResult::NotStarted || status_.result == HttpRequestResult::InProgress) {
        status_.result = HttpRequestResult::Cancelled;
    }
}

bool CurlHttpRequest::Reset(const HttpRequestParams& params, const std::string& proxy) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (status_.result == HttpRequestResult::InProgress || performing_) {
        return false;
    }
    params_ = std::make_unique<HttpRequestParams>(params);
    proxy_ = proxy;
    status_ = HttpRequestStatus();
    Prepare();
    return true;
}

bool CurlHttpRequest::CheckRangeAnswer() {
    rangeChecked_ = true;
    if (params_->rangeStart == 0) {
        return true;
    }
    long responseCode = 0;
    curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &responseCode);
    if (responseCode != 200) {
        return true;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (status_.result == HttpRequestResult::InProgress) {
        status_.result = HttpRequestResult::OutOfRange;
        status_.errorMessage = "the server ignored the range " + std::to_string(params_->rangeStart) +
                               "- and sent the whole resource (HTTP 200)";
    }
    return false;
}

std::size_t CurlHttpRequest::ApplyWriterStatus(const HttpRequestStatus& written, std::size_t offered) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_.bytesWritten += written.bytesWritten;
    if (written.result == HttpRequestResult::Success && written.bytesWritten == offered) {
        return offered;
    }
    if (status_.result == HttpRequestResult::InProgress) {
        // A writer that says Success but took fewer (or claims more) bytes than offered did not take the
        // piece: that is a write failure with the writer's own message, not libcurl's.
        switch (written.result) {
            case HttpRequestResult::OutOfRange:
            case HttpRequestResult::OutOfMemory:
            case HttpRequestResult::TooLarge:
                status_.result = written.result;
                break;
            default:
                status_.result = HttpRequestResult::WriteFailed;
                break;
        }
        status_.errorMessage = written.errorMessage;
    }
    return 0;  // anything short of the offered count makes libcurl stop
}

std::size_t CurlHttpRequest::Callbacks::Write(char* data, std::size_t size, std::size_t count, void* self) {
    auto* request = static_cast<CurlHttpRequest*>(self);
    const std::size_t n = size * count;
    if (request->GetStatus().result != HttpRequestResult::InProgress) {
        return 0;
    }
    if (!request->rangeChecked_ && !request->CheckRangeAnswer()) {
        return 0;
    }
    // Under a rate limit the block waits for its turn here, which holds libcurl's reading of the socket
    // and so slows the sender; a request cancelled meanwhile ends at once.
    if (request->rateLimit_ != nullptr && !request->rateLimit_->Pass(n, [request] {
            return request->GetStatus().result != HttpRequestResult::InProgress;
        })) {
        return 0;
    }
    HttpRequestStatus written;
    try {
        written = request->params_->writer->Write(data, n);
    } catch (const std::bad_alloc&) {
        written = HttpRequestStatus::Failed(HttpRequestResult::OutOfMemory);
    } catch (const std::exception& e) {
        written = HttpRequestStatus::Failed(HttpRequestResult::WriteFailed, 0, e.what());
    }
    return request->ApplyWriterStatus(written, n);
}

int CurlHttpRequest::Callbacks::Progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* request = static_cast<CurlHttpRequest*>(self);
    return request->GetStatus().result == HttpRequestResult::InProgress ? 0 : 42;
}

}  // namespace halcyne
