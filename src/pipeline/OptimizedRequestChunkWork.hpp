// Downloads one chunk: the optimizer picks a node among those not yet tried, a ranged GET for exactly the
// chunk's bytes streams into the chunk's view, and the outcome goes to the node's statistics and the
// optimizer. A failed request is retried at once on another node; probes and time-outs under time-outs
// that may still grow cost no retry. Nodes the transfer has excluded are never chosen; with every node
// excluded the attempt ends as a Failure with ChecksumMismatch data, without a request. The checksum is
// checked by the works around it, which learn from the chunk data which node served the bytes.
//
// ExecuteTask runs on a work-manager thread and blocks in the request; Interrupt may come from any thread
// (the workflow) at any moment and ends the attempt as Interrupted. The mutex guards only the pointer to the
// request in flight and is never held while the request is called.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "optimizer/OptimizedRequestParams.hpp"
#include "pipeline/TransferWork.hpp"
#include "work/LimitedRetryWork.hpp"

namespace halcyne {

class HttpRequest;
class HttpSession;
class TransferSharedMapData;
enum class HttpRequestResult : std::uint8_t;

// The duration reported for a request: as measured, unless the whole seconds exceed connectTimeout +
// timeout (a clock that jumped, a process that slept), then (connectTimeout + timeout) x 1000.
std::int32_t ReportedRequestTimeMs(std::uint32_t elapsedMs, std::int32_t connectTimeout,
                                   std::int32_t timeout);
// The work result of an attempt by its HTTP result: Success, Interrupted (Cancelled), RetryableError for
// failures worth another node, Error for the rest.
WorkResult RequestWorkResult(HttpRequestResult result);

class OptimizedRequestChunkWork : public TransferWork, public LimitedRetrySimpleWork {
public:
    OptimizedRequestChunkWork(std::shared_ptr<TransferWorkInterface> workInterface,
                              std::shared_ptr<HttpSession> session,
                              std::shared_ptr<TransferSharedMapData> chunkData, std::uint32_t maxRetries);
    ~OptimizedRequestChunkWork() override;

    void Describe(boost::property_tree::ptree& tree) const override;
    std::optional<bool> KnownImportance() const override { return false; }
    // True without charging a retry after a probe or an adaptive time-out, as long as such free retries
    // number fewer than maxRetries in this run; otherwise the budget decides. With many untested or slow
    // nodes the attempts of one run are therefore at most 2 * maxRetries + 1, whatever the list's size.
    bool ShouldRetry() override;
    // That of LimitedRetrySimpleWork, and the free retries start afresh.
    void Reset() override;
    WorkStatus ExecuteTask() override;
    // Cancels the request in flight; an attempt that has not started its request yet cancels it itself.
    void Interrupt() override;

    // The params (candidates, last choice); read by tests between attempts.
    const OptimizedRequestParams& Params() const { return params_; }

private:
    WorkStatus Attempt();
    void SetCurrentRequest(std::shared_ptr<HttpRequest> request);

    const std::shared_ptr<HttpSession> session_;
    const std::shared_ptr<TransferSharedMapData> chunkData_;
    OptimizedRequestParams params_;  // touched only by the thread running the attempt
    std::uint32_t freeRetries_ = 0;  // retries of this run not charged to the budget; likewise
    std::mutex requestMutex_;        // guards currentRequest_
    std::shared_ptr<HttpRequest> currentRequest_;
};

}  // namespace halcyne
