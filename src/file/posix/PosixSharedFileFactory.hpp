// The file factory of the Linux build: PosixSharedFile for every file, unlinkat(2) and renameat(2) on the
// descriptors of the folders that PosixFilePath reaches without crossing a link, and the executable
// extensions of both worlds. Stateless; safe on any thread; calls nothing back.
#pragma once

#include "file/SharedFileFactory.hpp"

namespace halcyne {

class PosixSharedFileFactory : public SharedFileFactory {
public:
    std::shared_ptr<SharedFile> Create(const std::string& folder, const std::string& name,
                                       SharedFileMode mode, std::uint64_t lowerBound,
                                       std::uint64_t upperBound) override;
    bool Delete(const std::string& folder, const std::string& name) override;
    // True for the extensions .exe .bat .com .cmd .msi .vbs .sh .run .AppImage, compared byte for byte.
    bool IsExecutable(const std::string& folder, const std::string& name) override;
    void Rename(const std::string& folder, const std::string& from, const std::string& to) override;
};

}  // namespace halcyne
