// The works of one chunk: choose the file its byte range is read from and written to (the file in place or
// its sibling, see TransferSharedFileData), verify what is already there (and, when the file is being
// staged, look for the chunk in the sibling or the old file) and, only when that fails, download it into the
// sibling (OptimizedRequestChunkWork) and verify again within a retry budget, then let go of the file.
//
// The bytes never pass through a mapping: a download goes from libcurl's receive buffer into the file with
// pwrite, its CRC-32 (and SHA-256) computed over the same bytes as they pass, and that digest is what the
// check after the download compares; what is already on disk is read with pread into the worker thread's
// reused buffer; a range of a file this transfer has just allocated, and nothing has written since, is known
// to be zeros, and its check is the CRC-32 of that many zero bytes, with no read at all.
//
//   TransferSingleChunkWork (sequence)
//     CreateChunkMapWork, MutexPrefetchChunkWork,
//     ConditionalTransferChunkWork: VerifyChunkWork ? NoOpWork : RetryableTransferChunkWork
//                                   (OptimizedRequestChunkWork, VerifyChunkWork),
//     ReleaseChunkMapWork
//
// Built by TransferMultipleChunksWork on the thread that builds the tree; the works run on work-manager
// threads, one after the other for one chunk, so the chunk data needs no lock. Every work completes into the
// work log. No lock of its own here; the first check of a chunk takes the file data's mutex (a leaf) through
// TransferSharedFileData.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "common/Sha256.hpp"
#include "pipeline/TransferWork.hpp"
#include "work/CompositeWork.hpp"
#include "work/LimitedRetryWork.hpp"
#include "work/SimpleWork.hpp"

namespace halcyne {

class HttpSession;
class NodeManifest;
class TransferSharedFileData;
class TransferSharedMapData;

// The chunk retry limit: max(min(nodes - 1, maxNodeRetries), minChunkRetries); the request retry limit
// likewise with minRequestRetries. A missing node list counts as no node.
std::uint32_t ChunkRetryLimit(TransferWorkInterface& workInterface);
std::uint32_t RequestRetryLimit(TransferWorkInterface& workInterface);

class TransferSingleChunkWork : public TransferWork, public SequentialWork {
public:
    TransferSingleChunkWork(std::shared_ptr<TransferWorkInterface> workInterface,
                            std::shared_ptr<HttpSession> session,
                            std::shared_ptr<TransferSharedFileData> fileData, std::uint64_t lowerBound,
                            std::uint64_t upperBound, std::uint32_t expectedChecksum,
                            std::optional<Sha256::Digest> expectedSha256 = std::nullopt);
    void Describe(boost::property_tree::ptree& tree) const override;
    std::optional<bool> KnownImportance() const override { return false; }
    // The sequence's reset, then the file is let go of and fileProgressBytes set to 0 (the transfer's
    // progress is not touched).
    void Reset() override;
    // Lets go of the chunk's file (the tree is being torn down).
    void ReleaseFile();
    const std::shared_ptr<TransferSharedMapData>& ChunkData() const { return chunkData_; }

private:
    const std::shared_ptr<TransferSharedMapData> chunkData_;
};

// Chooses the file data's target (the file in place or the sibling) as the chunk's file; every byte of the
// chunk must exist in it.
class CreateChunkMapWork : public TransferWork, public SimpleWork {
public:
    CreateChunkMapWork(std::shared_ptr<TransferWorkInterface> workInterface,
                       std::shared_ptr<TransferSharedMapData> chunkData);
    void Describe(boost::property_tree::ptree& tree) const override;
    std::optional<bool> KnownImportance() const override { return false; }
    void Reset() override;  // clears the flag and lets go of the file
    WorkStatus ExecuteTask() override;
    void Interrupt() override {}

private:
    const std::shared_ptr<TransferSharedMapData> chunkData_;
};

// The chunk's place between choosing its file and its first check. Reads go through the worker's buffer and
// need nothing made resident beforehand, so it only checks that the chunk has its file.
class MutexPrefetchChunkWork : public TransferWork, public SimpleWork {
public:
    MutexPrefetchChunkWork(std::shared_ptr<TransferWorkInterface> workInterface,
                           std::shared_ptr<TransferSharedMapData> chunkData);
    void Describe(boost::property_tree::ptree& tree) const override;
    std::optional<bool> KnownImportance() const override { return false; }
    WorkStatus ExecuteTask() override;
    void Interrupt() override {}

private:
    const std::shared_ptr<TransferSharedMapData> chunkData_;
};

class VerifyChunkWork : public TransferWork, public SimpleWork {
public:
    // `firstCheck`: the check of what is on disk before any download (the condition of the chunk's
    // conditional), which also decides where the chunk's bytes come from when the file is being staged (see
    // TransferSharedFileData): a chunk intact in place is kept for the sibling; a chunk that differs begins
    // staging, is looked for in the sibling (checked in place) or in the file under the name (checked in the
    // sibling, and copied from there when it is intact), and otherwise leaves the chunk on the sibling for
    // the download. While the file is fetched again (TransferSharedFileData::RefetchSource), the first check
    // takes nothing on disk and leaves the chunk on the sibling for the download.
    VerifyChunkWork(std::shared_ptr<TransferWorkInterface> workInterface,
                    std::shared_ptr<TransferSharedMapData> chunkData, bool firstCheck = false);
    void Describe(boost::property_tree::ptree& tree) const override;
    std::optional<bool> KnownImportance() const override { return false; }
    // Success (the chunk now counts exactly its length in progress and in verified bytes) when the chunk's
    // CRC-32 is the expected one and so is its SHA-256 where the manifest gives one; otherwise Failure with
    // ChecksumStatusData for the bytes first checked (their CRC-32, and their SHA-256 when only that
    // differs), the chunk's progress taken off. After a download, the digest computed as its bytes were
    // written is compared (once the file is seen to still hold the whole chunk); bytes on disk are read.
    // Downloaded bytes whose CRC-32 matches and SHA-256 does not were forged: their node is excluded from the
    // transfer and its statistics (the node's own and the optimizer's) count a failed request.
    WorkStatus ExecuteTask() override;
    void Interrupt() override {}

private:
    // Excludes the node from the transfer and counts the failure in the optimizer's statistics of it.
    void ExcludeForgingNode(const std::shared_ptr<NodeManifest>& node);

