// What the works of one file share: the file's path inside the package, its size, whether the package makes
// it executable and, while it is open, where its chunks are verified and written.
//
// An update never breaks the file it replaces. A file is verified either in place (the file under its own
// name, which nothing writes) or in its sibling "<path>.halcyne-part", which is built while the file under
// the name stays as it was and replaces it in one rename once every chunk (and the file's hash) has verified.
// The sibling is used from the opening on for a new file, a file of another length, a file with more than
// one name (hard links: another name must not see the new bytes) and when a sibling of the right length is
// left from an earlier run; a file of the right length is verified in place, and staging begins there with
// the first chunk that differs: the chunks found intact until then are copied into the sibling, the others
// are downloaded into it. Copies go through SharedFile::CopyRange (shared blocks where the file system can).
//
// Created by the file's work sequence and held by shared pointers (also by the chunk data of every chunk).
// The opening, closing and hash works run one after the other; the chunk works of the file call in from many
// work-manager threads at once. One mutex guards the staging state; it is a leaf: while it is held only file
// operations of the file layer run (creating, copying, syncing, renaming, deleting), nothing is called back
// and no other lock of the engine is taken (the process-wide list of siblings in use, which
// DeleteUnusedStagedFile consults, is taken inside it).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "work/WorkStatus.hpp"

namespace halcyne {

class SharedFile;
class SharedFileFactory;

class TransferSharedFileData : public WorkDescriptor {
public:
    // `executable`: the package makes the file executable once complete, so nobody may run it while it is
    // being built.
    TransferSharedFileData(std::string filePath, std::uint64_t fileSize, bool executable = false);
    TransferSharedFileData(const TransferSharedFileData&) = delete;
    TransferSharedFileData& operator=(const TransferSharedFileData&) = delete;
    ~TransferSharedFileData() override;

    // "filePath", then "fileSize" (decimal).
    void Describe(boost::property_tree::ptree& tree) const override;

    // The sibling's path inside the package: filePath followed by StagedFileSuffix.
    std::string StagedPath() const;

    // Opens the file in `folder` through `factory` (both are kept for staging, closing and deleting; the
    // factory must outlive the data), first letting go of whatever was open:
    // - a sibling of another length is deleted;
    // - the file under its name, of the right length and with one name: verified in place; a sibling of the
    //   right length is kept for the moment a chunk differs;
    // - otherwise the sibling is the target: the one left by an earlier run (its chunks are verified again),
    //   or a new one, allocated (FileInsufficientSpaceException, with the new sibling deleted, when the disk
    //   cannot hold it) and denied execution when the file is executable; the file under the name, when
    //   there is one, is the source that intact chunks are copied from.
    // The FileException family on failure; nothing stays open then.
    void Open(SharedFileFactory& factory, const std::string& folder);
    // Verifies the chunks in `file` itself, which is written to when a chunk differs: for works that are
    // given a file without a folder (tests of single works). Lets go of whatever was open.
    void UseFile(std::shared_ptr<SharedFile> file);

    // Where chunks are mapped now: the file in place or the sibling; empty when nothing is open.
    std::shared_ptr<SharedFile> Target() const;
    // Whether the target is the sibling.
    bool IsStaged() const;

    // A chunk's bytes [offset, offset + length) verified in `viewed`. When that is the file in place, the
    // range is remembered for the sibling, or copied into it at once when staging has begun meanwhile. The
    // FileException family when the copy fails.
    void KeepIntact(const SharedFile* viewed, std::uint64_t offset, std::uint64_t length);

    struct Staging {
        std::shared_ptr<SharedFile> sibling;  // where the chunk is to be written
        std::shared_ptr<SharedFile> source;   // the file under the name, or empty
    };
    // A chunk differs: begins staging unless it has begun (creates and allocates the sibling, or takes up the
    // one left by an earlier run, and copies the chunks kept so far), and returns the sibling and the source.
    // The FileException family on failure (the state stays as it was, apart from chunks already copied);
    // std::logic_error when the data has no target or no folder to stage in.
    Staging Stage();

