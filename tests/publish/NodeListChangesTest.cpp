// A partner's node list changes only as asked: replaced only on purpose, single nodes added and removed in
// place, and every change that would leave players without a usable list refused, naming the culprit.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "NodeListChanges.hpp"

namespace halcyne::publish {
namespace {

// "id host path" per node, for comparing lists.
std::vector<std::string> Lines(const std::vector<NodeInfo>& nodes) {
    std::vector<std::string> lines;
    for (const NodeInfo& node : nodes) {
        lines.push_back(node.nodeId + " " + node.host + " " + node.path);
    }
    return lines;
}

TEST(NodeListChangesTest, ChangesApplyAsAskedOrAreRefusedNamingTheCulprit) {
    const NodeListState none;
    NodeListState two;
    two.exists = true;
    two.nodes = {{"node1", "127.0.0.1:81", "/packages/", 1}, {"cdn", "https://cdn.example:443", "/p/", 3}};
    NodeListState broken;
    broken.exists = true;
    broken.unreadable = "the engine refuses the node list";
    const NodeInfo a{"a", "h:1", "/packages/", 1};
    const NodeInfo unnamed{"", "h:2", "/packages/", 1};
    struct Case {
        const char* label;
        const NodeListState& current;
        NodeChanges changes;
        std::vector<std::string> result;  // empty: refused
        std::string refusal;
    };
    const Case cases[] = {
        {"a first list", none, {.replacement = {a}}, {"a h:1 /packages/"}, ""},
        {"a list in place is not replaced by mistake",
         two,
         {.replacement = {a}},
         {},
         "partner P has a node list already (node1, cdn): --node replaces it only with --replace-nodes"},
        {"replaced on purpose", two, {.replacement = {a}, .replace = true}, {"a h:1 /packages/"}, ""},
        {"an unreadable list replaced",
         broken,
         {.replacement = {a}, .replace = true},
         {"a h:1 /packages/"},
         ""},
        {"added with the first free id",
         two,
         {.added = {unnamed, NodeInfo{"", "h:3"}}},
         {"node1 127.0.0.1:81 /packages/", "cdn https://cdn.example:443 /p/", "node2 h:2 /packages/",
          "node3 h:3 /packages/"},
         ""},
        {"removed by id and by host, in any case",
         two,
         {.added = {a}, .removed = {"node1", "HTTPS://CDN.example:443"}},
         {"a h:1 /packages/"},
         ""},
        {"an id taken",
         two,
         {.added = {{"cdn", "h:9", "/packages/", 1}}},
         {},
         "--add-node: node id cdn is in the node list of partner P already"},
        {"a node there already",
         two,
         {.added = {{"x", "127.0.0.1:81", "/packages/", 1}}},
         {},
         "--add-node: 127.0.0.1:81/packages/ is in the node list of partner P already, as node node1"},
        {"an unknown node",
         two,
         {.removed = {"node9"}},
         {},
         "--remove-node node9: no such node id or host in the node list of partner P (node1, cdn)"},
        {"the last node",
         two,
         {.removed = {"node1", "cdn"}},
         {},
         "the node list of partner P would be left without nodes"},
        {"no list to change",
         none,
         {.added = {a}},
         {},
         "partner P has no node list to change: write one with --node"},
        {"an unreadable list to change",
         broken,
         {.removed = {"x"}},
         {},
         "cannot change the node list of partner P: the engine refuses the node list"},
        {"one id twice", none, {.replacement = {a, a}}, {}, "node id a is given twice"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        try {
            const auto result = ApplyNodeChanges("P", c.current, c.changes);
            EXPECT_EQ(Lines(result), c.result);
            EXPECT_EQ(c.refusal, "");
        } catch (const PublishError& error) {
            EXPECT_THAT(error.what(), ::testing::HasSubstr(c.refusal));
            EXPECT_TRUE(c.result.empty()) << error.what();
        }
    }
}

// A host that serves several nodes of the list names none of them: the id must be given.
TEST(NodeListChangesTest, AHostOfSeveralNodesIsNotEnoughToRemoveOne) {
    NodeListState list;
    list.exists = true;
    list.nodes = {{"a", "h:1", "/one/", 1}, {"b", "h:1", "/two/", 1}, {"c", "h:2", "/packages/", 1}};
    EXPECT_THROW(ApplyNodeChanges("P", list, {.removed = {"h:1"}}), PublishError);
    EXPECT_EQ(Lines(ApplyNodeChanges("P", list, {.removed = {"b"}})),
              (std::vector<std::string>{"a h:1 /one/", "c h:2 /packages/"}));
}

TEST(NodeListChangesTest, AListReadBackKeepsEveryNodeAndIsShownOneLineEach) {
    const std::vector<NodeInfo> nodes = {{"n1", "127.0.0.1:81", "/packages/", 1},
                                         {"cdn", "https://cdn.example:8443", "/files/", 5}};
    NodeListState state;
    state.exists = true;
    state.nodes = ReadNodeListXml(NodeListXml(nodes, "P"));
    EXPECT_EQ(Lines(state.nodes), Lines(nodes));
    EXPECT_EQ(state.nodes[1].weight, 5u);
    EXPECT_EQ(FormatNodes(state),
              "  n1 127.0.0.1:81 /packages/\n  cdn https://cdn.example:8443 /files/ weight 5\n");
    EXPECT_EQ(FormatNodes(NodeListState{}), "  (no node list)\n");
    EXPECT_THROW(ReadNodeListXml("<ArrayOfNodeInfo><NodeInfo><Host>h:0</Host></NodeInfo></ArrayOfNodeInfo>"),
                 PublishError);
}

}  // namespace
}  // namespace halcyne::publish
