#include "pipeline/ChunkWorks.hpp"

#include <algorithm>

#include "file/SharedFile.hpp"
#include "manifest/NodeListManifest.hpp"
#include "optimizer/ExcludedNodes.hpp"
#include "optimizer/NodeStatistics.hpp"
#include "optimizer/TransferOptimizer.hpp"
#include "pipeline/ChecksumStatusData.hpp"
#include "pipeline/Crc32.hpp"
#include "pipeline/FileReading.hpp"
#include "pipeline/OptimizedRequestChunkWork.hpp"
#include "pipeline/TransferProgressUpdater.hpp"
#include "pipeline/TransferSharedFileData.hpp"
#include "pipeline/TransferSharedMapData.hpp"
#include "pipeline/TransferStatusData.hpp"
#include "pipeline/TransferWorkLog.hpp"

namespace halcyne {

namespace {

// max(minimum, min(nodes - 1, maxNodeRetries), 0): one retry per other node, but no more than the cap, so
// that the wait before a chunk gives up does not grow with the node list; the minimum still holds above
// the cap.
std::uint32_t RetryLimit(TransferWorkInterface& workInterface, int minimum) {
    const std::shared_ptr<NodeListManifest> nodes = workInterface.GetNodeList();
    const std::int64_t others = nodes ? static_cast<std::int64_t>(nodes->GetNodes().size()) - 1 : -1;
    const std::int64_t cap = std::max(workInterface.Behavior().settings.maxNodeRetries, 0);
    return static_cast<std::uint32_t>(std::max<std::int64_t>({std::min(others, cap), minimum, 0}));
}

WorkStatus MissingData(const char* message) {
    return WorkStatus(WorkResult::Error,
                      std::make_shared<TransferErrorData>(TransferError::InternalError, message));
}

}  // namespace

std::uint32_t ChunkRetryLimit(TransferWorkInterface& workInterface) {
    return RetryLimit(workInterface, workInterface.Behavior().settings.minChunkRetries);
}

std::uint32_t RequestRetryLimit(TransferWorkInterface& workInterface) {
    return RetryLimit(workInterface, workInterface.Behavior().settings.minRequestRetries);
}

// TransferSingleChunkWork

TransferSingleChunkWork::TransferSingleChunkWork(std::shared_ptr<TransferWorkInterface> workInterface,
                                                 std::shared_ptr<HttpSession> session,
                                                 std::shared_ptr<TransferSharedFileData> fileData,
                                                 std::uint64_t lowerBound, std::uint64_t upperBound,
                                                 std::uint32_t expectedChecksum,
                                                 std::optional<Sha256::Digest> expectedSha256)
    : TransferWork(std::move(workInterface)),
      SequentialWork(WorkLogCompleteCallback(workInterface_->Behavior())),
      chunkData_(std::make_shared<TransferSharedMapData>(
          std::move(fileData), lowerBound, upperBound, expectedChecksum, workInterface_->GetProgressUpdater(),
          expectedSha256)) {
    AddChild(std::make_shared<CreateChunkMapWork>(workInterface_, chunkData_));
    AddChild(std::make_shared<MutexPrefetchChunkWork>(workInterface_, chunkData_));
    AddChild(std::make_shared<ConditionalTransferChunkWork>(workInterface_, std::move(session), chunkData_));
    AddChild(std::make_shared<ReleaseChunkMapWork>(workInterface_, chunkData_));
}

void TransferSingleChunkWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "TransferSingleChunkWork", false, *workInterface_, chunkData_.get());
}

void TransferSingleChunkWork::Reset() {
    SequentialWork::Reset();
    chunkData_->ReleaseFile();
    chunkData_->fileProgressBytes = 0;
    chunkData_->servedBy.reset();
}

void TransferSingleChunkWork::ReleaseFile() {
    chunkData_->ReleaseFile();
}

// CreateChunkMapWork

CreateChunkMapWork::CreateChunkMapWork(std::shared_ptr<TransferWorkInterface> workInterface,
                                       std::shared_ptr<TransferSharedMapData> chunkData)
    : TransferWork(std::move(workInterface)),
      SimpleWork(WorkLogCompleteCallback(workInterface_->Behavior())),
      chunkData_(std::move(chunkData)) {}

void CreateChunkMapWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "CreateChunkMapWork", false, *workInterface_, chunkData_.get());
}

void CreateChunkMapWork::Reset() {
    SimpleWork::Reset();
    chunkData_->ReleaseFile();
}

