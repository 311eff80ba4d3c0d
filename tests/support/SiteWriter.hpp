// Writes a delivery site folder the way the manifest service and content nodes serve it:
//   manifests/<package>/<version>.xml (and current.xml), nodes/<partner>.xml,
//   packages/<partner>/<package>/<version>/<path>
// Files go in, a package manifest with one CRC-32 per chunk (and each chunk's and each file's SHA-256) and a
// node list come out. Built on the publishing tool's library (tools/publish/), without its refusals, so that
// tests can craft odd sites. Used from one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace halcyne::publish {
struct NodeInfo;
}

namespace halcyne::test {

struct SiteFile {
    std::string path{};     // relative path inside the package
    std::string content{};  // the bytes, unless source is given
    std::string source{};   // a file to copy the bytes from (for large files)
};

struct SitePackage {
    std::string partnerId = "P";
    std::string packageId = "K";
    std::string versionId = "V";
    std::string name = "Package";
    std::string run{};  // path of the file to run, "" for none
    std::uint32_t chunkSize = 64 * 1024;
    std::vector<SiteFile> files{};
    bool hashFiles = true;   // the manifest gives every file's SHA-256
    bool hashChunks = true;  // and every chunk's
};

struct SiteNode {
    std::string nodeId{};
    std::string host{};  // host[:port]
    std::string path = "/packages/";
    std::uint32_t weight = 1;
};

// The chunk checksum, as the publishing tool computes it: the standard CRC-32 (reflected, polynomial
// 0x04C11DB7, initial value and final XOR 0xFFFFFFFF).
std::uint32_t Crc32(const void* data, std::size_t size);

class SiteWriter {
public:
    // Creates the folder when missing.
    explicit SiteWriter(std::string folder);

    const std::string& Folder() const { return folder_; }

    // Puts the package's files in place and writes its manifest as <version>.xml, and also as current.xml
    // when `current`. Returns the manifest text.
    std::string PublishPackage(const SitePackage& package, bool current = true);
    // Writes nodes/<partner>.xml. Returns the text.
    std::string PublishNodeList(const std::string& partnerId, const std::vector<SiteNode>& nodes);
    // Writes any text at a path of the site (a malformed manifest, say).
    void WriteText(const std::string& relative, const std::string& text);

    // Where a package file lives in the site folder.
    std::string PackageFilePath(const SitePackage& package, const std::string& path) const;

    // The manifest of a package whose files are already in place (checksums are read from the site).
    std::string PackageManifestXml(const SitePackage& package) const;
    static std::string NodeListXml(const std::vector<SiteNode>& nodes);
    // One 8-digit lower-case hexadecimal CRC-32 per chunk of the file, concatenated.
    static std::string ChunkChecksums(const std::string& file, std::uint32_t chunkSize);

private:
    static std::vector<std::string> Paths(const SitePackage& package);
    static std::vector<publish::NodeInfo> Nodes(const std::vector<SiteNode>& nodes);

    std::string folder_;
};

}  // namespace halcyne::test
