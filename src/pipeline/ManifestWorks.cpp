#include "pipeline/ManifestWorks.hpp"

#include <new>

#include "common/EngineSettings.hpp"
#include "common/NoValueMarker.hpp"
#include "http/HttpRequestCanceller.hpp"
#include "manifest/ManifestException.hpp"
#include "manifest/NodeListManifest.hpp"
#include "manifest/NodeListManifestFactory.hpp"
#include "manifest/PackageManifest.hpp"
#include "manifest/PackageManifestFactory.hpp"
#include "manifest/PackageRef.hpp"
#include "pipeline/FileWorks.hpp"
#include "pipeline/TransferStatusData.hpp"
#include "pipeline/TransferWorkLog.hpp"

namespace halcyne {

void PackageStatusData::Describe(boost::property_tree::ptree& tree) const {
    if (!package) {
        tree.put("package", "null");
        return;
    }
    tree.put("packageId", package->GetId());
    tree.put("partnerId", package->GetPartnerId());
    tree.put("versionId", package->GetVersionId());
}

void NodeListStatusData::Describe(boost::property_tree::ptree& tree) const {
    if (!nodeList) {
        tree.put("nodes", "null");
        return;
    }
    tree.put("count", std::to_string(nodeList->GetNodes().size()));
}

// GetManifestsWork

GetManifestsWork::GetManifestsWork(std::shared_ptr<TransferWorkInterface> workInterface,
                                   std::shared_ptr<HttpSession> session)
    : TransferWork(std::move(workInterface)),
      ParallelWork(WorkLogCompleteCallback(workInterface_->Behavior())) {
    AddChild(std::make_shared<GetPackageManifestWork>(workInterface_, session));
    AddChild(std::make_shared<GetNodeListWork>(workInterface_, session));
}

void GetManifestsWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "GetManifestsWork", false, *workInterface_);
}

// ManifestFetchWork

ManifestFetchWork::ManifestFetchWork(std::shared_ptr<TransferWorkInterface> workInterface,
                                     std::shared_ptr<HttpSession> session,
                                     WorkCompleteCallback* transferCallback)
    : TransferWork(std::move(workInterface)),
      LimitedRetrySimpleWork(
          transferCallback,
          static_cast<std::uint32_t>(std::max(workInterface_->Behavior().settings.manifestRetryLimit, 0))),
      session_(std::move(session)),
      canceller_(std::make_shared<HttpRequestCanceller>()) {
    AddWorkCompleteCallback(WorkLogCompleteCallback(workInterface_->Behavior()));
    AddRetryCallback(WorkLogRetryCallback(workInterface_->Behavior()));
}

ManifestFetchWork::~ManifestFetchWork() = default;

void ManifestFetchWork::Reset() {
    LimitedRetrySimpleWork::Reset();
    canceller_->Rearm();
}

void ManifestFetchWork::Interrupt() {
    canceller_->Cancel();
}

WorkStatus ManifestFetchWork::ExecuteTask() {
    try {
        return Fetch();
    } catch (const ManifestStreamException&) {
        if (IsInterrupted()) {
            return WorkStatus(WorkResult::Interrupted);
        }
        return WorkStatus(WorkResult::RetryableError,
                          std::make_shared<TransferExceptionData>(TransferError::ConnectionError,
                                                                  std::current_exception()));
    } catch (const ManifestNotFoundException&) {
        return WorkStatus(WorkResult::Error, std::make_shared<TransferExceptionData>(
                                                 TransferError::NotPublished, std::current_exception()));
    } catch (const ManifestTrustException&) {
        return WorkStatus(WorkResult::Error, std::make_shared<TransferExceptionData>(
                                                 TransferError::Unverified, std::current_exception()));
    } catch (const ManifestException&) {
        return WorkStatus(WorkResult::Error, std::make_shared<TransferExceptionData>(
                                                 TransferError::ManifestError, std::current_exception()));
    } catch (const std::bad_alloc&) {
        return WorkStatus(WorkResult::Error, std::make_shared<TransferExceptionData>(
                                                 TransferError::OutOfMemory, std::current_exception()));
    } catch (...) {
        return WorkStatus(WorkResult::Error, std::make_shared<TransferExceptionData>(
                                                 TransferError::InternalError, std::current_exception()));
    }
}

