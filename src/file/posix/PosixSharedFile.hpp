// A destination file opened with open(2): bounds, one file position for the handle operations, positional
// reads and writes (pread/pwrite), execute permission by mode bits, and memory-mapped views made through a
// lazily created PosixMemoryMap. Once allocated by this object it keeps the ranges written since, so that a
// range never written is known to hold zeros.
// Made by PosixSharedFileFactory; threads as for SharedFile.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "file/SharedFile.hpp"
#include "file/SharedFileFactory.hpp"

namespace halcyne {

class PosixMemoryMap;

class PosixSharedFile : public SharedFile {
public:
    // Opens `name` inside `folder` (see SharedFileFactory::Create), creating missing parent folders for
    // OpenOrCreate and CreateNew. Nothing below `folder` is reached through a symbolic link: the modes that
    // may create the file put a real folder or file in place of a link, and a new file in place of one with
    // other names (hard links); OpenExisting refuses a link (FileBadPathException) and touches nothing (see
    // PosixFilePath.hpp). New files get no execute permission. A failed constructor closes what it opened.
    PosixSharedFile(const std::string& folder, const std::string& name, SharedFileMode mode,
                    std::uint64_t lowerBound, std::uint64_t upperBound);
    ~PosixSharedFile() override;

    std::uint64_t Position() const override;
    void Seek(std::uint64_t position) override;
    std::uint32_t Read(void* buffer, std::uint32_t size) override;
    std::uint32_t Write(const void* buffer, std::uint32_t size) override;
    std::uint64_t Size() override;
    bool Allocate(std::uint64_t size) override;
    // Refuses (false) a file with other names (hard links): its mode is theirs too, and none of them may
    // become a program through this one.
    bool AllowExecute() override;
    bool DenyExecute() override;
    std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override;
    // Looks at the file's length (fstat) before every write: a write past the end is refused, not made.
    void WriteAt(std::uint64_t offset, const void* data, std::size_t size) override;
    bool HoldsAllocatedZeros(std::uint64_t lower, std::uint64_t upper) override;
    std::shared_ptr<MemoryMappedFileData> Map() override;
    std::shared_ptr<MemoryMappedFileData> Map(std::uint64_t lower, std::uint64_t upper) override;
    FileIdentity Identity() override;
    // copy_file_range(2) between the two descriptors; pread/pwrite where the kernel or file system cannot.
    void CopyRange(SharedFile& source, std::uint64_t offset, std::uint64_t length) override;
    void Sync() override;
    void StartWriteback(std::uint64_t offset, std::uint64_t length) override;

    // The file's absolute path.
    const std::string& Path() const { return path_; }
    // The open descriptor, owned by this object.
    int Descriptor() const { return descriptor_; }

private:
    std::shared_ptr<PosixMemoryMap> Mapping();
    bool ChangeMode(bool execute);
    // Records that [lower, upper] may have been written (only while the file is freshly allocated).
    void NoteWritten(std::uint64_t lower, std::uint64_t upper);
    // The range check of [offset, offset + size - 1] (size >= 1), without overflowing.
    void CheckExtent(std::uint64_t offset, std::size_t size) const;

    int descriptor_ = -1;
    std::shared_ptr<PosixMemoryMap> map_;  // guarded by mapMutex_; made on the first Map
    std::mutex mapMutex_;                  // guards map_
    std::string path_;
    // Set by Allocate when it extended the file in this object's life: its bytes are zeros to be written.
    std::atomic<bool> freshlyAllocated_{false};
    std::mutex writtenMutex_;  // guards written_; a leaf, held for a map update only
    // Since the allocation, the ranges that may have been written: first byte -> last byte, disjoint and
    // not adjacent (neighbours are merged).
    std::map<std::uint64_t, std::uint64_t> written_;
};

}  // namespace halcyne
