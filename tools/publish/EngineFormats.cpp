#include "EngineFormats.hpp"

#include <memory>

#include <boost/property_tree/ptree.hpp>

#include "common/Uri.hpp"
#include "manifest/StandardNodeListManifest.hpp"
#include "manifest/StandardPackageManifest.hpp"
#include "manifest/XmlManifestReader.hpp"
#include "optimizer/OptimizedRequestParams.hpp"
#include "pipeline/Crc32.hpp"

namespace halcyne::publish {

std::uint32_t ChunkCrc32(const void* data, std::size_t size, std::uint32_t crc) {
    return Crc32(data, size, crc);
}

bool ChunkUrlCarries(const std::string& partnerId, const std::string& packageId, const std::string& versionId,
                     const std::string& filePath) {
    try {
        // The engine's own URL for the file's first chunk on a node at "/packages/"; the server decodes its
        // path.
        boost::property_tree::ptree node;
        node.put("NodeInfo.NodeId", "n");
        node.put("NodeInfo.Host", "host.example");
        node.put("NodeInfo.Path", "/packages/");
        node.put("NodeInfo.Weight", "1");
        boost::property_tree::ptree list;
        list.add_child("ArrayOfNodeInfo", node);
        auto nodes = std::make_shared<StandardNodeListManifest>();
        nodes->Load(list);
        TransferParams transfer;
        transfer.partnerId = partnerId;
        transfer.packageId = packageId;
        transfer.versionId = versionId;
        OptimizedRequestParams params(nullptr, transfer, RequestedChunk{filePath, 0, 0});
        params.SelectedNode = nodes->GetNodes().at(0);
        const Uri url(params.ToUrl());
        return url.Host() == "host.example" && url.Query().empty() && url.Fragment().empty() &&
               url.Path() == "/packages/" + partnerId + "/" + packageId + "/" + versionId + "/" + filePath;
    } catch (const std::exception&) {
        return false;
    }
}

std::vector<std::string> MarkedExecutables(const std::string& manifestXml) {
    boost::property_tree::ptree tree;
    ReadManifestXml(manifestXml, tree);
    StandardPackageManifest manifest;
    manifest.Load(tree);
    std::vector<std::string> paths;
    for (const auto& file : manifest.GetFiles()) {
        if (file->IsMarkedExecutable()) {
            paths.push_back(file->GetPath());
        }
    }
    return paths;
}

std::shared_ptr<const PackageManifest> LoadPackageManifest(const std::string& manifestXml) {
    boost::property_tree::ptree tree;
    ReadManifestXml(manifestXml, tree);
    auto manifest = std::make_shared<StandardPackageManifest>();
    manifest->Load(tree);
    return manifest;
}

DocumentStamp ReadDocumentStamp(const std::string& xml, bool nodeList) {
    boost::property_tree::ptree tree;
    ReadManifestXml(xml, tree);
    if (nodeList) {
        StandardNodeListManifest list;
        list.Load(tree);
        return list.GetStamp();
    }
    StandardPackageManifest manifest;
    manifest.Load(tree);
    return manifest.GetStamp();
}

}  // namespace halcyne::publish
