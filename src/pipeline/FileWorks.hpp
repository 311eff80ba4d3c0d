// The works above the chunks: the files of a package in two groups (the run files one after the other, then
// all other files at once), and for each file: open it (in place, or its sibling, see
// TransferSharedFileData), transfer all its chunks at once (file works and chunk works are made as they are
// due, a window of them at a time, so that memory follows the works in flight), check the whole file's
// SHA-256 when its entry carries one, and close it (a sibling is renamed over the file's name only then).
//
//   TransferMultipleFilesWork (sequence)
//     SequentialTransferMultipleFilesWork (run files) / ParallelTransferMultipleFilesWork (other files)
//       TransferSingleFileWork (sequence): OpenAndAllocateFileWork, TransferMultipleChunksWork,
//                                          [VerifyFileHashWork,] CloseFileWork
//         (a file with a SHA-256 but no chunk digests: OpenAndAllocateFileWork,
//          FileContentWork (TransferMultipleChunksWork, VerifyFileHashWork), CloseFileWork)
//         (a file of size 0: OpenAndAllocateFileWork, [VerifyFileHashWork,] CloseFileWork: no request)
//
// The top of the tree is built by ConstructTransferFromPackageWork on a work-manager thread, the file and
// chunk works by their sets on the work-manager threads that queue them; the works run on work-manager
// threads.
// The file data is written only by the opening and closing works and by Reset, never while the chunk works
// of the same file run (sequence order). Every work completes into the work log.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "common/Sha256.hpp"
#include "manifest/PackageManifest.hpp"
#include "pipeline/TransferWork.hpp"
#include "work/CompositeWork.hpp"
#include "work/LimitedRetryWork.hpp"
#include "work/SimpleWork.hpp"

