#include "pipeline/OptimizedRequestChunkWork.hpp"

#include <algorithm>
#include <new>

#include "common/MonotonicClock.hpp"
#include "http/HttpRequest.hpp"
#include "http/HttpRequestFactory.hpp"
#include "manifest/NodeListManifest.hpp"
#include "optimizer/HttpTransferStatusData.hpp"
#include "optimizer/NodeStatistics.hpp"
#include "optimizer/TransferOptimizer.hpp"
#include "pipeline/TransferHttpWriter.hpp"
#include "pipeline/TransferSharedFileData.hpp"
#include "pipeline/TransferSharedMapData.hpp"
#include "pipeline/TransferStatusData.hpp"
#include "pipeline/TransferWorkLog.hpp"

namespace halcyne {

namespace {

// The chunk as the request params take it: its file's path and its byte range.
std::optional<RequestedChunk> RequestedChunkOf(const TransferSharedMapData* chunk) {
    if (!chunk) {
        return std::nullopt;
    }
    return RequestedChunk{chunk->fileData ? chunk->fileData->filePath : std::string(), chunk->lowerBound,
                          chunk->upperBound};
}

bool IsFailedSample(HttpRequestResult result) {
    switch (result) {
        case HttpRequestResult::NotStarted:
        case HttpRequestResult::InProgress:
        case HttpRequestResult::Success:
        case HttpRequestResult::Cancelled:
            return false;
        default:
            return true;
    }
}

}  // namespace

std::int32_t ReportedRequestTimeMs(std::uint32_t elapsedMs, std::int32_t connectTimeout,
                                   std::int32_t timeout) {
    const std::int64_t limitSeconds = std::int64_t{connectTimeout} + timeout;
    if (std::int64_t{elapsedMs / 1000} > limitSeconds) {
        return static_cast<std::int32_t>(std::clamp<std::int64_t>(limitSeconds * 1000, 0, INT32_MAX));
    }
    return static_cast<std::int32_t>(std::min<std::uint32_t>(elapsedMs, INT32_MAX));
}

WorkResult RequestWorkResult(HttpRequestResult result) {
    switch (result) {
        case HttpRequestResult::Success:
            return WorkResult::Success;
        case HttpRequestResult::Cancelled:
            return WorkResult::Interrupted;
        case HttpRequestResult::BadUrl:
        case HttpRequestResult::ResolveFailed:
        case HttpRequestResult::ConnectFailed:
        case HttpRequestResult::ClientError:
        case HttpRequestResult::ServerError:
        case HttpRequestResult::TransmissionFailed:
        case HttpRequestResult::WriteFailed:
        case HttpRequestResult::OutOfRange:
        case HttpRequestResult::TimedOut:
        case HttpRequestResult::OtherError:
        // One node's certificate says nothing of the others': the chunk moves on to another node.
        case HttpRequestResult::CertificateRefused:
            return WorkResult::RetryableError;
        default:
            return WorkResult::Error;
    }
}

OptimizedRequestChunkWork::OptimizedRequestChunkWork(std::shared_ptr<TransferWorkInterface> workInterface,
                                                     std::shared_ptr<HttpSession> session,
                                                     std::shared_ptr<TransferSharedMapData> chunkData,
                                                     std::uint32_t maxRetries)
    : TransferWork(std::move(workInterface)),
      LimitedRetrySimpleWork(nullptr, maxRetries),
      session_(std::move(session)),
      chunkData_(std::move(chunkData)),
      params_(workInterface_->GetNodeList(), workInterface_->GetParams(), RequestedChunkOf(chunkData_.get()),
              workInterface_->GetExcludedNodes()) {
    AddWorkCompleteCallback(WorkLogCompleteCallback(workInterface_->Behavior()));
    AddRetryCallback(WorkLogRetryCallback(workInterface_->Behavior()));
    if (chunkData_ && chunkData_->fileData) {
        const std::string source = chunkData_->fileData->RefetchSource();
        if (!source.empty()) {
            params_.PreferHost(source);
        }
    }
}

OptimizedRequestChunkWork::~OptimizedRequestChunkWork() = default;

void OptimizedRequestChunkWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "OptimizedRequestChunkWork", false, *workInterface_, chunkData_.get());
}

bool OptimizedRequestChunkWork::ShouldRetry() {
    // Free retries are bounded too: each one is a node tried, and without a bound a long list of untested
    // or stalling nodes would hold the chunk for as many attempts as there are nodes.
    if (params_.noRetryCharge && freeRetries_ < MaxRetries()) {
        ++freeRetries_;
        return true;
    }
    return LimitedRetrySimpleWork::ShouldRetry();
}

