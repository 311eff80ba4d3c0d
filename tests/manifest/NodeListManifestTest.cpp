#include <string>
#include <vector>

#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "manifest/ManifestException.hpp"
#include "manifest/StandardNodeListManifest.hpp"
#include "manifest/XmlManifestReader.hpp"
#include "optimizer/NodeStatistics.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

using boost::property_tree::ptree;

StandardNodeListManifest LoadNodes(const std::string& xml) {
    ptree tree;
    ReadManifestXml(xml, tree);
    StandardNodeListManifest list;
    list.Load(tree);
    return list;
}

ptree LoadTree(const std::string& xml) {
    ptree tree;
    ReadManifestXml(xml, tree);
    return tree;
}

std::string List(const std::string& nodes) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<ArrayOfNodeInfo>" + nodes + "</ArrayOfNodeInfo>";
}

std::string Node(const std::string& inner) {
    return "<NodeInfo><NodeId>n1</NodeId><Host>cdn.example</Host>" + inner + "</NodeInfo>";
}

TEST(NodeListManifestTest, LoadsNodesWithPathAndWeightRules) {
    struct Case {
        const char* label;
        std::string node;  // one NodeInfo element
        std::string host;
        std::string path;
        std::uint32_t weight;
    };
    const Case cases[] = {
        {"defaults", Node(""), "cdn.example", "/packages/", 1},
        {"attributes", "<NodeInfo NodeId='a' Host='10.0.0.1:8080' Path='/p/' Weight='5'/>", "10.0.0.1:8080",
         "/p/", 5},
        {"child wins", "<NodeInfo Host='attr'><NodeId>a</NodeId><Host>child</Host></NodeInfo>", "child",
         "/packages/", 1},
        {"path without slashes", Node("<Path>abc</Path>"), "cdn.example", "/abc/", 1},
        {"path without trailing slash", Node("<Path>/abc</Path>"), "cdn.example", "/abc/", 1},
        {"path without leading slash", Node("<Path>a/b/</Path>"), "cdn.example", "/a/b/", 1},
        {"empty path", Node("<Path></Path>"), "cdn.example", "/", 1},
        {"weight not a number", Node("<Weight>abc</Weight>"), "cdn.example", "/packages/", 1},
        {"weight 0", Node("<Weight>0</Weight>"), "cdn.example", "/packages/", 0},
        {"weight with white space", Node("<Weight> 7\n</Weight>"), "cdn.example", "/packages/", 7},
        {"negative weight", Node("<Weight>-1</Weight>"), "cdn.example", "/packages/", 1},
        {"weight past 32 bits", Node("<Weight>4294967296</Weight>"), "cdn.example", "/packages/", 1},
        {"host trimmed", "<NodeInfo><NodeId>a</NodeId><Host>\n  Node-1.Example:80 \t</Host></NodeInfo>",
         "Node-1.Example:80", "/packages/", 1},
        {"IPv6 host", "<NodeInfo NodeId='a' Host='[::1]:8080'/>", "[::1]:8080", "/packages/", 1},
        // A scheme may stand before the host: https is kept (in lower case), http is the default and
        // dropped, so that each server has one spelling.
        {"https host", "<NodeInfo NodeId='a' Host=' https://cdn.example:8443 '/>", "https://cdn.example:8443",
         "/packages/", 1},
        {"https in capitals", "<NodeInfo NodeId='a' Host='HTTPS://Cdn.Example'/>", "https://Cdn.Example",
         "/packages/", 1},
        {"https IPv6", "<NodeInfo NodeId='a' Host='https://[::1]:8443'/>", "https://[::1]:8443", "/packages/",
         1},
        {"http written out", "<NodeInfo NodeId='a' Host='Http://h:81'/>", "h:81", "/packages/", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        StandardNodeListManifest list;
        ASSERT_NO_THROW(list = LoadNodes(List(c.node)));
        ASSERT_EQ(list.GetNodes().size(), 1u);
        const auto& node = *list.GetNodes()[0];
        EXPECT_EQ(node.GetHost(), c.host);
        EXPECT_EQ(node.GetPath(), c.path);
        EXPECT_EQ(node.GetWeight(), c.weight);
        ASSERT_NE(node.GetStatistics(), nullptr);
    }
}

TEST(NodeListManifestTest, KeepsNodeInfoChildrenInOrderAndSkipsOthers) {
    const auto list =
        LoadNodes(List("<Other/><NodeInfo NodeId='a' Host='h1'/><!-- c --><NodeInfo NodeId='b' "
                       "Host='h2'/>text<NodeInfo NodeId='c' Host='h3'/>"));
    ASSERT_EQ(list.GetNodes().size(), 3u);
    EXPECT_EQ(list.GetNodes()[0]->GetNodeId(), "a");
    EXPECT_EQ(list.GetNodes()[1]->GetNodeId(), "b");
    EXPECT_EQ(list.GetNodes()[2]->GetNodeId(), "c");
    EXPECT_NE(list.GetNodes()[0]->GetStatistics(), list.GetNodes()[1]->GetStatistics());
}

TEST(NodeListManifestTest, RefusesInvalidListsWhole) {
    const std::string good = "<NodeInfo NodeId='a' Host='h'/>";
    struct Case {
        const char* label;
        std::string xml;
    };
    const Case cases[] = {
        {"no list", "<Nodes>" + good + "</Nodes>"},
        {"empty list", List("")},
        {"only other children", List("<Node NodeId='a' Host='h'/>")},
        {"one node without host", List(good + "<NodeInfo NodeId='b'/>")},
        {"no node id", List("<NodeInfo Host='h'/>")},
        {"empty node id", List("<NodeInfo NodeId='' Host='h'/>")},
        {"empty host", List("<NodeInfo NodeId='a' Host=''/>")},
        {"blank host", List("<NodeInfo NodeId='a' Host=' \n '/>")},
        {"host with path", List("<NodeInfo NodeId='a' Host='h/x'/>")},
        {"scheme without host", List("<NodeInfo NodeId='a' Host='https://'/>")},
        {"https host with path", List("<NodeInfo NodeId='a' Host='https://h/x'/>")},
        {"https host with port 0", List("<NodeInfo NodeId='a' Host='https://h:0'/>")},
        {"other scheme", List("<NodeInfo NodeId='a' Host='ftp://h'/>")},
        {"scheme with one slash", List("<NodeInfo NodeId='a' Host='https:/h'/>")},
        {"scheme twice", List("<NodeInfo NodeId='a' Host='https://http://h'/>")},
        {"host with space", List("<NodeInfo NodeId='a' Host='h x'/>")},
        {"host with user", List("<NodeInfo NodeId='a' Host='u@h'/>")},
        {"port 0", List("<NodeInfo NodeId='a' Host='h:0'/>")},
        {"port too big", List("<NodeInfo NodeId='a' Host='h:65536'/>")},
        {"empty port", List("<NodeInfo NodeId='a' Host='h:'/>")},
        {"port only", List("<NodeInfo NodeId='a' Host=':80'/>")},
        {"two ports", List("<NodeInfo NodeId='a' Host='h:80:81'/>")},
        {"unclosed IPv6", List("<NodeInfo NodeId='a' Host='[::1:80'/>")},
        {"IPv6 without brackets", List("<NodeInfo NodeId='a' Host='::1'/>")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_THROW(LoadNodes(c.xml), ManifestParseException);
    }
    // A failed load keeps what was there.
    StandardNodeListManifest list = LoadNodes(List(good));
    ptree bad;
    ReadManifestXml(List(good + "<NodeInfo NodeId='b'/>"), bad);
    EXPECT_THROW(list.Load(bad), ManifestParseException);
    EXPECT_EQ(list.GetNodes().size(), 1u);
}

TEST(NodeListManifestTest, MoreNodesThanTheLimitAreRefusedWhole) {
    struct Case {
        int nodes;
        int others;  // children other than NodeInfo, which do not count
        std::size_t limit;
        bool loads;
    };
    for (const Case& c :
         {Case{3, 0, 3, true}, Case{4, 0, 3, false}, Case{3, 5, 3, true}, Case{4, 0, 0, true}}) {
        SCOPED_TRACE(std::to_string(c.nodes) + " nodes, limit " + std::to_string(c.limit));
        std::string children;
        for (int i = 0; i < c.nodes; ++i) {
            children += "<NodeInfo><NodeId>n" + std::to_string(i) + "</NodeId><Host>h" + std::to_string(i) +
                        "</Host></NodeInfo>";
        }
        for (int i = 0; i < c.others; ++i) {
            children += "<Other/>";
        }
        ptree tree;
        ReadManifestXml(List(children), tree);
        StandardNodeListManifest list(c.limit);
        list.Load(LoadTree(List(Node(""))));
        if (c.loads) {
            list.Load(tree);
            EXPECT_EQ(list.GetNodes().size(), static_cast<std::size_t>(c.nodes));
            continue;
        }
        try {
            list.Load(tree);
            ADD_FAILURE() << "loaded";
        } catch (const ManifestSizeException& refused) {
            EXPECT_STREQ(refused.what(), "the node list names 4 nodes, more than the 3 the updater accepts");
        }
        EXPECT_EQ(list.GetNodes().size(), 1u);  // the list it held before
    }
}

TEST(NodeListManifestTest, WithStatisticsCopiesTheNodeAndLeavesTheSourceAlone) {
    const auto list = LoadNodes(List("<NodeInfo NodeId='a' Host='h:81' Path='p' Weight='3'/>"));
    const auto source = list.GetNodes()[0];
    const auto original = source->GetStatistics();
    const auto statistics = std::make_shared<NodeStatistics>();
    const auto copy = source->WithStatistics(statistics);
    EXPECT_NE(copy, source);
    EXPECT_EQ(copy->GetStatistics(), statistics);
    EXPECT_EQ(source->GetStatistics(), original);
    EXPECT_EQ(copy->GetNodeId(), "a");
    EXPECT_EQ(copy->GetHost(), "h:81");
    EXPECT_EQ(copy->GetPath(), "/p/");
    EXPECT_EQ(copy->GetWeight(), 3u);
}

TEST(NodeListManifestTest, SavesHostUnderNodeThenTheStatistics) {
    const auto list = LoadNodes(List("<NodeInfo NodeId='id-1' Host='h:81' Weight='3'/>"));
    const auto node = list.GetNodes()[0];
    node->GetStatistics()->Update(2000, 1000, false);
    ptree tree;
    node->Save(tree);
    std::vector<std::pair<std::string, std::string>> entries;
    for (const auto& child : tree) {
        entries.emplace_back(child.first, child.second.data());
    }
    EXPECT_EQ(entries, (std::vector<std::pair<std::string, std::string>>{{"Node", "h:81"},
                                                                         {"Path", "/packages/"},
                                                                         {"Weight", "3"},
                                                                         {"Requests", "1"},
                                                                         {"Errors", "0"},
                                                                         {"Bytes", "2000"},
                                                                         {"Average Request Speed", "2000"}}));
}

TEST(NodeListManifestTest, LoadsTheSampleDocumentsOfTheFuzzCorpus) {
    const auto elements =
        LoadNodes(test::ReadFileText(test::SourceDir() + "/tests/fuzz/corpus/node_list/elements.xml"));
    ASSERT_EQ(elements.GetNodes().size(), 2u);
    EXPECT_EQ(elements.GetNodes()[0]->GetWeight(), 10u);
    EXPECT_EQ(elements.GetNodes()[1]->GetHost(), "CDN2.example");
    EXPECT_EQ(elements.GetNodes()[1]->GetPath(), "/files/");

    const auto attributes =
        LoadNodes(test::ReadFileText(test::SourceDir() + "/tests/fuzz/corpus/node_list/attributes.xml"));
    ASSERT_EQ(attributes.GetNodes().size(), 2u);
    EXPECT_EQ(attributes.GetNodes()[0]->GetWeight(), 1u);
    EXPECT_EQ(attributes.GetNodes()[1]->GetPath(), "/");
}

}  // namespace
}  // namespace halcyne