namespace halcyne {

class HttpSession;
class SharedFile;
class TransferFileSet;
class TransferSharedFileData;
class TransferSingleChunkWork;

class TransferMultipleFilesWork : public TransferWork, public SequentialWork {
public:
    // std::logic_error when the transfer's package has no file (or there is no package). The file data of
    // every file is added to `files` when given.
    TransferMultipleFilesWork(std::shared_ptr<TransferWorkInterface> workInterface,
                              std::shared_ptr<HttpSession> session,
                              const std::shared_ptr<TransferFileSet>& files = nullptr);
    void Describe(boost::property_tree::ptree& tree) const override;
    // The groups: the run files' sequence, then the other files' set (each when there are such files).
    using SequentialWork::Children;
};

class SequentialTransferMultipleFilesWork : public TransferWork, public SequentialWork {
public:
    // std::logic_error for an empty cluster.
    SequentialTransferMultipleFilesWork(std::shared_ptr<TransferWorkInterface> workInterface,
                                        std::shared_ptr<HttpSession> session, const FileManifestList& cluster,
                                        const std::shared_ptr<TransferFileSet>& files = nullptr);
    void Describe(boost::property_tree::ptree& tree) const override;
};

// The files run at once, but only a window of them (LiveWorkWindow) exists at a time: each file's work
// (with its file data) is made as it is queued and let go of once it completes, so that a package of a
// quarter of a million files costs the memory of the files in flight.
class ParallelTransferMultipleFilesWork : public TransferWork, public WindowedParallelWork {
public:
    // std::logic_error for an empty cluster.
    ParallelTransferMultipleFilesWork(std::shared_ptr<TransferWorkInterface> workInterface,
                                      std::shared_ptr<HttpSession> session, const FileManifestList& cluster,
                                      const std::shared_ptr<TransferFileSet>& files = nullptr);
    void Describe(boost::property_tree::ptree& tree) const override;

protected:
    std::shared_ptr<Work> MakeChild(std::size_t index) override;  // a TransferSingleFileWork

private:
    const std::shared_ptr<HttpSession> session_;
    const FileManifestList cluster_;
    const std::shared_ptr<TransferFileSet> files_;
};

// How many children of a file set or a chunk set exist at once: twice the works the workflow runs at a
// time, so that a completed work always finds the next one ready.
std::size_t LiveWorkWindow(TransferWorkInterface& workInterface);

class OpenAndAllocateFileWork;
class TransferMultipleChunksWork;

class TransferSingleFileWork : public TransferWork, public SequentialWork {
public:
    // The file data knows whether the package makes the file executable (IsExecutableFile); an executable's
    // is added to `files` when given, for AllowExecuteWork.
    TransferSingleFileWork(std::shared_ptr<TransferWorkInterface> workInterface,
                           std::shared_ptr<HttpSession> session, const std::shared_ptr<FileManifest>& file,
                           const std::shared_ptr<TransferFileSet>& files = nullptr);
    // Releases every chunk's view and the file (but an executable's verified file, which the file set keeps
    // for AllowExecuteWork), then reports the file to the transfer (OnFileCreated) when this tree opened
    // it, and its sibling when one is left on disk. Nothing escapes. The file set lets go of each file work
    // once it completes, so this runs as the transfer goes on, not only when the tree is torn down.
    ~TransferSingleFileWork() override;
    void Describe(boost::property_tree::ptree& tree) const override;
    // The sequence's reset, then the file is released.
    void Reset() override;
    const std::shared_ptr<TransferSharedFileData>& FileData() const { return fileData_; }
    // Opening, the chunk set (none for a file of size 0), the hash check (when the file has a SHA-256) and
    // closing, in that order.
    using SequentialWork::Children;

private:
    const std::shared_ptr<TransferSharedFileData> fileData_;
    std::shared_ptr<OpenAndAllocateFileWork> open_;
    std::shared_ptr<TransferMultipleChunksWork> chunks_;  // none for a file of size 0
};

class OpenAndAllocateFileWork : public TransferWork, public SimpleWork {
public:
    OpenAndAllocateFileWork(std::shared_ptr<TransferWorkInterface> workInterface,
                            std::shared_ptr<TransferSharedFileData> fileData);
    void Describe(boost::property_tree::ptree& tree) const override;
    void Reset() override;  // clears the flag and releases the file
    // Opens the file through TransferSharedFileData::Open: a file of the right length (and one name) is
    // verified in place, untouched; otherwise the sibling is taken up or created, allocated (and denied
    // execution when the package makes the file executable); the file under the name is never changed here.
    WorkStatus ExecuteTask() override;
    void Interrupt() override {}
    // Whether the file was opened (and so possibly created) by this work at least once.
    bool Opened() const { return opened_.load(); }

private:
    const std::shared_ptr<TransferSharedFileData> fileData_;
    std::atomic<bool> opened_{false};
};

// The chunks of one file, downloaded at once, made as they are queued (a window of LiveWorkWindow chunk
// works at a time) and let go of once they complete.
class TransferMultipleChunksWork : public TransferWork, public WindowedParallelWork {
public:
    // One chunk work per chunk of the file. std::logic_error when the file has no chunk (size or chunk
    // size 0; a chunk set without children would never complete) or fewer CRC-32s than chunks.
    TransferMultipleChunksWork(std::shared_ptr<TransferWorkInterface> workInterface,
                               std::shared_ptr<HttpSession> session, std::shared_ptr<const FileManifest> file,
                               std::shared_ptr<TransferSharedFileData> fileData);
    void Describe(boost::property_tree::ptree& tree) const override;
    std::optional<bool> KnownImportance() const override { return false; }
    // Drops the views of the chunks in flight.
    void ReleaseFiles();
    // The chunk works in flight.
    std::vector<std::shared_ptr<TransferSingleChunkWork>> Chunks() const;
    // The first and last byte of chunk `index` (< Count()).
    std::pair<std::uint64_t, std::uint64_t> ChunkRange(std::size_t index) const;

protected:
    std::shared_ptr<Work> MakeChild(std::size_t index) override;  // a TransferSingleChunkWork

private:
    const std::shared_ptr<HttpSession> session_;
    const std::shared_ptr<const FileManifest> file_;
    const std::shared_ptr<TransferSharedFileData> fileData_;
};

// The whole file's SHA-256 against the manifest's, once every chunk has verified (downloaded or found intact)
// and before the file is closed, so before its sibling replaces the file under its name and before
// AllowExecuteWork can make it executable. The file (the sibling while staged) is read with pread into the
// worker's reused buffer, BlockSize bytes at a time, in order, on the thread that runs the work; a file whose
// every chunk carries its own SHA-256 is not read at all (`chunksVouch`): every chunk of it has just matched
// its digest, and the signed manifest vouches for each, so the bytes are never hashed twice. While
// `refetches` rounds of fetching the file again are left (a file without chunk digests), a mismatch begins
// one and ends with Failure and ChecksumMismatch data; otherwise a mismatch is final: what was verified is
// denied execution, let go and deleted (a sibling; the file under the name stays as it was), and the work
// ends with Error and ChecksumMismatch data whose message names the file.
class VerifyFileHashWork : public TransferWork, public SimpleWork {
public:
    static constexpr std::uint64_t BlockSize = 256 * 1024;
    // How many times a file without chunk digests is fetched again after a mismatch (see FileContentWork).
    static constexpr unsigned Refetches = 2;