WorkStatus CreateChunkMapWork::ExecuteTask() {
    try {
        std::shared_ptr<SharedFile> file = chunkData_->fileData ? chunkData_->fileData->Target() : nullptr;
        if (!file) {
            return MissingData("CreateChunkMapWork::ExecuteTask has no shared file");
        }
        chunkData_->UseFile(std::move(file));
        return WorkStatus(WorkResult::Success);
    } catch (...) {
        return MakeTransferFileExceptionStatus();
    }
}

// MutexPrefetchChunkWork

MutexPrefetchChunkWork::MutexPrefetchChunkWork(std::shared_ptr<TransferWorkInterface> workInterface,
                                               std::shared_ptr<TransferSharedMapData> chunkData)
    : TransferWork(std::move(workInterface)),
      SimpleWork(WorkLogCompleteCallback(workInterface_->Behavior())),
      chunkData_(std::move(chunkData)) {}

void MutexPrefetchChunkWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "MutexPrefetchChunkWork", false, *workInterface_, chunkData_.get());
}

WorkStatus MutexPrefetchChunkWork::ExecuteTask() {
    if (!chunkData_->file) {
        return MissingData("MutexPrefetchChunkWork::ExecuteTask has no shared map");
    }
    return WorkStatus(WorkResult::Success);
}

// VerifyChunkWork

VerifyChunkWork::VerifyChunkWork(std::shared_ptr<TransferWorkInterface> workInterface,
                                 std::shared_ptr<TransferSharedMapData> chunkData, bool firstCheck)
    : TransferWork(std::move(workInterface)),
      SimpleWork(WorkLogCompleteCallback(workInterface_->Behavior())),
      chunkData_(std::move(chunkData)),
      firstCheck_(firstCheck) {}

void VerifyChunkWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "VerifyChunkWork", false, *workInterface_, chunkData_.get());
}

namespace {

// The outcome of checking a chunk's bytes against its published ones.
struct ChunkCheck {
    std::uint32_t checksum = 0;                 // the bytes' CRC-32
    std::optional<Sha256::Digest> wrongSha256;  // their SHA-256, when the CRC-32 matched and it did not
    bool intact = false;
};

ChunkCheck Compare(const TransferSharedMapData& chunk, std::uint32_t checksum,
                   const std::optional<Sha256::Digest>& sha256) {
    ChunkCheck check;
    check.checksum = checksum;
    if (checksum != chunk.expectedChecksum) {
        return check;
    }
    if (chunk.expectedSha256 && sha256 != chunk.expectedSha256) {
        check.wrongSha256 = sha256;
        return check;
    }
    check.intact = true;
    return check;
}

// The chunk's bytes as `file` holds them. A range of a freshly allocated file that nothing has written is
// zeros: its CRC-32 is computed without reading (and its SHA-256, in the rare case that the chunk really is
// all zeros). Anything else is read once, with the CRC-32 and, where the manifest gives one, the SHA-256
// computed in the same pass. A file that ends inside the chunk does not hold it.
ChunkCheck CheckInFile(SharedFile& file, const TransferSharedMapData& chunk,
                       std::uint64_t* readBytes = nullptr) {
    if (file.HoldsAllocatedZeros(chunk.lowerBound, chunk.upperBound)) {
        const std::uint32_t checksum = Crc32OfZeros(chunk.Length());
        if (checksum != chunk.expectedChecksum || !chunk.expectedSha256) {
            return Compare(chunk, checksum, std::nullopt);
        }
        return Compare(chunk, checksum, Sha256OfZeros(chunk.Length()));
    }
    ChunkDigest digest;
    digest.Restart(chunk.expectedSha256.has_value());
    const std::optional<std::uint64_t> read = ReadFileRange(
        file, chunk.lowerBound, chunk.Length(),
        [&digest](const std::uint8_t* data, std::size_t length) { digest.Update(data, length); });
    ChunkCheck check = Compare(chunk, digest.Checksum(), digest.FinalSha256());
    if (readBytes != nullptr) {
        *readBytes = read.value_or(0);
    }
    if (read != chunk.Length()) {
        check.intact = false;
        check.wrongSha256.reset();
    }
    return check;
}

// The check after a download: the digest computed while its bytes were written, when the download wrote the
// whole chunk and the file still holds it (nobody made it shorter since); otherwise the bytes on disk.
ChunkCheck CheckDownload(TransferSharedMapData& chunk) {
    if (std::optional<TransferSharedMapData::WrittenDigest> written = chunk.TakeWrittenDigest();
        written && chunk.file->Size() > chunk.upperBound) {
        return Compare(chunk, written->checksum, written->sha256);
    }
    return CheckInFile(*chunk.file, chunk);
}

// The chunk differs where it was first checked. Staging begins (unless it has), and the chunk is looked for
// where it may already be: a chunk checked in place, in the sibling (an earlier run may have written it);
// a chunk checked in the sibling, in the same range of the file under the name, from which it is then
// copied. Either way the chunk's file is the sibling afterwards, ready for a download. Whether the chunk
// was found.
bool FindElsewhere(TransferSharedMapData& chunk) {
    const TransferSharedFileData::Staging staging = chunk.fileData->Stage();
    if (chunk.file != staging.sibling) {
        chunk.UseFile(staging.sibling);
        return CheckInFile(*chunk.file, chunk).intact;
    }
    if (staging.source && chunk.upperBound < staging.source->Size() &&
        CheckInFile(*staging.source, chunk).intact) {
        staging.sibling->CopyRange(*staging.source, chunk.lowerBound, chunk.Length());
        return true;
    }
    return false;
}

}  // namespace

