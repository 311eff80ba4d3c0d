#include "support/SiteWriter.hpp"

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <utility>

#include <boost/crc.hpp>
#include <boost/filesystem.hpp>

namespace halcyne::test {

namespace {

std::string Escape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::string Element(const std::string& name, const std::string& text) {
    return "<" + name + ">" + Escape(text) + "</" + name + ">";
}

void WriteWhole(const std::string& path, const std::string& bytes) {
    boost::filesystem::create_directories(boost::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

}  // namespace

std::uint32_t Crc32(const void* data, std::size_t size) {
    boost::crc_32_type crc;
    crc.process_bytes(data, size);
    return crc.checksum();
}

SiteWriter::SiteWriter(std::string folder) : folder_(std::move(folder)) {
    boost::filesystem::create_directories(folder_);
}

std::string SiteWriter::PackageFilePath(const SitePackage& package, const std::string& path) const {
    return folder_ + "/packages/" + package.partnerId + "/" + package.packageId + "/" + package.versionId +
           "/" + path;
}

std::string SiteWriter::ChunkChecksums(const std::string& file, std::uint32_t chunkSize) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + file);
    }
    std::string text;
    std::vector<char> chunk(chunkSize);
    for (;;) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const std::size_t got = static_cast<std::size_t>(in.gcount());
        if (got == 0) {
            break;
        }
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(Crc32(chunk.data(), got)));
        text += hex;
        if (got < chunk.size()) {
            break;
        }
    }
    return text;
}

std::string SiteWriter::PackageManifestXml(const SitePackage& package) const {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<package>";
    xml += Element("id", package.packageId) + Element("name", package.name) +
           Element("partnerId", package.partnerId) + Element("versionId", package.versionId);
    if (!package.run.empty()) {
        xml += Element("run", package.run);
    }
    xml += "<files>";
    for (const SiteFile& file : package.files) {
        const std::string stored = PackageFilePath(package, file.path);
        xml += "<file>" + Element("path", file.path) +
               Element("chunksize", std::to_string(package.chunkSize)) +
               Element("size", std::to_string(boost::filesystem::file_size(stored))) +
               Element("checksums", ChunkChecksums(stored, package.chunkSize)) + "</file>";
    }
    xml += "</files></package>\n";
    return xml;
}

std::string SiteWriter::PublishPackage(const SitePackage& package, bool current) {
    for (const SiteFile& file : package.files) {
        const std::string target = PackageFilePath(package, file.path);
        if (file.source.empty()) {
            WriteWhole(target, file.content);
        } else {
            boost::filesystem::create_directories(boost::filesystem::path(target).parent_path());
            boost::filesystem::copy_file(file.source, target,
                                         boost::filesystem::copy_options::overwrite_existing);
        }
    }
    const std::string xml = PackageManifestXml(package);
    const std::string folder = folder_ + "/manifests/" + package.packageId + "/";
    WriteWhole(folder + package.versionId + ".xml", xml);
    if (current) {
        WriteWhole(folder + "current.xml", xml);
    }
    return xml;
}

std::string SiteWriter::NodeListXml(const std::vector<SiteNode>& nodes) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<ArrayOfNodeInfo>";
    for (const SiteNode& node : nodes) {
        xml += "<NodeInfo>" + Element("NodeId", node.nodeId) + Element("Host", node.host) +
               Element("Path", node.path) + Element("Weight", std::to_string(node.weight)) + "</NodeInfo>";
    }
    xml += "</ArrayOfNodeInfo>\n";
    return xml;
}

std::string SiteWriter::PublishNodeList(const std::string& partnerId, const std::vector<SiteNode>& nodes) {
    const std::string xml = NodeListXml(nodes);
    WriteWhole(folder_ + "/nodes/" + partnerId + ".xml", xml);
    return xml;
}

void SiteWriter::WriteText(const std::string& relative, const std::string& text) {
    WriteWhole(folder_ + "/" + relative, text);
}

}  // namespace halcyne::test
