// The analytics manager over HTTP: every report is one JSON document posted to the URL of its stream
// (the transfer stream to the transfer analytics URL, every other stream to the event analytics URL),
// fire and forget, on 3 threads of its own through one shared HttpSession. Any thread may create and
// submit reports; the works call only the request factory and the session.
//
// Shutdown is bounded: destruction sets one deadline, analyticsTimeout from its start. Reports still
// queued are sent until then (with their time-outs cut to the time left); at the deadline the requests
// in flight are cancelled and whatever is still queued is dropped without a connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/EngineSettings.hpp"
#include "events/EventManager.hpp"
#include "http/HttpRequest.hpp"
#include "http/HttpRequestFactory.hpp"
#include "http/HttpSession.hpp"

namespace halcyne {

// The shutdown deadline and the requests in flight, shared by a manager and its works. Any thread.
class AnalyticsShutdown {
public:
    using Clock = std::chrono::steady_clock;

    void SetDeadline(Clock::time_point deadline);
    // Seconds left before the deadline, rounded up (0 once it has passed); nullopt while there is none.
    std::optional<std::int32_t> SecondsLeft() const;
    // Registers a request before it is performed; false (do not perform it) once the deadline expired.
    bool Begin(const std::shared_ptr<HttpRequest>& request);
    void End(const std::shared_ptr<HttpRequest>& request);
    // From now on no request begins; every registered one is cancelled (outside the lock).
    void Expire();

private:
    mutable std::mutex mutex_;  // guards deadline_, expired_ and running_
    std::optional<Clock::time_point> deadline_;
    bool expired_ = false;
    // Held by shared pointer so that a pooled request cannot go back to its pool and be re-armed for
    // another report while it may still be cancelled.
    std::vector<std::shared_ptr<HttpRequest>> running_;
};

// One report. Runs on an analytics thread; Reset, ShouldRetry and ExecuteTask on the thread running it.
class JsonHttpAnalyticsEventWork : public TrackEventWork {
public:
    struct Settings {
        std::int32_t connectTimeout = 10;  // seconds
        std::int32_t requestTimeout = 10;  // seconds; 0 is no limit
        std::int32_t retryLimit = 1;       // further attempts after a connection failure or a 5xx answer
    };

    // `url` "" drops the report without a connection. The factory is not owned and must outlive the work.
    JsonHttpAnalyticsEventWork(std::int32_t stream, std::string url, HttpRequestFactory* factory,
                               std::shared_ptr<HttpSession> session, Settings settings,
                               std::shared_ptr<AnalyticsShutdown> shutdown);

    // True, counting one retry, while fewer than retryLimit retries were used.
    bool ShouldRetry() override;
    // Clears the interrupted flag and the retries used.
    void Reset() override;
    // One POST of the tree's JSON text form. Success when the request succeeds; RetryableError when no
    // connection was made or the server failed (5xx); Error for everything else, for a tree that cannot be
    // written (no connection is made) and for a report dropped at shutdown; Failure when the stream has no
    // URL. The answer's body is discarded as it arrives.
    WorkStatus ExecuteTask() override;
    void Interrupt() override;

    const std::string& Url() const { return url_; }
    std::int32_t RetriesUsed() const { return retriesUsed_; }

private:
    const std::string url_;
    HttpRequestFactory* const factory_;
    const std::shared_ptr<HttpSession> session_;
    const Settings settings_;
    const std::shared_ptr<AnalyticsShutdown> shutdown_;
    std::int32_t retriesUsed_ = 0;  // touched only by the thread running the work
};

class JsonHttpAnalyticsManager : public AnalyticsManager {
public:
    static constexpr unsigned ThreadCount = 3;

    // Takes analyticsConnectTimeout, analyticsTimeout, analyticsRetryLimit and the two analytics URLs from
    // the settings. The factory is not owned and must outlive the manager; the session is shared by all
    // reports.
    JsonHttpAnalyticsManager(HttpRequestFactory* factory, std::shared_ptr<HttpSession> session,
                             const EngineSettings& settings);
    // Sends what is queued until the deadline (see above), then cancels and drops the rest and joins.
    ~JsonHttpAnalyticsManager() override;

    // A JsonHttpAnalyticsEventWork for the stream's URL.
    std::shared_ptr<TrackEventWork> CreateEventWork(std::int32_t stream) override;

    // The URL reports of this stream go to ("" when the stream is not configured).
    const std::string& UrlOf(std::int32_t stream) const;

private:
    HttpRequestFactory* const factory_;
    const std::shared_ptr<HttpSession> session_;
    const JsonHttpAnalyticsEventWork::Settings settings_;
    const std::string eventUrl_;
    const std::string transferUrl_;
    const std::shared_ptr<AnalyticsShutdown> shutdown_;
};

}  // namespace halcyne