WorkStatus VerifyChunkWork::ExecuteTask() {
    try {
        TransferSharedMapData& chunk = *chunkData_;
        if (!chunk.file) {
            return MissingData("VerifyChunkWork::ExecuteTask has no shared map");
        }
        const bool refetching = chunk.fileData && !chunk.fileData->RefetchSource().empty();
        if (firstCheck_ && refetching) {
            // The file's hash did not match although every chunk's CRC-32 did: nothing on disk is taken, the
            // chunk is downloaded again, into the sibling.
            const TransferSharedFileData::Staging staging = chunk.fileData->Stage();
            if (chunk.file != staging.sibling) {
                chunk.UseFile(staging.sibling);
            }
            chunk.ResetProgress();
            return WorkStatus(WorkResult::Failure,
                              std::make_shared<ChecksumStatusData>(chunk.expectedChecksum));
        }
        std::uint64_t readFromDisk = 0;
        const ChunkCheck check =
            firstCheck_ ? CheckInFile(*chunk.file, chunk, &readFromDisk) : CheckDownload(chunk);
        if (readFromDisk != 0 && chunk.progressUpdater) {
            // What an earlier run left on disk was read back and checked (the player sees it as verifying).
            chunk.progressUpdater->AddChecking(readFromDisk);
            chunk.progressUpdater->AddChecked(readFromDisk);
        }
        bool intact = check.intact;
        if (firstCheck_ && chunk.fileData) {
            if (intact) {
                chunk.fileData->KeepIntact(chunk.file.get(), chunk.lowerBound, chunk.Length());
            } else {
                intact = FindElsewhere(chunk);
            }
        }
        if (!intact) {
            if (check.wrongSha256 && chunk.servedBy) {
                ExcludeForgingNode(chunk.servedBy);
            }
            chunk.ResetProgress();
            return WorkStatus(WorkResult::Failure,
                              std::make_shared<ChecksumStatusData>(check.checksum, check.wrongSha256));
        }
        const std::uint64_t length = chunk.Length();
        if (!firstCheck_) {
            // Downloaded and verified: its bytes head for the disk now, while other chunks download.
            chunk.file->StartWriteback(chunk.lowerBound, length);
        }
        if (chunk.progressUpdater) {
            if (chunk.fileProgressBytes < length) {
                chunk.progressUpdater->AddProgress(length - chunk.fileProgressBytes);
            } else if (chunk.fileProgressBytes > length) {
                chunk.progressUpdater->RemoveProgress(chunk.fileProgressBytes - length);
            }
        }
        chunk.fileProgressBytes = length;
        // A chunk fetched again counted its length as verified in the first round already.
        if (chunk.progressUpdater && !refetching) {
            chunk.progressUpdater->AddVerified(length);
        }
        if (chunk.servedBy && chunk.fileData) {
            chunk.fileData->RecordSender(chunk.servedBy->GetHost());
        }
        return WorkStatus(WorkResult::Success);
    } catch (...) {
        return MakeTransferFileExceptionStatus();
    }
}

