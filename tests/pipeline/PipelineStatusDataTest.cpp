#include <gtest/gtest.h>

#include "manifest/NodeListManifest.hpp"
#include "manifest/PackageManifest.hpp"
#include "pipeline/ChecksumStatusData.hpp"
#include "pipeline/ManifestWorks.hpp"
#include "support/PipelineHarness.hpp"
#include "support/SiteWriter.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

std::string Described(const WorkStatusData& data) {
    boost::property_tree::ptree tree;
    data.Describe(tree);
    std::string text;
    for (const auto& [key, value] : tree) {
        text += key + "=" + value.data() + ";";
    }
    return text;
}

TEST(PipelineStatusDataTest, DescriptionsAndErrorTexts) {
    test::ScratchFolder scratch;
    test::SitePackage package;
    package.versionId = "V7";
    package.files = {{"a.pak", "a", ""}};
    const auto manifest = test::LoadPackageXml(test::SiteWriter(scratch / "site").PublishPackage(package));
    const auto nodes = test::LoadNodeListXml(
        test::SiteWriter::NodeListXml({{"a", "h1", "/p/", 1}, {"b", "h2", "/p/", 1}, {"c", "h3", "/p/", 1}}));
    struct Case {
        std::shared_ptr<WorkStatusData> data;
        std::string described;
        std::string errorText;
    };
    const Case cases[] = {
        {std::make_shared<ChecksumStatusData>(0x1a2b3cu), "actualChecksum=1a2b3c;", "error|6"},
        {std::make_shared<ChecksumStatusData>(0u), "actualChecksum=0;", "error|6"},
        {std::make_shared<ChecksumStatusData>(0xcbf43926u), "actualChecksum=cbf43926;", "error|6"},
        {std::make_shared<ChecksumStatusData>(0xcbf43926u, Sha256::Digest{0xab, 0x01}),
         "actualChecksum=cbf43926;actualSha256=ab01" + std::string(60, '0') + ";", "error|6"},
        {std::make_shared<PackageStatusData>(manifest), "packageId=K;partnerId=P;versionId=V7;", ""},
        {std::make_shared<PackageStatusData>(nullptr), "package=null;", ""},
        {std::make_shared<NodeListStatusData>(nodes), "count=3;", ""},
        {std::make_shared<NodeListStatusData>(nullptr), "nodes=null;", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Described(*c.data), c.described);
        EXPECT_EQ(c.data->ToErrorString(), c.errorText) << c.described;
    }
    EXPECT_EQ(ChecksumStatusData(1).ToTransferError(), TransferError::ChecksumMismatch);
}

}  // namespace
}  // namespace halcyne
