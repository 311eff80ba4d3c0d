#include "support/ScriptedNodes.hpp"

#include <algorithm>
#include <chrono>

#include "common/Uri.hpp"
#include "http/HttpWriteCallback.hpp"
// The delivery service's forgery, so that both kinds of test node forge alike.
#include "../../tools/delivery/Crc32Forgery.hpp"

namespace halcyne::test {

class ScriptedNodes::Request : public HttpRequest {
public:
    Request(ScriptedNodes* nodes, const HttpRequestParams& params) : HttpRequest(params, ""), nodes_(nodes) {}

    HttpRequestStatus Perform() override {
        {
            std::lock_guard<std::mutex> lock(nodes_->mutex_);
            if (status_.result != HttpRequestResult::NotStarted) {
                return status_;
            }
            status_.result = HttpRequestResult::InProgress;
        }
        HttpRequestStatus status = nodes_->Answer(*this, *params_);
        std::lock_guard<std::mutex> lock(nodes_->mutex_);
        status_ = status;
        return status_;
    }
    HttpRequestStatus GetStatus() const override {
        std::lock_guard<std::mutex> lock(nodes_->mutex_);
        return status_;
    }
    void Cancel() override {
        {
            std::lock_guard<std::mutex> lock(nodes_->mutex_);
            cancelled_ = true;
            if (status_.result == HttpRequestResult::NotStarted) {
                status_.result = HttpRequestResult::Cancelled;
            }
        }
        nodes_->changed_.notify_all();
    }
    bool Reset(const HttpRequestParams&, const std::string&) override { return false; }

    bool cancelled_ = false;  // guarded by the nodes' lock

private:
    ScriptedNodes* const nodes_;
    HttpRequestStatus status_;  // guarded by the nodes' lock
};

ScriptedNodes::ScriptedNodes() : HttpRequestFactory(&proxies_) {}

ScriptedNodes::~ScriptedNodes() = default;

void ScriptedNodes::Serve(const std::string& path, std::string content) {
    std::lock_guard<std::mutex> lock(mutex_);
    contents_[path] = std::move(content);
}

void ScriptedNodes::AddFault(const std::string& host, Fault fault, int count, HttpRequestResult result,
                             std::uint64_t extra) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_[host].push_back(Script{fault, count, result, extra});
}

void ScriptedNodes::ClearFaults() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        faults_.clear();
    }
    changed_.notify_all();
}

std::vector<ScriptedNodes::Served> ScriptedNodes::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return served_;
}

bool ScriptedNodes::WaitHanging(int count) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return hanging_ >= count; });
}

std::shared_ptr<HttpRequest> ScriptedNodes::Create(const HttpRequestParams& params, const std::string&) {
    return std::make_shared<Request>(this, params);
}

void ScriptedNodes::AfterEachBlock(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    afterEachBlock_ = std::move(hook);
}

HttpRequestStatus ScriptedNodes::Answer(Request& request, const HttpRequestParams& params) {
    const Uri uri(params.url);
    const std::string host = uri.Authority();
    Served served{host, uri.Path(), params.rangeStart, params.rangeEnd, HttpRequestResult::Success};
    std::string body;
    std::optional<Script> fault;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        auto& scripts = faults_[host];
        if (!scripts.empty()) {
            fault = scripts.front();
            if (scripts.front().remaining > 0 && --scripts.front().remaining == 0) {
                scripts.pop_front();
            }
        }
        const auto content = contents_.find(served.path);
        HttpRequestStatus status;
        if (request.cancelled_) {
            status.result = HttpRequestResult::Cancelled;
        } else if (fault && fault->fault == Fault::Hang) {
            ++hanging_;
            changed_.notify_all();
            changed_.wait(lock, [&] { return request.cancelled_; });
            --hanging_;
            status.result = HttpRequestResult::Cancelled;
        } else if (fault && fault->fault == Fault::Fail) {
            status.result = fault->result;
            status.errorMessage = "scripted failure";
        } else if (content == contents_.end() || params.rangeStart > params.rangeEnd ||
                   params.rangeStart >= content->second.size()) {
            status.result = HttpRequestResult::ClientError;
            status.responseCode = 404;
        } else {
            const std::uint64_t last = std::min<std::uint64_t>(params.rangeEnd, content->second.size() - 1);
            body = content->second.substr(params.rangeStart, last - params.rangeStart + 1);
            if (fault && fault->fault == Fault::Wrong) {
                for (char& c : body) {
                    c = static_cast<char>(~c);
                }
            } else if (fault && fault->fault == Fault::Extra) {
                body.append(fault->extra, 'x');
            } else if (fault && fault->fault == Fault::Forge) {
                forgery::ForgeKeepingCrc32(reinterpret_cast<unsigned char*>(body.data()), body.size());
            }
        }
        if (status.result != HttpRequestResult::NotStarted) {
            served.result = status.result;
            served_.push_back(served);
            return status;
        }
    }
    // The body goes to the writer outside the lock, in blocks as libcurl hands them over.
    std::function<void()> afterEachBlock;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        afterEachBlock = afterEachBlock_;
    }
    HttpRequestStatus status;
    status.result = HttpRequestResult::Success;
    status.responseCode = 206;
    constexpr std::size_t block = 16 * 1024;
    for (std::size_t at = 0; at < body.size(); at += block) {
        const std::size_t length = std::min(block, body.size() - at);
        const HttpRequestStatus written = params.writer->Write(body.data() + at, length);
        status.bytesWritten += written.bytesWritten;
        if (afterEachBlock) {
            afterEachBlock();
        }
        if (written.result != HttpRequestResult::Success || written.bytesWritten != length) {
            status.result = written.result == HttpRequestResult::OutOfRange ||
                                    written.result == HttpRequestResult::OutOfMemory
                                ? written.result
                                : HttpRequestResult::WriteFailed;
            break;
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    served.result = status.result;
    served_.push_back(served);
    return status;
}

}  // namespace halcyne::test
