// The works that fetch a transfer's package manifest and node list side by side (GetManifestsWork) and the
// work that then builds the file tree into the waiting deferred work (ConstructTransferFromPackageWork),
// with the status data that carries the documents to the transfer's callbacks.
//
// Built with the tree by TransferPackageWork; run on work-manager threads. Interrupt (from the workflow's
// thread) stops a fetch in flight through a request canceller. The transfer's callbacks and the work log run
// on the thread that completes the work.
#pragma once

#include <cstdint>
#include <memory>

#include "pipeline/TransferWork.hpp"
#include "work/CompositeWork.hpp"
#include "work/LimitedRetryWork.hpp"
#include "work/SimpleWork.hpp"

namespace halcyne {

class HttpRequestCanceller;
class HttpSession;
class NodeListManifest;
class PackageManifest;
class TransferFileSet;

class PackageStatusData : public WorkStatusData {
public:
    explicit PackageStatusData(std::shared_ptr<const PackageManifest> package)
        : package(std::move(package)) {}
    // "packageId", "partnerId", "versionId" of the manifest, or "package" = "null" without one.
    void Describe(boost::property_tree::ptree& tree) const override;

    const std::shared_ptr<const PackageManifest> package;
};

class NodeListStatusData : public WorkStatusData {
public:
    explicit NodeListStatusData(std::shared_ptr<const NodeListManifest> nodeList)
        : nodeList(std::move(nodeList)) {}
    // "count" = the number of nodes, or "nodes" = "null" without a list.
    void Describe(boost::property_tree::ptree& tree) const override;

    const std::shared_ptr<const NodeListManifest> nodeList;
};

class GetManifestsWork : public TransferWork, public ParallelWork {
public:
    GetManifestsWork(std::shared_ptr<TransferWorkInterface> workInterface,
                     std::shared_ptr<HttpSession> session);
    void Describe(boost::property_tree::ptree& tree) const override;
};

// The common part of the two fetching works: the session, the retry budget (manifestRetryLimit), the
// canceller, and the rule that turns manifest exceptions into results.
class ManifestFetchWork : public TransferWork, public LimitedRetrySimpleWork {
public:
    ManifestFetchWork(std::shared_ptr<TransferWorkInterface> workInterface,
                      std::shared_ptr<HttpSession> session, WorkCompleteCallback* transferCallback);
    ~ManifestFetchWork() override;
    void Reset() override;  // also lets the canceller run requests again
    WorkStatus ExecuteTask() override;
    void Interrupt() override;  // cancels the fetch in flight

protected:
    // Fetches the document; exceptions are classified by ExecuteTask.
    virtual WorkStatus Fetch() = 0;

    const std::shared_ptr<HttpSession> session_;
    const std::shared_ptr<HttpRequestCanceller> canceller_;
};

// The transfer takes its version id from the package manifest (a current manifest names the version it
// is), and the id then becomes a segment of every chunk URL: ManifestParseException when the manifest's
// version id cannot be one (IsPathSegmentId).
void RequireUsableVersionId(const PackageManifest& manifest);

// ManifestSizeException when the manifest describes more files than maxFiles or more chunks (over all its
// files) than maxChunks: the work tree of a transfer grows with both.
void RequireWorkWithinLimits(const PackageManifest& manifest, std::uint64_t maxFiles,
                             std::uint64_t maxChunks);

class GetPackageManifestWork : public ManifestFetchWork {
public:
    GetPackageManifestWork(std::shared_ptr<TransferWorkInterface> workInterface,
                           std::shared_ptr<HttpSession> session);
    void Describe(boost::property_tree::ptree& tree) const override;

protected:
    WorkStatus Fetch() override;
};

class GetNodeListWork : public ManifestFetchWork {
public:
    GetNodeListWork(std::shared_ptr<TransferWorkInterface> workInterface,
                    std::shared_ptr<HttpSession> session);
    void Describe(boost::property_tree::ptree& tree) const override;

protected:
    WorkStatus Fetch() override;
};

class ConstructTransferFromPackageWork : public TransferWork, public SimpleWork {
public:
    // `files`, when given, receives the file data of every file of the tree built.
    ConstructTransferFromPackageWork(std::shared_ptr<TransferWorkInterface> workInterface,
                                     std::shared_ptr<HttpSession> session,
                                     std::shared_ptr<DeferredWork> deferred,
                                     std::shared_ptr<TransferFileSet> files = nullptr);
    void Describe(boost::property_tree::ptree& tree) const override;
    WorkStatus ExecuteTask() override;
    void Interrupt() override {}

private:
    const std::shared_ptr<HttpSession> session_;
    const std::shared_ptr<DeferredWork> deferred_;
    const std::shared_ptr<TransferFileSet> files_;
};

}  // namespace halcyne
