#include "pipeline/FileWorks.hpp"

#include <algorithm>
#include <stdexcept>

#include "common/Sha256.hpp"
#include "file/FileException.hpp"
#include "file/SharedFile.hpp"
#include "file/SharedFileFactory.hpp"
#include "manifest/NodeListManifest.hpp"
#include "optimizer/ExcludedNodes.hpp"
#include "pipeline/ChunkWorks.hpp"
#include "pipeline/FileReading.hpp"
#include "pipeline/TransferProgressUpdater.hpp"
#include "pipeline/TransferSharedFileData.hpp"
#include "pipeline/TransferSharedMapData.hpp"
#include "pipeline/TransferStatusData.hpp"
#include "pipeline/TransferWorkLog.hpp"

namespace halcyne {

// TransferMultipleFilesWork

TransferMultipleFilesWork::TransferMultipleFilesWork(std::shared_ptr<TransferWorkInterface> workInterface,
                                                     std::shared_ptr<HttpSession> session,
                                                     const std::shared_ptr<TransferFileSet>& files)
    : TransferWork(std::move(workInterface)),
      SequentialWork(WorkLogCompleteCallback(workInterface_->Behavior())) {
    const std::shared_ptr<PackageManifest> package = workInterface_->GetPackage();
    if (!package || (package->GetRunFiles().empty() && package->GetOtherFiles().empty())) {
        throw std::logic_error("TransferMultipleFilesWork constructed with empty file set");
    }
    if (!package->GetRunFiles().empty()) {
        AddChild(std::make_shared<SequentialTransferMultipleFilesWork>(workInterface_, session,
                                                                       package->GetRunFiles(), files));
    }
    if (!package->GetOtherFiles().empty()) {
        AddChild(std::make_shared<ParallelTransferMultipleFilesWork>(workInterface_, session,
                                                                     package->GetOtherFiles(), files));
    }
}

void TransferMultipleFilesWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "TransferMultipleFilesWork", false, *workInterface_);
}

// The clusters

namespace {

const FileManifestList& NonEmpty(const FileManifestList& cluster) {
    if (cluster.empty()) {
        throw std::logic_error("ParallelTransferMultipleFilesWork constructed with empty cluster");
    }
    return cluster;
}

}  // namespace

std::size_t LiveWorkWindow(TransferWorkInterface& workInterface) {
    return 2 * static_cast<std::size_t>(std::max(workInterface.Behavior().settings.maxRunningWorks, 1));
}

SequentialTransferMultipleFilesWork::SequentialTransferMultipleFilesWork(
    std::shared_ptr<TransferWorkInterface> workInterface, std::shared_ptr<HttpSession> session,
    const FileManifestList& cluster, const std::shared_ptr<TransferFileSet>& files)
    : TransferWork(std::move(workInterface)),
      SequentialWork(WorkLogCompleteCallback(workInterface_->Behavior())) {
    if (cluster.empty()) {
        throw std::logic_error("SequentialTransferMultipleFilesWork constructed with empty cluster");
    }
    for (const std::shared_ptr<FileManifest>& file : cluster) {
        AddChild(std::make_shared<TransferSingleFileWork>(workInterface_, session, file, files));
    }
}

void SequentialTransferMultipleFilesWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "SequentialTransferMultipleFilesWork", true, *workInterface_);
}

ParallelTransferMultipleFilesWork::ParallelTransferMultipleFilesWork(
    std::shared_ptr<TransferWorkInterface> workInterface, std::shared_ptr<HttpSession> session,
    const FileManifestList& cluster, const std::shared_ptr<TransferFileSet>& files)
    : TransferWork(std::move(workInterface)),
      WindowedParallelWork(WorkLogCompleteCallback(workInterface_->Behavior()), NonEmpty(cluster).size(),
                           LiveWorkWindow(*workInterface_)),
      session_(std::move(session)),
      cluster_(cluster),
      files_(files) {}

std::shared_ptr<Work> ParallelTransferMultipleFilesWork::MakeChild(std::size_t index) {
    return std::make_shared<TransferSingleFileWork>(workInterface_, session_, cluster_.at(index), files_);
}

void ParallelTransferMultipleFilesWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "ParallelTransferMultipleFilesWork", true, *workInterface_);
}

// TransferSingleFileWork

namespace {

bool IsExecutableInPackage(TransferWorkInterface& workInterface, const FileManifest& file) {
    const std::shared_ptr<PackageManifest> package = workInterface.GetPackage();
    return package && IsExecutableFile(*package, file, *workInterface.Behavior().sharedFileFactory);
}

}  // namespace

