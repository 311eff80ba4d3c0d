// Helpers of the transfer tests: small package manifests and node lists built in memory, and a test clock.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "manifest/StandardNodeListManifest.hpp"
#include "manifest/StandardPackageManifest.hpp"
#include "manifest/XmlManifestReader.hpp"

namespace halcyne::test {

// A package whose files have the given sizes (chunks of at most 2^31 bytes, checksums 0), named f0, f1, ...
inline std::shared_ptr<PackageManifest> MakePackage(const std::vector<std::uint64_t>& sizes,
                                                    const std::string& partnerId = "P",
                                                    const std::string& packageId = "K",
                                                    const std::string& versionId = "V7",
                                                    const std::string& run = "f0") {
    std::string files;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const std::uint64_t chunk = std::min<std::uint64_t>(std::max<std::uint64_t>(sizes[i], 1), 1u << 31);
        std::string checksums;
        for (std::uint64_t n = (sizes[i] + chunk - 1) / chunk; n > 0; --n) {
            checksums += "00000000";
        }
        files += "<file><path>f" + std::to_string(i) + "</path><chunksize>" + std::to_string(chunk) +
                 "</chunksize><size>" + std::to_string(sizes[i]) + "</size><checksums>" + checksums +
                 "</checksums></file>";
    }
    const std::string xml = "<package><id>" + packageId + "</id><name>N</name><partnerId>" + partnerId +
                            "</partnerId><versionId>" + versionId + "</versionId>" +
                            (run.empty() ? "" : "<run>" + run + "</run>") + "<files>" + files +
                            "</files></package>";
    boost::property_tree::ptree tree;
    ReadManifestXml(xml, tree);
    auto package = std::make_shared<StandardPackageManifest>();
    package->Load(tree);
    return package;
}

// A node list of these hosts (node ids n0, n1, ...).
inline std::shared_ptr<NodeListManifest> MakeNodeList(const std::vector<std::string>& hosts) {
    std::string nodes;
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        nodes +=
            "<NodeInfo><NodeId>n" + std::to_string(i) + "</NodeId><Host>" + hosts[i] + "</Host></NodeInfo>";
    }
    boost::property_tree::ptree tree;
    ReadManifestXml("<ArrayOfNodeInfo>" + nodes + "</ArrayOfNodeInfo>", tree);
    auto list = std::make_shared<StandardNodeListManifest>();
    list->Load(tree);
    return list;
}

// A 32-bit millisecond clock that tests move by hand; shared by copies.
class TestClock {
public:
    explicit TestClock(std::uint32_t start = 0) : now_(std::make_shared<std::atomic<std::uint32_t>>(start)) {}
    std::uint32_t operator()() const { return now_->load(); }
    void Advance(std::uint32_t ms) { now_->fetch_add(ms); }

private:
    std::shared_ptr<std::atomic<std::uint32_t>> now_;
};

}  // namespace halcyne::test
