// Stored transfer files as the store reads them: any input either loads into a manifest or fails with
// ManifestParseException. A manifest that loads saves into the one-line form, which loads back to the same
// five texts. Anything else escaping, a crash, a hang or a leak is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "manifest/ManifestException.hpp"
#include "manifest/ManifestStoreImpl.hpp"
#include "manifest/TransferManifest.hpp"

using namespace halcyne;

namespace {

bool Same(const TransferParams& a, const TransferParams& b) {
    return a.transferId == b.transferId && a.partnerId == b.partnerId && a.packageId == b.packageId &&
           a.versionId == b.versionId && a.destPath == b.destPath;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    JsonTempFileManifestStoreImpl impl("transfers", nullptr);
    std::stringstream file(std::string(reinterpret_cast<const char*>(data), size));
    boost::property_tree::ptree tree;
    TransferManifest manifest;
    try {
        impl.Parse(file, tree);
        manifest.Load(tree);
    } catch (const ManifestParseException&) {
        return 0;
    }
    // What loaded is valid UTF-8, so it must save, as one line, and load back unchanged.
    boost::property_tree::ptree saved;
    manifest.Save(saved);
    std::stringstream text;
    impl.Serialize(saved, text);
    const std::string line = text.str();
    if (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1) {
        std::abort();
    }
    boost::property_tree::ptree reread;
    impl.Parse(text, reread);
    TransferManifest again;
    again.Load(reread);
    if (!Same(again.params, manifest.params)) {
        std::abort();
    }
    return 0;
}
