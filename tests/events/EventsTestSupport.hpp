// Helpers of the events tests: a fixed UTC clock, a work that describes itself like a transfer work, and
// reading a log file back as lines.
#pragma once

#include <atomic>
#include <chrono>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/EngineSettings.hpp"
#include "http/CurlHttpRequestFactory.hpp"
#include "http/HttpProxy.hpp"
#include "support/ScriptedWork.hpp"

namespace halcyne::test {

// 2026-12-10 03:04:05 UTC.
inline std::chrono::system_clock::time_point FixedLogTime() {
    std::tm utc{};
    utc.tm_year = 2026 - 1900;
    utc.tm_mon = 11;
    utc.tm_mday = 10;
    utc.tm_hour = 3;
    utc.tm_min = 4;
    utc.tm_sec = 5;
    return std::chrono::system_clock::from_time_t(::timegm(&utc));
}

inline constexpr const char* FixedLogStamp = "[2026-12-10 03:04:05] ";
inline constexpr const char* FixedLogName = "Log.2026.12.10.03.04.05.txt";

// A scripted work that describes "name" and, when given, "important" as a transfer work does.
class DescribedWork : public ScriptedWork {
public:
    // `known`: what KnownImportance answers (empty: only the description tells).
    DescribedWork(std::vector<WorkResult> script, std::uint32_t maxRetries, std::string name,
                  std::string important = {}, std::optional<bool> known = std::nullopt)
        : ScriptedWork(std::move(script), maxRetries, name),
          important_(std::move(important)),
          known_(known) {}
    void Describe(boost::property_tree::ptree& tree) const override {
        tree.put("name", Name());
        if (!important_.empty()) {
            tree.put("important", important_);
        }
    }
    std::optional<bool> KnownImportance() const override { return known_; }

private:
    const std::string important_;
    const std::optional<bool> known_;
};

// A port of 127.0.0.1 that nothing listens on (bound for a moment by this process, then released).
inline int ClosedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot bind a port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

// A listening socket on 127.0.0.1 that never accepts: the kernel completes connections and takes the
// request, and no answer ever comes.
class SilentListener {
public:
    SilentListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd_, 64) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot listen");
        }
        port_ = ntohs(address.sin_port);
    }
    ~SilentListener() { ::close(fd_); }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    int fd_ = -1;
    int port_ = 0;
};

// The engine's request factory, counting the request objects it makes (a pooled request re-armed for
// another attempt is not made again).
class CountingRequestFactory : public CurlHttpRequestFactory {
public:
    CountingRequestFactory() : CurlHttpRequestFactory(&proxies_) {}
    std::shared_ptr<HttpRequest> Create(const HttpRequestParams& params, const std::string& proxy) override {
        ++created_;
        return CurlHttpRequestFactory::Create(params, proxy);
    }
    int Created() const { return created_.load(); }

private:
    EmptyHttpProxyFactory proxies_;
    std::atomic<int> created_{0};
};

// Settings for an analytics manager: both streams at these URLs, short time-outs.
inline EngineSettings AnalyticsSettings(std::string eventUrl, std::string transferUrl, int retryLimit = 1,
                                        int timeout = 2) {
    EngineSettings settings;
    settings.eventAnalyticsUrl = std::move(eventUrl);
    settings.transferAnalyticsUrl = std::move(transferUrl);
    settings.analyticsRetryLimit = retryLimit;
    settings.analyticsConnectTimeout = timeout;
    settings.analyticsTimeout = timeout;
    return settings;
}

// The lines of a text, each without its line feed; `rest` gets what follows the last line feed.
inline std::vector<std::string> SplitLines(const std::string& text, std::string* rest = nullptr) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    if (rest != nullptr) {
        *rest = text.substr(start);
    }
    return lines;
}

}  // namespace halcyne::test