TransferSingleFileWork::TransferSingleFileWork(std::shared_ptr<TransferWorkInterface> workInterface,
                                               std::shared_ptr<HttpSession> session,
                                               const std::shared_ptr<FileManifest>& file,
                                               const std::shared_ptr<TransferFileSet>& files)
    : TransferWork(std::move(workInterface)),
      SequentialWork(WorkLogCompleteCallback(workInterface_->Behavior())),
      fileData_(std::make_shared<TransferSharedFileData>(file->GetPath(), file->GetSize(),
                                                         IsExecutableInPackage(*workInterface_, *file))) {
    if (files && fileData_->executable) {
        files->Add(fileData_);
    }
    open_ = std::make_shared<OpenAndAllocateFileWork>(workInterface_, fileData_);
    AddChild(open_);
    if (file->GetSize() == 0) {
        // Nothing to fetch: the file is created empty (or found empty in place) and closed, without a
        // request; its SHA-256, when the entry carries one, is still checked against the empty file.
        if (!file->GetSha256().empty()) {
            AddChild(std::make_shared<VerifyFileHashWork>(workInterface_, fileData_, file->GetSha256()));
        }
        AddChild(std::make_shared<CloseFileWork>(workInterface_, fileData_));
        return;
    }
    chunks_ =
        std::make_shared<TransferMultipleChunksWork>(workInterface_, std::move(session), file, fileData_);
    if (file->GetSha256().empty()) {
        AddChild(chunks_);
    } else if (!file->GetChunkSha256().empty()) {
        // Every chunk is checked by its own SHA-256: the whole is not hashed again when they cover every
        // chunk, and a mismatch of the whole is final.
        AddChild(chunks_);
        const bool chunksVouch = file->GetChunkSha256().size() == file->GetChecksums().size();
        AddChild(std::make_shared<VerifyFileHashWork>(workInterface_, fileData_, file->GetSha256(),
                                                      VerifyFileHashWork::BlockSize, 0, chunksVouch));
    } else {
        AddChild(std::make_shared<FileContentWork>(
            workInterface_, fileData_, chunks_,
            std::make_shared<VerifyFileHashWork>(workInterface_, fileData_, file->GetSha256(),
                                                 VerifyFileHashWork::BlockSize,
                                                 VerifyFileHashWork::Refetches)));
    }
    AddChild(std::make_shared<CloseFileWork>(workInterface_, fileData_));
}

TransferSingleFileWork::~TransferSingleFileWork() {
    try {
        if (chunks_) {
            chunks_->ReleaseFiles();
        }
        const bool stagedLeft = fileData_->StagedFileLeft();
        fileData_->ReleaseKeepingVerified();
        // A tree that never reached the file (torn down before it ran, or refused by the deferred work)
        // reports nothing: the file may belong to another tree, and the transfer may delete what it is told.
        // A sibling that was not renamed into place is this tree's too.
        if (open_->Opened()) {
            workInterface_->OnFileCreated(fileData_->filePath);
            if (stagedLeft) {
                workInterface_->OnFileCreated(fileData_->StagedPath());
            }
        }
    } catch (...) {
        // A destructor lets nothing escape; the transfer is being torn down.
    }
}

void TransferSingleFileWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "TransferSingleFileWork", true, *workInterface_, fileData_.get());
}

void TransferSingleFileWork::Reset() {
    SequentialWork::Reset();
    fileData_->Release();
}

// OpenAndAllocateFileWork

OpenAndAllocateFileWork::OpenAndAllocateFileWork(std::shared_ptr<TransferWorkInterface> workInterface,
                                                 std::shared_ptr<TransferSharedFileData> fileData)
    : TransferWork(std::move(workInterface)),
      SimpleWork(WorkLogCompleteCallback(workInterface_->Behavior())),
      fileData_(std::move(fileData)) {}

void OpenAndAllocateFileWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "OpenAndAllocateFileWork", true, *workInterface_, fileData_.get());
}

void OpenAndAllocateFileWork::Reset() {
    SimpleWork::Reset();
    fileData_->Release();
}

WorkStatus OpenAndAllocateFileWork::ExecuteTask() {
    try {
        // Reported from now on: a sibling may be created here, and the transfer deletes what it is told when
        // it is cancelled with its files.
        opened_.store(true);
        fileData_->Open(*workInterface_->Behavior().sharedFileFactory, workInterface_->GetParams().destPath);
        return WorkStatus(WorkResult::Success);
    } catch (...) {
        return MakeTransferFileExceptionStatus();
    }
}

// TransferMultipleChunksWork

namespace {

std::size_t ChunksOf(const FileManifest& file) {
    const std::uint32_t count = ChunkCount(file.GetChunkSize(), file.GetSize());
    if (count == 0) {
        throw std::logic_error("TransferMultipleChunksWork constructed with no chunk");
    }
    if (file.GetChecksums().size() < count) {
        throw std::logic_error("TransferMultipleChunksWork constructed with fewer checksums than chunks");
    }
    return count;
}

}  // namespace

