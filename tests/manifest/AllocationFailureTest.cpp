// Fails the Nth allocation of a load, for N = 0, 1, 2, ... until the load succeeds: every failure must
// reach the caller as std::bad_alloc (not as a parse failure), and nothing may leak (checked under ASan).
#include <new>
#include <string>

#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "manifest/FailingAllocation.hpp"
#include "manifest/ManifestException.hpp"
#include "manifest/StandardNodeListManifest.hpp"
#include "manifest/StandardPackageManifest.hpp"
#include "manifest/XmlManifestReader.hpp"

namespace halcyne {
namespace {

template <typename Manifest>
void LoadFailingEachAllocation(const std::string& xml) {
    long failAt = 0;
    for (;; ++failAt) {
        ASSERT_LT(failAt, 100000) << "the load never succeeded";
        boost::property_tree::ptree tree;
        Manifest manifest;
        test::FailAllocationsAfter(failAt);
        try {
            ReadManifestXml(xml, tree);
            manifest.Load(tree);
            test::FailAllocationsAfter(-1);
            break;
        } catch (const std::bad_alloc&) {
            test::FailAllocationsAfter(-1);
        } catch (const ManifestException&) {
            test::FailAllocationsAfter(-1);
            FAIL() << "allocation " << failAt << " failed as a manifest exception";
        }
    }
    EXPECT_GT(failAt, 10);
}

TEST(AllocationFailureTest, PackageManifestPassesBadAllocThrough) {
    LoadFailingEachAllocation<StandardPackageManifest>(
        "<package id='i' name='n' partnerId='p' versionId='v' run='a'><files>"
        "<file path='a' chunksize='4' size='10' checksums='000000011234567800000002'/>"
        "<file><path>b/c</path><chunksize>4</chunksize><size>1</size><checksums>cbf43926</checksums></file>"
        "</files></package>");
}

TEST(AllocationFailureTest, NodeListPassesBadAllocThrough) {
    LoadFailingEachAllocation<StandardNodeListManifest>(
        "<ArrayOfNodeInfo><NodeInfo NodeId='a' Host='h1' Weight='2'/>"
        "<NodeInfo><NodeId>b</NodeId><Host>h2:80</Host><Path>x</Path></NodeInfo></ArrayOfNodeInfo>");
}

}  // namespace
}  // namespace halcyne
