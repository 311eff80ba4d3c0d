// The stored transfer form's round trip: the input is cut at 0xFF bytes (never part of UTF-8) into the five
// texts of a manifest. When all five are valid UTF-8 they save into one line and load back equal; when one
// is not, saving fails with ManifestParseException (nothing is altered silently). Anything else is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "common/Utf8.hpp"
#include "manifest/ManifestException.hpp"
#include "manifest/ManifestStoreImpl.hpp"
#include "manifest/TransferManifest.hpp"

using namespace halcyne;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> texts(5);
    std::size_t field = 0;
    for (std::size_t i = 0; i < size && field < texts.size(); ++i) {
        if (data[i] == 0xFF) {
            ++field;
        } else {
            texts[field].push_back(static_cast<char>(data[i]));
        }
    }
    bool valid = true;
    for (const std::string& text : texts) {
        valid = valid && IsValidUtf8(text);
    }
    TransferParams params;
    params.transferId = texts[0];
    params.partnerId = texts[1];
    params.packageId = texts[2];
    params.versionId = texts[3];
    params.destPath = texts[4];

    JsonTempFileManifestStoreImpl impl("transfers", nullptr);
    boost::property_tree::ptree tree;
    TransferManifest(params).Save(tree);
    std::stringstream stream;
    try {
        impl.Serialize(tree, stream);
    } catch (const ManifestParseException&) {
        if (valid) {
            std::abort();
        }
        return 0;
    }
    if (!valid) {
        std::abort();
    }
    boost::property_tree::ptree reread;
    impl.Parse(stream, reread);
    TransferManifest loaded;
    loaded.Load(reread);
    if (loaded.params.transferId != texts[0] || loaded.params.partnerId != texts[1] ||
        loaded.params.packageId != texts[2] || loaded.params.versionId != texts[3] ||
        loaded.params.destPath != texts[4]) {
        std::abort();
    }
    return 0;
}
