#include "events/JsonHttpAnalyticsManager.hpp"

#include <algorithm>
#include <condition_variable>
#include <thread>

#include "events/JsonText.hpp"
#include "http/HttpWriteCallback.hpp"

namespace halcyne {

namespace {

// Takes every piece of an answer and keeps nothing: the answers to reports are never read.
class DiscardingWriter : public HttpWriteCallback {
public:
    HttpRequestStatus Write(const char*, std::size_t length) override {
        return HttpRequestStatus::Written(length);
    }
};

// Keeps a request registered with the shutdown for exactly the time it is performed.
class RunningRequest {
public:
    RunningRequest(AnalyticsShutdown& shutdown, std::shared_ptr<HttpRequest> request)
        : shutdown_(shutdown), request_(std::move(request)), begun_(shutdown_.Begin(request_)) {}
    ~RunningRequest() {
        if (begun_) {
            shutdown_.End(request_);
        }
    }
    RunningRequest(const RunningRequest&) = delete;
    RunningRequest& operator=(const RunningRequest&) = delete;
    bool Begun() const { return begun_; }

private:
    AnalyticsShutdown& shutdown_;
    std::shared_ptr<HttpRequest> request_;
    const bool begun_;
};

}  // namespace

void AnalyticsShutdown::SetDeadline(Clock::time_point deadline) {
    std::lock_guard<std::mutex> lock(mutex_);
    deadline_ = deadline;
}

std::optional<std::int32_t> AnalyticsShutdown::SecondsLeft() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!deadline_) {
        return std::nullopt;
    }
    if (expired_) {
        return 0;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(*deadline_ - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<std::int32_t>(std::min<long long>((left + 999) / 1000, INT32_MAX));
}

bool AnalyticsShutdown::Begin(const std::shared_ptr<HttpRequest>& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (expired_) {
        return false;
    }
    running_.push_back(request);
    return true;
}

void AnalyticsShutdown::End(const std::shared_ptr<HttpRequest>& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = std::find(running_.begin(), running_.end(), request);
    if (found != running_.end()) {
        running_.erase(found);
    }
}

void AnalyticsShutdown::Expire() {
    std::vector<std::shared_ptr<HttpRequest>> running;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        expired_ = true;
        running = running_;
    }
    for (const auto& request : running) {
        request->Cancel();
    }
}

JsonHttpAnalyticsEventWork::JsonHttpAnalyticsEventWork(std::int32_t stream, std::string url,
                                                       HttpRequestFactory* factory,
                                                       std::shared_ptr<HttpSession> session,
                                                       Settings settings,
                                                       std::shared_ptr<AnalyticsShutdown> shutdown)
    : TrackEventWork(stream),
      url_(std::move(url)),
      factory_(factory),
      session_(std::move(session)),
      settings_(settings),
      shutdown_(std::move(shutdown)) {}

bool JsonHttpAnalyticsEventWork::ShouldRetry() {
    if (retriesUsed_ < settings_.retryLimit) {
        ++retriesUsed_;
        return true;
    }
    return false;
}

void JsonHttpAnalyticsEventWork::Reset() {
    SimpleWork::Reset();
    retriesUsed_ = 0;
}

WorkStatus JsonHttpAnalyticsEventWork::ExecuteTask() {
    if (url_.empty()) {
        return WorkStatus(WorkResult::Failure);  // the stream is not configured
    }
    std::string body;
    try {
        body = WriteJsonText(Tree());
    } catch (const JsonTextError&) {
        return WorkStatus(WorkResult::Error);
    }
    DiscardingWriter writer;
    HttpRequestParams params(url_, &writer);
    params.method = HttpMethod::Post;
    params.contentType = "application/json";
    params.body = std::move(body);
    params.connectTimeout = settings_.connectTimeout;
    params.timeout = settings_.requestTimeout;
    if (const std::optional<std::int32_t> left = shutdown_ ? shutdown_->SecondsLeft() : std::nullopt) {
        // Shutting down: nothing may run past the deadline.
        if (*left == 0) {
            return WorkStatus(WorkResult::Error);
        }
        params.timeout = params.timeout == 0 ? *left : std::min(params.timeout, *left);
        params.connectTimeout = std::min(params.connectTimeout, *left);
    }
    const std::shared_ptr<HttpRequest> request = factory_->CreateRequest(params, session_);
    HttpRequestStatus status;
    if (shutdown_) {
        const RunningRequest running(*shutdown_, request);
        if (!running.Begun()) {
            return WorkStatus(WorkResult::Error);
        }
        status = request->Perform();
    } else {
        status = request->Perform();
    }
    switch (status.result) {
        case HttpRequestResult::Success:
            return WorkStatus(WorkResult::Success);
        case HttpRequestResult::ConnectFailed:
        case HttpRequestResult::ServerError:
            return WorkStatus(WorkResult::RetryableError);
        default:
            return WorkStatus(WorkResult::Error);
    }
}

void JsonHttpAnalyticsEventWork::Interrupt() {}

JsonHttpAnalyticsManager::JsonHttpAnalyticsManager(HttpRequestFactory* factory,
                                                   std::shared_ptr<HttpSession> session,
                                                   const EngineSettings& settings)
    : AnalyticsManager(ThreadCount),
      factory_(factory),
      session_(std::move(session)),
      settings_{settings.analyticsConnectTimeout, settings.analyticsTimeout, settings.analyticsRetryLimit},
      eventUrl_(settings.eventAnalyticsUrl),
      transferUrl_(settings.transferAnalyticsUrl),
      shutdown_(std::make_shared<AnalyticsShutdown>()) {}

JsonHttpAnalyticsManager::~JsonHttpAnalyticsManager() {
    const auto deadline =
        AnalyticsShutdown::Clock::now() + std::chrono::seconds(std::max(settings_.requestTimeout, 0));
    shutdown_->SetDeadline(deadline);
    // A watchdog cancels what is still running at the deadline while this thread drains the queue.
    std::mutex mutex;
    std::condition_variable drainedSignal;
    bool drained = false;  // guarded by mutex
    std::thread watchdog;
    try {
        watchdog = std::thread([&] {
            std::unique_lock<std::mutex> lock(mutex);
            if (!drainedSignal.wait_until(lock, deadline, [&] { return drained; })) {
                lock.unlock();
                shutdown_->Expire();
            }
        });
    } catch (...) {
        shutdown_->Expire();  // no thread to wait with: drop everything at once rather than wait unbounded
    }
    Drain();
    {
        std::lock_guard<std::mutex> lock(mutex);
        drained = true;
    }
    drainedSignal.notify_all();
    if (watchdog.joinable()) {
        watchdog.join();
    }
}

std::shared_ptr<TrackEventWork> JsonHttpAnalyticsManager::CreateEventWork(std::int32_t stream) {
    return std::make_shared<JsonHttpAnalyticsEventWork>(stream, UrlOf(stream), factory_, session_, settings_,
                                                        shutdown_);
}

const std::string& JsonHttpAnalyticsManager::UrlOf(std::int32_t stream) const {
    return stream == TransferStream ? transferUrl_ : eventUrl_;
}

}  // namespace halcyne