void OptimizedRequestChunkWork::Reset() {
    LimitedRetrySimpleWork::Reset();
    freeRetries_ = 0;
}

void OptimizedRequestChunkWork::Interrupt() {
    std::shared_ptr<HttpRequest> request;
    {
        std::lock_guard<std::mutex> lock(requestMutex_);
        request = currentRequest_;
    }
    if (request) {
        request->Cancel();
    }
}

void OptimizedRequestChunkWork::SetCurrentRequest(std::shared_ptr<HttpRequest> request) {
    std::shared_ptr<HttpRequest> previous;
    {
        std::lock_guard<std::mutex> lock(requestMutex_);
        previous = std::move(currentRequest_);
        currentRequest_ = std::move(request);
    }
    // `previous` (a pooled request goes back to its pool) is released outside the lock.
}

WorkStatus OptimizedRequestChunkWork::ExecuteTask() {
    if (!chunkData_ || !chunkData_->file) {
        return WorkStatus(WorkResult::Error, std::make_shared<TransferErrorData>(
                                                 TransferError::InternalError,
                                                 "OptimizedRequestChunkWork::ExecuteTask has no shared map"));
    }
    try {
        WorkStatus status = Attempt();
        SetCurrentRequest(nullptr);
        return status;
    } catch (const std::bad_alloc&) {
        SetCurrentRequest(nullptr);
        return WorkStatus(WorkResult::Error, std::make_shared<TransferExceptionData>(
                                                 TransferError::OutOfMemory, std::current_exception()));
    } catch (...) {
        SetCurrentRequest(nullptr);
        return WorkStatus(WorkResult::Error, std::make_shared<TransferExceptionData>(
                                                 TransferError::InternalError, std::current_exception()));
    }
}

WorkStatus OptimizedRequestChunkWork::Attempt() {
    const TransferBehavior& behavior = workInterface_->Behavior();
    if (!params_.DropExcluded() && params_.nodeList && !params_.nodeList->GetNodes().empty()) {
        // Every node sent forged chunks: none is asked again, and the chunk fails as a checksum mismatch.
        return WorkStatus(WorkResult::Failure,
                          std::make_shared<TransferErrorData>(
                              TransferError::ChecksumMismatch,
                              "no node left to ask: every node of the transfer sent a chunk whose SHA-256 "
                              "differs from the manifest's"));
    }
    behavior.optimizer->GetNode(params_);

    auto writer = std::make_shared<TransferHttpWriter>(chunkData_);
    const HttpRequestParams requestParams = params_.ToRequestParams(writer.get());
    std::shared_ptr<HttpRequest> request = behavior.requestFactory->CreateRequest(requestParams, session_);
    SetCurrentRequest(request);

    chunkData_->ResetProgress();
    // An interrupt that came before the request was published would find nothing to cancel: cancel it
    // here, so that Perform returns at once.
    if (IsInterrupted()) {
        request->Cancel();
    }

    const std::uint32_t started = MonotonicMilliseconds();
    HttpRequestStatus status = request->Perform();
    const std::uint32_t elapsed = MonotonicMilliseconds() - started;
    const std::int32_t requestTimeMs =
        ReportedRequestTimeMs(elapsed, requestParams.connectTimeout, requestParams.timeout);

    WorkResult result = RequestWorkResult(status.result);
    // A request that failed while the workflow was interrupting it (the cancel raced with the failure)
    // still ends the attempt as interrupted: the node is kept and nothing is reported.
    if (result != WorkResult::Success && IsInterrupted()) {
        result = WorkResult::Interrupted;
    }
    const HttpRequestResult httpResult = status.result;
    auto data = std::make_shared<HttpTransferStatusData>(params_.SelectedNode->GetHost(), std::move(status),
                                                         requestTimeMs, requestParams.url);
    if (result == WorkResult::Interrupted) {
        return WorkStatus(result, std::move(data));
    }
    if (result == WorkResult::Success) {
        chunkData_->servedBy = params_.SelectedNode;  // for the check of what it sent
    }

    if (std::shared_ptr<NodeStatistics> statistics = params_.SelectedNode->GetStatistics()) {
        statistics->Update(data->status.bytesWritten, static_cast<std::uint32_t>(std::max(requestTimeMs, 0)),
                           IsFailedSample(httpResult));
    }
    if (result == WorkResult::Success || result == WorkResult::RetryableError) {
        behavior.optimizer->ReportResult(params_, data);
    }
    params_.RemoveSelectedNode();
    if (httpResult == HttpRequestResult::TimedOut && params_.adaptiveTimeouts) {
        params_.noRetryCharge = true;
    }
    return WorkStatus(result, std::move(data));
}

}  // namespace halcyne