    // Once every chunk (and the hash) has verified: a sibling is written to the disk and renamed over the
    // name; a sibling left by an earlier run that no chunk needed is deleted. Then the file is let go of,
    // except that an executable file's verified file is kept for AllowExecuteWork. Doing it again after a
    // success changes nothing. The FileException family on failure; the state is kept for another attempt.
    void Close();
    // The file's bytes are not the published ones: the target is denied execution and deleted (the sibling
    // when staged; the file under the name stays as it was), and everything is let go of. Whether it was
    // deleted.
    bool Discard();

    // The executable file as it was verified and put under its name (kept by Close), or empty.
    std::shared_ptr<SharedFile> VerifiedFile() const;
    // Lets go of the verified file (a program cannot be started while it is open for writing).
    void ReleaseVerified();
    // Lets go of every file (siblings stay on disk for the next run).
    void Release();
    // The same, except the verified file kept by Close: the file's work is let go of once it completes, and
    // AllowExecuteWork still needs that file.
    void ReleaseKeepingVerified();
    // Whether a sibling that this data opened or created is still on disk (neither renamed nor deleted).
    bool StagedFileLeft() const;

    // Fetching a file again. When the file's hash does not match although every chunk's CRC-32 did (a
    // manifest without chunk digests, so some node forged a chunk and it is not known which), the whole file
    // is fetched again, a bounded number of times, each time from one node that has not been the source of
    // such a round yet: the one that sent the fewest of the file's chunks so far. With one forging node
    // among three, one of two such rounds is the honest node's. A chunk whose request to the source fails
    // goes on to the other nodes as usual.
    //
    // A chunk of the file, downloaded from `host`, has verified (host[:port], compared in lower case).
    void RecordSender(const std::string& host);
    // Begins another round unless `limit` rounds have been made or none of `candidates` (host[:port]) is
    // left that has not been a round's source; whether it did.
    bool BeginRefetch(unsigned limit, const std::vector<std::string>& candidates);
    // The source of the round under way (lower case), or empty when there is none: no chunk on disk is
    // taken then, each is downloaded again.
    std::string RefetchSource() const;

    // Deletes the sibling `stagedPath` in `folder` unless the file data of a running transfer of this process
    // has it open (or is about to open it). Whether it was deleted.
    static bool DeleteUnusedStagedFile(SharedFileFactory& factory, const std::string& folder,
                                       const std::string& stagedPath);

    const std::string filePath;    // the path inside the package, relative to the destination folder
    const std::uint64_t fileSize;  // the size the manifest gives
    const bool executable;         // made executable once the package is complete

private:
    std::shared_ptr<SharedFile> CreateSibling();  // with mutex_ held
    void ReleaseLocked();                         // with mutex_ held

    mutable std::mutex mutex_;  // guards every field below
    SharedFileFactory* factory_ = nullptr;
    std::string folder_;
    std::string registered_;              // the sibling's key in the list of siblings in use, or empty
    std::shared_ptr<SharedFile> target_;  // where chunks are mapped
    std::shared_ptr<SharedFile>
        inPlace_;  // the file under its name: the target until staging, then the source
    std::shared_ptr<SharedFile> sibling_;   // the sibling once open (in place: one left by an earlier run)
    std::shared_ptr<SharedFile> verified_;  // an executable's verified file, kept by Close
    bool staged_ = false;                   // target_ is sibling_
    bool siblingOnDisk_ = false;            // a sibling this data found or made is on disk
    std::vector<std::pair<std::uint64_t, std::uint64_t>> intact_;  // (offset, length) verified in place
    std::map<std::string, std::uint64_t> sent_;  // chunks that verified, by the host that sent them
    std::vector<std::string> sources_;           // the sources of the rounds so far, the last one current
};

// The file data of the executable files of one package transfer's tree, by path: filled as the file works
// are made, read by AllowExecuteWork once every file is complete. A file whose work is made again (the set
// was started over) replaces the earlier data. Any thread; its mutex is a leaf.
class TransferFileSet {
public:
    void Add(std::shared_ptr<TransferSharedFileData> file);
    // The data last added for `path`, or empty.
    std::shared_ptr<TransferSharedFileData> Find(const std::string& path) const;
    std::vector<std::shared_ptr<TransferSharedFileData>> Files() const;

private:
    mutable std::mutex mutex_;  // guards files_
    std::unordered_map<std::string, std::shared_ptr<TransferSharedFileData>> files_;
};

}  // namespace halcyne
