// A destination file opened with open(2): bounds, one file position for the handle operations, execute
// permission by mode bits, and memory-mapped views made through a lazily created PosixMemoryMap.
// Made by PosixSharedFileFactory; threads as for SharedFile.
#pragma once

#include <atomic>
#include <cstdint>
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
    std::shared_ptr<MemoryMappedFileData> Map() override;
    std::shared_ptr<MemoryMappedFileData> Map(std::uint64_t lower, std::uint64_t upper) override;
    FileIdentity Identity() override;
    // copy_file_range(2) between the two descriptors; pread/pwrite where the kernel or file system cannot.
    void CopyRange(SharedFile& source, std::uint64_t offset, std::uint64_t length) override;
    void Sync() override;

    // The file's absolute path.
    const std::string& Path() const { return path_; }
    // The open descriptor, owned by this object.
    int Descriptor() const { return descriptor_; }

private:
    std::shared_ptr<PosixMemoryMap> Mapping();
    bool ChangeMode(bool execute);

    int descriptor_ = -1;
    std::shared_ptr<PosixMemoryMap> map_;  // guarded by mapMutex_; made on the first Map
    std::mutex mapMutex_;                  // guards map_
    std::string path_;
    // Set by Allocate when it extended the file in this object's life: its bytes are zeros to be written.
    std::atomic<bool> freshlyAllocated_{false};
};

}  // namespace halcyne