void RequireUsableVersionId(const PackageManifest& manifest) {
    if (!IsPathSegmentId(manifest.GetVersionId())) {
        throw ManifestParseException(
            "the package manifest's versionId is empty, \".\", \"..\" or holds a "
            "control character");
    }
}

// GetPackageManifestWork

GetPackageManifestWork::GetPackageManifestWork(std::shared_ptr<TransferWorkInterface> workInterface,
                                               std::shared_ptr<HttpSession> session)
    : ManifestFetchWork(workInterface, std::move(session), workInterface->GetPackageCallback()) {}

void GetPackageManifestWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "GetPackageManifestWork", true, *workInterface_);
}

WorkStatus GetPackageManifestWork::Fetch() {
    const TransferParams params = workInterface_->GetParams();
    const std::string versionId = params.versionId == NoValueMarker ? std::string() : params.versionId;
    const std::string ref = MakePackageRef(params.packageId, versionId);
    std::shared_ptr<PackageManifest> manifest =
        workInterface_->Behavior().packageManifestFactory->Create(ref, session_, canceller_);
    if (manifest) {
        RequireUsableVersionId(*manifest);
        const EngineSettings& settings = workInterface_->Behavior().settings;
        RequireWorkWithinLimits(*manifest, settings.maxPackageFiles, settings.maxPackageChunks);
    }
    return WorkStatus(WorkResult::Success, std::make_shared<PackageStatusData>(std::move(manifest)));
}

void RequireWorkWithinLimits(const PackageManifest& manifest, std::uint64_t maxFiles,
                             std::uint64_t maxChunks) {
    const FileManifestList& files = manifest.GetFiles();
    if (files.size() > maxFiles) {
        throw ManifestSizeException("the package manifest describes " + std::to_string(files.size()) +
                                    " files, more than the " + std::to_string(maxFiles) + " allowed");
    }
    std::uint64_t chunks = 0;
    for (const std::shared_ptr<FileManifest>& file : files) {
        chunks += ChunkCount(file->GetChunkSize(), file->GetSize());
        if (chunks > maxChunks) {
            throw ManifestSizeException("the package manifest describes more than the " +
                                        std::to_string(maxChunks) + " chunks allowed");
        }
    }
}

// GetNodeListWork

GetNodeListWork::GetNodeListWork(std::shared_ptr<TransferWorkInterface> workInterface,
                                 std::shared_ptr<HttpSession> session)
    : ManifestFetchWork(workInterface, std::move(session), workInterface->GetNodeListCallback()) {}

void GetNodeListWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "GetNodeListWork", true, *workInterface_);
}

WorkStatus GetNodeListWork::Fetch() {
    const TransferParams params = workInterface_->GetParams();
    std::shared_ptr<NodeListManifest> list =
        workInterface_->Behavior().nodeListManifestFactory->Create(params.partnerId, session_, canceller_);
    return WorkStatus(WorkResult::Success, std::make_shared<NodeListStatusData>(std::move(list)));
}

// ConstructTransferFromPackageWork

ConstructTransferFromPackageWork::ConstructTransferFromPackageWork(
    std::shared_ptr<TransferWorkInterface> workInterface, std::shared_ptr<HttpSession> session,
    std::shared_ptr<DeferredWork> deferred, std::shared_ptr<TransferFileSet> files)
    : TransferWork(std::move(workInterface)),
      SimpleWork(WorkLogCompleteCallback(workInterface_->Behavior())),
      session_(std::move(session)),
      deferred_(std::move(deferred)),
      files_(std::move(files)) {}

void ConstructTransferFromPackageWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "ConstructTransferFromPackageWork", false, *workInterface_);
}

WorkStatus ConstructTransferFromPackageWork::ExecuteTask() {
    try {
        auto files = std::make_shared<TransferMultipleFilesWork>(workInterface_, session_, files_);
        if (deferred_->Assign(std::move(files))) {
            return WorkStatus(WorkResult::Success);
        }
        return WorkStatus(
            WorkResult::Error,
            std::make_shared<TransferErrorData>(
                TransferError::InternalError,
                "ConstructTransferFromPackageWork::ExecuteTask failed; DeferredWork already assigned"));
    } catch (...) {
        return WorkStatus(WorkResult::Error, std::make_shared<TransferExceptionData>(
                                                 TransferError::InternalError, std::current_exception()));
    }
}

}  // namespace halcyne
