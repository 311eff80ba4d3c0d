#include "support/SiteWriter.hpp"

#include <utility>

#include <boost/filesystem.hpp>

#include "EngineFormats.hpp"
#include "SitePublisher.hpp"

namespace halcyne::test {

namespace {

publish::PackageInfo Info(const SitePackage& package) {
    return {package.partnerId, package.packageId, package.versionId, package.name,
            package.run,       package.chunkSize, package.hashFiles, package.hashChunks};
}

}  // namespace

std::uint32_t Crc32(const void* data, std::size_t size) {
    return publish::ChunkCrc32(data, size);
}

SiteWriter::SiteWriter(std::string folder) : folder_(std::move(folder)) {
    boost::filesystem::create_directories(folder_);
}

std::string SiteWriter::PackageFilePath(const SitePackage& package, const std::string& path) const {
    return publish::SitePublisher(folder_).PackageFilePath(Info(package), path);
}

std::string SiteWriter::ChunkChecksums(const std::string& file, std::uint32_t chunkSize) {
    return publish::ChunkChecksums(file, chunkSize);
}

std::vector<std::string> SiteWriter::Paths(const SitePackage& package) {
    std::vector<std::string> paths;
    for (const SiteFile& file : package.files) {
        paths.push_back(file.path);
    }
    return paths;
}

std::string SiteWriter::PackageManifestXml(const SitePackage& package) const {
    std::vector<publish::PublishedFile> files;
    for (const SiteFile& file : package.files) {
        const std::string stored = PackageFilePath(package, file.path);
        publish::FileDigests digests =
            publish::DigestFile(stored, package.hashFiles, package.hashChunks ? package.chunkSize : 0);
        files.push_back({file.path, boost::filesystem::file_size(stored),
                         ChunkChecksums(stored, package.chunkSize), std::move(digests.chunkSha256),
                         std::move(digests.sha256)});
    }
    return publish::PackageManifestXml(Info(package), files);
}

std::string SiteWriter::PublishPackage(const SitePackage& package, bool current) {
    for (const SiteFile& file : package.files) {
        const std::string target = PackageFilePath(package, file.path);
        if (file.source.empty()) {
            publish::WriteFileAtomically(target, file.content);
        } else {
            boost::filesystem::create_directories(boost::filesystem::path(target).parent_path());
            boost::filesystem::copy_file(file.source, target,
                                         boost::filesystem::copy_options::overwrite_existing);
        }
    }
    return publish::SitePublisher(folder_).PublishInPlace(Paths(package), Info(package), current);
}

std::string SiteWriter::NodeListXml(const std::vector<SiteNode>& nodes) {
    return publish::NodeListXml(Nodes(nodes));
}

std::vector<publish::NodeInfo> SiteWriter::Nodes(const std::vector<SiteNode>& nodes) {
    std::vector<publish::NodeInfo> out;
    for (const SiteNode& node : nodes) {
        out.push_back({node.nodeId, node.host, node.path, node.weight});
    }
    return out;
}

std::string SiteWriter::PublishNodeList(const std::string& partnerId, const std::vector<SiteNode>& nodes) {
    const std::string xml = NodeListXml(nodes);
    publish::WriteFileAtomically(folder_ + "/nodes/" + partnerId + ".xml", xml);
    return xml;
}

void SiteWriter::WriteText(const std::string& relative, const std::string& text) {
    publish::WriteFileAtomically(folder_ + "/" + relative, text);
}

}  // namespace halcyne::test