TransferMultipleChunksWork::TransferMultipleChunksWork(std::shared_ptr<TransferWorkInterface> workInterface,
                                                       std::shared_ptr<HttpSession> session,
                                                       std::shared_ptr<const FileManifest> file,
                                                       std::shared_ptr<TransferSharedFileData> fileData)
    : TransferWork(std::move(workInterface)),
      WindowedParallelWork(WorkLogCompleteCallback(workInterface_->Behavior()), ChunksOf(*file),
                           LiveWorkWindow(*workInterface_)),
      session_(std::move(session)),
      file_(std::move(file)),
      fileData_(std::move(fileData)) {}

std::pair<std::uint64_t, std::uint64_t> TransferMultipleChunksWork::ChunkRange(std::size_t index) const {
    const std::uint64_t chunkSize = file_->GetChunkSize();
    const std::uint64_t lower = std::uint64_t{index} * chunkSize;
    return {lower, std::min(lower + chunkSize - 1, file_->GetSize() - 1)};
}

std::shared_ptr<Work> TransferMultipleChunksWork::MakeChild(std::size_t index) {
    const auto [lower, upper] = ChunkRange(index);
    const std::vector<Sha256::Digest>& digests = file_->GetChunkSha256();
    return std::make_shared<TransferSingleChunkWork>(
        workInterface_, session_, fileData_, lower, upper, file_->GetChecksums()[index],
        digests.empty() ? std::nullopt : std::optional<Sha256::Digest>(digests.at(index)));
}

void TransferMultipleChunksWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "TransferMultipleChunksWork", false, *workInterface_, fileData_.get());
}

std::vector<std::shared_ptr<TransferSingleChunkWork>> TransferMultipleChunksWork::Chunks() const {
    std::vector<std::shared_ptr<TransferSingleChunkWork>> chunks;
    for (const std::shared_ptr<Work>& child : LiveChildren()) {
        if (auto chunk = std::dynamic_pointer_cast<TransferSingleChunkWork>(child)) {
            chunks.push_back(std::move(chunk));
        }
    }
    return chunks;
}

void TransferMultipleChunksWork::ReleaseFiles() {
    for (const std::shared_ptr<TransferSingleChunkWork>& chunk : Chunks()) {
        chunk->ReleaseFile();
    }
}

// VerifyFileHashWork

VerifyFileHashWork::VerifyFileHashWork(std::shared_ptr<TransferWorkInterface> workInterface,
                                       std::shared_ptr<TransferSharedFileData> fileData,
                                       std::string expectedSha256, std::uint64_t blockSize,
                                       unsigned refetches, bool chunksVouch)
    : TransferWork(std::move(workInterface)),
      SimpleWork(WorkLogCompleteCallback(workInterface_->Behavior())),
      fileData_(std::move(fileData)),
      expectedSha256_(std::move(expectedSha256)),
      blockSize_(blockSize == 0 ? BlockSize : blockSize),
      refetches_(refetches),
      chunksVouch_(chunksVouch) {}

void VerifyFileHashWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "VerifyFileHashWork", true, *workInterface_, fileData_.get());
    tree.put("sha256", expectedSha256_);
}

std::optional<Sha256::Digest> VerifyFileHashWork::HashFile(SharedFile& file, std::uint64_t size,
                                                           std::uint64_t blockSize,
                                                           const std::function<bool()>& stop,
                                                           const std::function<void(std::size_t)>& onRead) {
    if (blockSize == 0) {
        throw std::invalid_argument("VerifyFileHashWork::HashFile called with a block size of 0");
    }
    Sha256 hash;
    const std::optional<std::uint64_t> read = ReadFileRange(
        file, 0, size,
        [&hash, &onRead](const std::uint8_t* data, std::size_t length) {
            hash.Update(data, length);
            if (onRead) {
                onRead(length);
            }
        },
        stop, static_cast<std::size_t>(std::min<std::uint64_t>(blockSize, ReadBlockSize)));
    if (!read) {
        return std::nullopt;
    }
    if (*read != size) {
        throw FileInvalidMapException("the file ends after " + std::to_string(*read) + " of its " +
                                      std::to_string(size) + " bytes");
    }
    return hash.Final();
}

