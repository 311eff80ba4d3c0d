// Opens, deletes and classifies the files the system writes: package files (the file works), stored transfer
// manifests (the manifest store), the work log and shortcuts. One stateless factory serves the whole run.
//
// Safe to call from any thread at once; nothing is called back.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "file/SharedFile.hpp"

namespace halcyne {

// How Create opens a file. Values of 3 and above open or create like OpenOrCreate but do not create
// missing parent folders.
enum class SharedFileMode : std::uint8_t {
    OpenOrCreate = 0,  // parent folders created; open the file, or create it when missing
    CreateNew = 1,     // parent folders created; create the file, FileInUseException when it exists
    OpenExisting = 2,  // open the file, FileBadPathException when it is missing
};

class SharedFileFactory {
public:
    virtual ~SharedFileFactory() = default;

    // Opens `name` (a relative path with '/' separators; leading '/' are ignored) inside `folder` with the
    // bounds [lowerBound, upperBound] (0 and WholeFileUpperBound for a whole file), positioned at
    // lowerBound. A name that would lead outside the folder is FileBadPathException. Throws the
    // FileException family or std::bad_alloc.
    virtual std::shared_ptr<SharedFile> Create(const std::string& folder, const std::string& name,
                                               SharedFileMode mode, std::uint64_t lowerBound,
                                               std::uint64_t upperBound) = 0;
    // Deletes the file; true when it was deleted. Never throws.
    virtual bool Delete(const std::string& folder, const std::string& name) = 0;
    // Whether `name` is a program by its extension (case-sensitive). `folder` is not used.
    virtual bool IsExecutable(const std::string& folder, const std::string& name) = 0;
    // Renames `from` to `to`, both relative to `folder` (the same rules as Create's name), replacing whatever
    // `to` is (a file or a symbolic link, which is replaced and never followed) in one step. The
    // FileException family on failure.
    virtual void Rename(const std::string& folder, const std::string& from, const std::string& to) = 0;
};

}  // namespace halcyne