    const std::shared_ptr<TransferSharedMapData> chunkData_;
    const bool firstCheck_;
};

class OptimizedRequestChunkWork;

class RetryableTransferChunkWork : public TransferWork, public LimitedRetrySequentialWork {
public:
    RetryableTransferChunkWork(std::shared_ptr<TransferWorkInterface> workInterface,
                               std::shared_ptr<HttpSession> session,
                               std::shared_ptr<TransferSharedMapData> chunkData, std::uint32_t maxRetries);
    void Describe(boost::property_tree::ptree& tree) const override;
    std::optional<bool> KnownImportance() const override { return false; }
    // A failed check of downloaded bytes also counts as a failed request of the node that sent them (its
    // body was an HTTP success, which raised the node's speed estimate); then the sequence's own rule.
    ChildProgress Advance(std::shared_ptr<Work> child, const WorkStatus& status) override;
    // False once every node of the transfer is excluded (no node is left to fetch the chunk from, so the
    // chunk fails at once with its last status); otherwise the budget decides.
    bool ShouldRetry() override;

private:
    const std::shared_ptr<TransferSharedMapData> chunkData_;
    std::shared_ptr<OptimizedRequestChunkWork> request_;
    std::shared_ptr<Work> verify_;
};

class ConditionalTransferChunkWork : public TransferWork, public ConditionalWork {
public:
    ConditionalTransferChunkWork(std::shared_ptr<TransferWorkInterface> workInterface,
                                 std::shared_ptr<HttpSession> session,
                                 std::shared_ptr<TransferSharedMapData> chunkData);
    void Describe(boost::property_tree::ptree& tree) const override;
    std::optional<bool> KnownImportance() const override { return false; }

private:
    const std::shared_ptr<TransferSharedMapData> chunkData_;
};

class ReleaseChunkMapWork : public TransferWork, public SimpleWork {
public:
    ReleaseChunkMapWork(std::shared_ptr<TransferWorkInterface> workInterface,
                        std::shared_ptr<TransferSharedMapData> chunkData);
    void Describe(boost::property_tree::ptree& tree) const override;
    std::optional<bool> KnownImportance() const override { return false; }
    WorkStatus ExecuteTask() override;
    void Interrupt() override {}

private:
    const std::shared_ptr<TransferSharedMapData> chunkData_;
};

}  // namespace halcyne
