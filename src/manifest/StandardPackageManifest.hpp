// The package and file manifests read from the package manifest document: a "package" element with its
// identifiers, an optional run path, the optional "sequence" and "expires" of a signed current manifest, and
// one "files" element holding only "file" elements.
// Loaded once on the loading thread, then only read (from any thread).
#pragma once

#include <string_view>

#include "manifest/PackageManifest.hpp"

namespace halcyne {

// One "file" element: "path", "chunksize", "size", "checksums" (eight hexadecimal digits per chunk) and,
// optionally, "chunksha256" (64 hexadecimal digits per chunk, in either case, concatenated in chunk order
// like the checksums), "sha256" (the whole file's SHA-256, 64 hexadecimal digits in either case) and
// "executable"
// ("true" marks the file as a program, "false" or absence does not). A file of size 0 has no chunk, so its
// "checksums" (and "chunksha256") are empty; it is created empty without a request.
class StandardFileManifest : public FileManifest {
public:
    StandardFileManifest() = default;
    // Constructs and loads; throws as Load does.
    explicit StandardFileManifest(const boost::property_tree::ptree& tree);

    // Throws ManifestParseException for every missing, malformed or invalid value (std::bad_alloc as
    // itself); "executable" must be exactly "true" or "false", "chunksha256" when present exactly one
    // digest per chunk. The path must stay inside the destination
    // folder: after its leading '/' characters it must be non-empty and free of empty, "." and ".."
    // segments and of backslashes. No segment may end with StagedFileSuffix, which names the files the
    // engine builds beside their places (the exception's message names the path).
    void Load(const boost::property_tree::ptree& tree) override;
    const std::string& GetPath() const override { return path_; }
    std::uint32_t GetChunkSize() const override { return chunkSize_; }
    std::uint64_t GetSize() const override { return size_; }
    const std::vector<std::uint32_t>& GetChecksums() const override { return checksums_; }
    const std::vector<Sha256::Digest>& GetChunkSha256() const override { return chunkSha256_; }
    const std::string& GetSha256() const override { return sha256_; }
    bool IsMarkedExecutable() const override { return executable_; }

private:
    std::string path_;
    std::uint32_t chunkSize_ = 0;
    std::uint64_t size_ = 0;
    std::vector<std::uint32_t> checksums_;
    std::vector<Sha256::Digest> chunkSha256_;  // empty, or one per chunk
    std::string sha256_;
    bool executable_ = false;
};

class StandardPackageManifest : public PackageManifest {
public:
    // Reads the child "package" of the tree. Throws ManifestParseException (std::bad_alloc as itself) for
    // anything invalid, including two files with the same path (leading '/' characters aside) and a
    // total size past 64 bits; the manifest is then to be discarded. The files handed to FileSink since the
    // last Load come first, then the tree's own "file" children.
    void Load(const boost::property_tree::ptree& tree) override;
    // Makes each file element a file manifest as soon as the reader hands it over (ManifestParseException
    // for an invalid one, which ends the reading), so that a package's files never stand in a tree at once.
    ManifestFileSink FileSink() override;
    const std::string& GetId() const override { return id_; }
    const std::string& GetName() const override { return name_; }
    const std::string& GetPartnerId() const override { return partnerId_; }
    const std::string& GetVersionId() const override { return versionId_; }
    const FileManifestList& GetFiles() const override { return files_; }
    const FileManifestList& GetRunFiles() const override { return runFiles_; }
    const FileManifestList& GetOtherFiles() const override { return otherFiles_; }
    const std::string& GetRun() const override { return run_; }
    std::shared_ptr<FileManifest> GetRunFile() const override { return runFile_; }
    bool MarksExecutables() const override { return marksExecutables_; }
    // The id, and "sequence" and "expires" as written when present.
    const DocumentStamp& GetStamp() const override { return stamp_; }

private:
    std::string id_;
    std::string name_;
    std::string partnerId_;
    std::string versionId_;
    std::string run_;
    std::shared_ptr<FileManifest> runFile_;
    FileManifestList files_;
    FileManifestList runFiles_;
    FileManifestList otherFiles_;
    bool marksExecutables_ = false;
    DocumentStamp stamp_;
    FileManifestList streamed_;  // handed over by the reader, taken by the next Load
};

// The path of a file inside its destination folder: the manifest's path without its leading '/'
// characters. Two files of a package never share it.
std::string_view RelativeFilePath(std::string_view path);

}  // namespace halcyne