WorkStatus VerifyFileHashWork::ExecuteTask() {
    if (chunksVouch_) {
        return WorkStatus(WorkResult::Success);
    }
    try {
        const std::shared_ptr<SharedFile> file = fileData_->Target();
        if (!file) {
            return WorkStatus(WorkResult::Error, std::make_shared<TransferErrorData>(
                                                     TransferError::InternalError,
                                                     "VerifyFileHashWork::ExecuteTask has no shared file"));
        }
        // The pass is reported as a check (the player sees it as verifying files): begun over the whole
        // file, and all of it counted as checked once the pass ends, however it ends.
        const std::shared_ptr<TransferProgressUpdater> progress = workInterface_->GetProgressUpdater();
        std::uint64_t hashed = 0;
        if (progress) {
            progress->AddChecking(fileData_->fileSize);
        }
        struct CheckEnd {
            TransferProgressUpdater* progress;
            const std::uint64_t& hashed;
            std::uint64_t size;
            ~CheckEnd() {
                if (progress != nullptr && hashed < size) {
                    progress->AddChecked(size - hashed);
                }
            }
        } checkEnd{progress.get(), hashed, fileData_->fileSize};
        const auto digest = HashFile(
            *file, fileData_->fileSize, blockSize_, [this] { return IsInterrupted(); },
            [&](std::size_t length) {
                hashed += length;
                if (progress) {
                    progress->AddChecked(length);
                }
            });
        if (!digest) {
            return WorkStatus(WorkResult::Interrupted);
        }
        const std::string actual = Sha256::ToHex(*digest);
        if (actual == expectedSha256_) {
            return WorkStatus(WorkResult::Success);
        }
        if (refetches_ > 0 && BeginRefetch()) {
            return WorkStatus(
                WorkResult::Failure,
                std::make_shared<TransferErrorData>(
                    TransferError::ChecksumMismatch,
                    fileData_->filePath + ": SHA-256 " + actual + " differs from the manifest's " +
                        expectedSha256_ + "; fetching the file again from " + fileData_->RefetchSource()));
        }
        const bool staged = fileData_->IsStaged();
        const bool deleted = fileData_->Discard();
        const char* outcome = deleted ? (staged ? "; the new file was deleted and the old one left as it was"
                                                : "; the file was deleted")
                                      : "; the file could not be deleted";
        return WorkStatus(WorkResult::Error,
                          std::make_shared<TransferErrorData>(TransferError::ChecksumMismatch,
                                                              fileData_->filePath + ": SHA-256 " + actual +
                                                                  " differs from the manifest's " +
                                                                  expectedSha256_ + outcome));
    } catch (...) {
        return MakeTransferFileExceptionStatus();
    }
}

bool VerifyFileHashWork::BeginRefetch() {
    std::vector<std::string> hosts;
    const std::shared_ptr<NodeListManifest> nodes = workInterface_->GetNodeList();
    const std::shared_ptr<ExcludedNodes> excluded = workInterface_->GetExcludedNodes();
    if (nodes) {
        for (const auto& node : excluded ? excluded->Remaining(nodes->GetNodes()) : nodes->GetNodes()) {
            hosts.push_back(node->GetHost());
        }
    }
    if (!fileData_->BeginRefetch(refetches_, hosts)) {
        return false;
    }
    // Every chunk counted exactly its length in the progress; the round counts them again as they arrive.
    if (const std::shared_ptr<TransferProgressUpdater> progress = workInterface_->GetProgressUpdater()) {
        progress->RemoveProgress(fileData_->fileSize);
    }
    return true;
}

// FileContentWork

FileContentWork::FileContentWork(std::shared_ptr<TransferWorkInterface> workInterface,
                                 std::shared_ptr<TransferSharedFileData> fileData,
                                 std::shared_ptr<Work> chunks, std::shared_ptr<VerifyFileHashWork> hash)
    : TransferWork(std::move(workInterface)),
      LimitedRetrySequentialWork(WorkLogCompleteCallback(workInterface_->Behavior()),
                                 VerifyFileHashWork::Refetches),
      fileData_(std::move(fileData)) {
    AddChild(std::move(chunks));
    AddChild(std::move(hash));
}

void FileContentWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "FileContentWork", false, *workInterface_, fileData_.get());
}

// CloseFileWork

CloseFileWork::CloseFileWork(std::shared_ptr<TransferWorkInterface> workInterface,
                             std::shared_ptr<TransferSharedFileData> fileData)
    : TransferWork(std::move(workInterface)),
      SimpleWork(WorkLogCompleteCallback(workInterface_->Behavior())),
      fileData_(std::move(fileData)) {}

void CloseFileWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "CloseFileWork", false, *workInterface_, fileData_.get());
}

WorkStatus CloseFileWork::ExecuteTask() {
    try {
        fileData_->Close();
        return WorkStatus(WorkResult::Success);
    } catch (...) {
        return MakeTransferFileExceptionStatus();
    }
}

}  // namespace halcyne