void VerifyChunkWork::ExcludeForgingNode(const std::shared_ptr<NodeManifest>& node) {
    const std::shared_ptr<ExcludedNodes> excluded = workInterface_->GetExcludedNodes();
    if (!excluded || !excluded->Exclude(*node)) {
        return;  // another chunk found it first, and counted it
    }
    // The node's own statistics count the failed check in RetryableTransferChunkWork; the optimizer's are
    // told here, so that other transfers of the engine stop favouring a node that answered fast with forged
    // bytes. Looked up under the optimizer's mutex, which may create the entry.
    if (TransferOptimizer* optimizer = workInterface_->Behavior().optimizer) {
        optimizer->WithLock([&] {
            if (std::shared_ptr<NodeStatistics> statistics = optimizer->GetStatistics(node)) {
                statistics->Update(0, 0, true);
            }
        });
    }
}

// RetryableTransferChunkWork

RetryableTransferChunkWork::RetryableTransferChunkWork(std::shared_ptr<TransferWorkInterface> workInterface,
                                                       std::shared_ptr<HttpSession> session,
                                                       std::shared_ptr<TransferSharedMapData> chunkData,
                                                       std::uint32_t maxRetries)
    : TransferWork(std::move(workInterface)),
      LimitedRetrySequentialWork(WorkLogCompleteCallback(workInterface_->Behavior()), maxRetries),
      chunkData_(std::move(chunkData)) {
    request_ = std::make_shared<OptimizedRequestChunkWork>(workInterface_, std::move(session), chunkData_,
                                                           RequestRetryLimit(*workInterface_));
    verify_ = std::make_shared<VerifyChunkWork>(workInterface_, chunkData_);
    AddChild(request_);
    AddChild(verify_);
}

CompositeWork::ChildProgress RetryableTransferChunkWork::Advance(std::shared_ptr<Work> child,
                                                                 const WorkStatus& status) {
    if (status.result == WorkResult::Failure && child == verify_) {
        // The node of the last attempt is the one whose bytes were checked (a successful attempt is the
        // sequence's only way to its check). The statistics guard themselves; nothing else is locked here.
        if (const std::shared_ptr<NodeManifest>& node = request_->Params().SelectedNode) {
            if (std::shared_ptr<NodeStatistics> statistics = node->GetStatistics()) {
                statistics->Update(0, 0, true);
            }
        }
    }
    return LimitedRetrySequentialWork::Advance(std::move(child), status);
}

bool RetryableTransferChunkWork::ShouldRetry() {
    const std::shared_ptr<NodeListManifest> nodes = workInterface_->GetNodeList();
    const std::shared_ptr<ExcludedNodes> excluded = workInterface_->GetExcludedNodes();
    if (nodes && excluded && excluded->Remaining(nodes->GetNodes()).empty()) {
        return false;
    }
    return LimitedRetrySequentialWork::ShouldRetry();
}

void RetryableTransferChunkWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "RetryableTransferChunkWork", false, *workInterface_, chunkData_.get());
}

// ConditionalTransferChunkWork

ConditionalTransferChunkWork::ConditionalTransferChunkWork(
    std::shared_ptr<TransferWorkInterface> workInterface, std::shared_ptr<HttpSession> session,
    std::shared_ptr<TransferSharedMapData> chunkData)
    : TransferWork(std::move(workInterface)),
      ConditionalWork(WorkLogCompleteCallback(workInterface_->Behavior())),
      chunkData_(std::move(chunkData)) {
    SetCondition(std::make_shared<VerifyChunkWork>(workInterface_, chunkData_, true));
    SetOnSuccess(MakeNoOpWork(WorkLogCompleteCallback(workInterface_->Behavior())));
    SetOnFailure(std::make_shared<RetryableTransferChunkWork>(workInterface_, std::move(session), chunkData_,
                                                              ChunkRetryLimit(*workInterface_)));
}

void ConditionalTransferChunkWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "ConditionalTransferChunkWork", false, *workInterface_, chunkData_.get());
}

// ReleaseChunkMapWork

ReleaseChunkMapWork::ReleaseChunkMapWork(std::shared_ptr<TransferWorkInterface> workInterface,
                                         std::shared_ptr<TransferSharedMapData> chunkData)
    : TransferWork(std::move(workInterface)),
      SimpleWork(WorkLogCompleteCallback(workInterface_->Behavior())),
      chunkData_(std::move(chunkData)) {}

void ReleaseChunkMapWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "ReleaseChunkMapWork", false, *workInterface_, chunkData_.get());
}

WorkStatus ReleaseChunkMapWork::ExecuteTask() {
    chunkData_->ReleaseFile();
    return WorkStatus(WorkResult::Success);
}

}  // namespace halcyne
