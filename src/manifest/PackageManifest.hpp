// Package and file manifests, and the chunk arithmetic that every chunk work relies on.
// Loaded once by the manifest works, then read from any thread; the getters never change anything.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/Sha256.hpp"
#include "manifest/DocumentStamp.hpp"
#include "manifest/Manifest.hpp"

namespace halcyne {

class SharedFileFactory;

class FileManifest : public InputManifest {
public:
    ~FileManifest() override = default;
    void Load(const boost::property_tree::ptree& tree) override = 0;
    // The file's path inside the package's destination folder, as the manifest writes it.
    virtual const std::string& GetPath() const = 0;
    virtual std::uint32_t GetChunkSize() const = 0;
    virtual std::uint64_t GetSize() const = 0;
    // One CRC-32 per chunk, in chunk order.
    virtual const std::vector<std::uint32_t>& GetChecksums() const = 0;
    // The SHA-256 of the whole file as 64 lower-case hexadecimal digits, or empty when the entry carries
    // none. The default is empty, for manifests that never carry one.
    virtual const std::string& GetSha256() const;
    // One SHA-256 per chunk, in chunk order, or none when the entry carries no chunk digests. A chunk whose
    // CRC-32 matches is accepted only when its digest matches too, so that bytes forged to keep the CRC-32
    // are caught with the chunk (and the node that sent them is known). The default is none.
    virtual const std::vector<Sha256::Digest>& GetChunkSha256() const;
    // Whether the entry marks the file as a program to be made executable. The default is false, for
    // manifests that never mark one.
    virtual bool IsMarkedExecutable() const;
};

using FileManifestList = std::vector<std::shared_ptr<FileManifest>>;

class PackageManifest : public InputManifest {
public:
    ~PackageManifest() override = default;
    void Load(const boost::property_tree::ptree& tree) override = 0;
    virtual const std::string& GetId() const = 0;
    virtual const std::string& GetName() const = 0;
    virtual const std::string& GetPartnerId() const = 0;
    virtual const std::string& GetVersionId() const = 0;
    // Every file, in document order.
    virtual const FileManifestList& GetFiles() const = 0;
    // The files whose path is the run path, and all others, each in document order.
    virtual const FileManifestList& GetRunFiles() const = 0;
    virtual const FileManifestList& GetOtherFiles() const = 0;
    // The path of the file to run; empty when the package has none.
    virtual const std::string& GetRun() const = 0;
    // The file to run, or empty.
    virtual std::shared_ptr<FileManifest> GetRunFile() const = 0;

    // The sum of the sizes of all files.
    std::uint64_t GetTotalSize() const;
    // Whether any file of the package is marked executable. The default looks at every file; a manifest
    // that knows it from loading answers at once.
    virtual bool MarksExecutables() const;
    // The document's stamp (the owner is the package id). The default is empty, for manifests that never
    // carry one.
    virtual const DocumentStamp& GetStamp() const;
};

// The suffix of the sibling file in which a file is built before it replaces the file of that name; no
// package path may end with it.
inline constexpr std::string_view StagedFileSuffix = ".halcyne-part";

// Whether the engine makes `file` executable once its package is complete: the run file always; the files
// the manifest marks executable; and, for a manifest that marks no file at all (sites published before files
// were marked), the files whose extension `factory` counts as a program.
bool IsExecutableFile(const PackageManifest& package, const FileManifest& file, SharedFileFactory& factory);

// ceil(size / chunkSize), 0 when chunkSize is 0. Throws ManifestOverflowException when size + chunkSize - 1
// does not fit in 64 bits or the count does not fit in 32 bits.
std::uint32_t ChunkCount(std::uint32_t chunkSize, std::uint64_t size);

// The byte range of one chunk, both bounds inclusive.
struct ChunkRange {
    std::uint64_t lowerBound;
    std::uint64_t upperBound;
};

// Chunk `index` of a file: it starts at index x chunkSize and holds min(chunkSize, size - start) bytes.
// Throws std::out_of_range unless chunkSize is not 0 and the chunk starts inside the file.
ChunkRange GetChunkRange(std::uint32_t chunkSize, std::uint64_t size, std::uint32_t index);

}  // namespace halcyne
