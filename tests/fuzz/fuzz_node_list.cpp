// Node list documents as the manifest sources read them: any input either loads into a non-empty list of
// nodes that keep the loader's promises or fails with ManifestParseException. Anything else escaping, a
// crash, a hang or a leak is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string_view>

#include <boost/property_tree/ptree.hpp>

#include "StampCheck.hpp"
#include "manifest/ManifestException.hpp"
#include "manifest/ManifestText.hpp"
#include "manifest/ServerHost.hpp"
#include "manifest/StandardNodeListManifest.hpp"
#include "manifest/XmlManifestReader.hpp"
#include "optimizer/NodeStatistics.hpp"

using namespace halcyne;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    boost::property_tree::ptree tree;
    StandardNodeListManifest list;
    try {
        ReadManifestXml(text, tree);
        list.Load(tree);
    } catch (const ManifestParseException&) {
        return 0;
    }
    if (list.GetNodes().empty()) {
        std::abort();
    }
    fuzz::CheckStamp(list.GetStamp());
    for (const auto& node : list.GetNodes()) {
        const std::string& path = node->GetPath();
        if (node->GetNodeId().empty() || !IsServerHost(node->GetHost()) ||
            CanonicalServerHost(SplitServerHost(node->GetHost())) != node->GetHost() || path.empty() ||
            path.front() != '/' || path.back() != '/' || node->GetStatistics() == nullptr) {
            std::abort();
        }
        boost::property_tree::ptree saved;
        node->Save(saved);
    }
    return 0;
}