    // `expectedSha256`: 64 lower-case hexadecimal digits, as the file manifest gives them. `blockSize`: the
    // bytes read at once (0 for BlockSize; the worker's buffer holds at most 256 KiB).
    VerifyFileHashWork(std::shared_ptr<TransferWorkInterface> workInterface,
                       std::shared_ptr<TransferSharedFileData> fileData, std::string expectedSha256,
                       std::uint64_t blockSize = BlockSize, unsigned refetches = 0, bool chunksVouch = false);
    void Describe(boost::property_tree::ptree& tree) const override;
    // Success when the digests match (at once when the chunks vouch for the file); Interrupted when the flag
    // is seen between two blocks.
    WorkStatus ExecuteTask() override;
    void Interrupt() override {}  // the task reads the flag between blocks

    // The SHA-256 of bytes [0, size) of `file`, read in blocks of `blockSize` bytes (at most 256 KiB) in
    // order on the calling thread; nullopt when `stop` answers true before a block. The FileException family
    // when a read fails or the file ends before `size` (FileInvalidMapException); std::invalid_argument for
    // a block size of 0. `onRead`, when given, is told the length of each block read.
    static std::optional<Sha256::Digest> HashFile(SharedFile& file, std::uint64_t size,
                                                  std::uint64_t blockSize, const std::function<bool()>& stop,
                                                  const std::function<void(std::size_t)>& onRead = {});

private:
    const std::shared_ptr<TransferSharedFileData> fileData_;
    const std::string expectedSha256_;
    // Begins fetching the file again from a node of the transfer not yet a round's source; whether it did.
    bool BeginRefetch();

    const std::uint64_t blockSize_;
    const unsigned refetches_;  // rounds of fetching the file again that a mismatch may begin
    const bool chunksVouch_;    // every chunk carries its own SHA-256: the file is not read again
};

// A file whose entry has a SHA-256 but no chunk digests: its chunk set, then its hash check, run again when
// the check finds a mismatch and begins fetching the file again (TransferSharedFileData::BeginRefetch; the
// check ends with Failure then, and a final mismatch with Error as ever). The CRC-32 cannot tell which chunk
// a node forged, so every chunk comes again, each round from another single node.
class FileContentWork : public TransferWork, public LimitedRetrySequentialWork {
public:
    FileContentWork(std::shared_ptr<TransferWorkInterface> workInterface,
                    std::shared_ptr<TransferSharedFileData> fileData, std::shared_ptr<Work> chunks,
                    std::shared_ptr<VerifyFileHashWork> hash);
    void Describe(boost::property_tree::ptree& tree) const override;
    std::optional<bool> KnownImportance() const override { return false; }
    // The chunk set and the hash check.
    using SequentialWork::Children;

private:
    const std::shared_ptr<TransferSharedFileData> fileData_;
};

class CloseFileWork : public TransferWork, public SimpleWork {
public:
    CloseFileWork(std::shared_ptr<TransferWorkInterface> workInterface,
                  std::shared_ptr<TransferSharedFileData> fileData);
    void Describe(boost::property_tree::ptree& tree) const override;
    std::optional<bool> KnownImportance() const override { return false; }
    // TransferSharedFileData::Close: a sibling is written to the disk and renamed over the file's name, then
    // the file is let go of (an executable's verified file is kept for AllowExecuteWork). The standard rule
    // of the file exceptions on failure, with the sibling kept for another attempt.
    WorkStatus ExecuteTask() override;
    void Interrupt() override {}

private:
    const std::shared_ptr<TransferSharedFileData> fileData_;
};

}  // namespace halcyne
