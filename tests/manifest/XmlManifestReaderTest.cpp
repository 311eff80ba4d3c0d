#include <sstream>
#include <string>
#include <vector>

#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "manifest/ManifestException.hpp"
#include "manifest/XmlManifestReader.hpp"

namespace halcyne {
namespace {

using boost::property_tree::ptree;

std::vector<std::string> Keys(const ptree& tree) {
    std::vector<std::string> keys;
    for (const auto& child : tree) {
        keys.push_back(child.first);
    }
    return keys;
}

TEST(XmlManifestReaderTest, PromotesAttributesAfterChildrenAtEveryLevel) {
    ptree tree;
    ReadManifestXml("<root a='1' b='2'><b>child</b><inner c='3'/><!-- note --></root>", tree);
    const ptree& root = tree.get_child("root");
    EXPECT_EQ(Keys(root), (std::vector<std::string>{"<xmlattr>", "b", "inner", "<xmlcomment>", "a", "b"}));
    EXPECT_EQ(root.get<std::string>("a"), "1");
    EXPECT_EQ(root.get<std::string>("b"), "child");  // the child element is found first
    EXPECT_EQ(root.get<std::string>("inner.c"), "3");
    EXPECT_EQ(root.get<std::string>("<xmlattr>.a"), "1");
    // A dotted attribute name is a path, as add_child reads it.
    ReadManifestXml("<r x.y='z'/>", tree);
    EXPECT_EQ(tree.get<std::string>("r.x.y"), "z");
}

TEST(XmlManifestReaderTest, KeepsTextAsWrittenAndReadsStreams) {
    std::istringstream stream("<r><t>  spaced \n</t></r>");
    ptree tree;
    ReadManifestXml(stream, tree);
    EXPECT_EQ(tree.get<std::string>("r.t"), "  spaced \n");
}

TEST(XmlManifestReaderTest, RefusesWhatIsNotAWellFormedShallowDocument) {
    std::string deep;
    for (std::size_t i = 0; i <= MaxManifestXmlDepth; ++i) {
        deep += "<a>";
    }
    for (std::size_t i = 0; i <= MaxManifestXmlDepth; ++i) {
        deep += "</a>";
    }
    std::string atLimit;
    for (std::size_t i = 0; i < MaxManifestXmlDepth; ++i) {
        atLimit += "<a q='>'>";
    }
    std::string deepPath = "<r a";
    for (std::size_t i = 0; i <= MaxManifestXmlDepth; ++i) {
        deepPath += ".a";
    }
    deepPath += "='1'/>";
    struct Case {
        const char* label;
        std::string text;
    };
    const Case cases[] = {
        {"not XML", "{\"package\": 1}"},
        {"unclosed", "<package><id>x</id>"},
        {"mismatched quotes", "<package id='x\"/>"},
        {"deeper than the limit", deep},
        {"attribute path deeper than the limit", deepPath},
        {"unclosed at the limit", atLimit},
        {"NUL in the middle", std::string("<a>\0</a>", 8)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ptree tree;
        tree.put("kept", "yes");
        EXPECT_THROW(ReadManifestXml(c.text, tree), ManifestParseException);
        EXPECT_EQ(tree.get<std::string>("kept"), "yes");
    }

    // Nesting up to the limit reads, whatever comments, CDATA and quoted '>' stand between the tags.
    std::string deepest = "<?xml version='1.0'?><!DOCTYPE a [<!ENTITY e 'x'>]>";
    for (std::size_t i = 0; i < MaxManifestXmlDepth; ++i) {
        deepest += "<a q='>'><!-- <b> --><![CDATA[<c>]]><d/>";
    }
    for (std::size_t i = 0; i < MaxManifestXmlDepth; ++i) {
        deepest += "</a>";
    }
    ptree tree;
    EXPECT_NO_THROW(ReadManifestXml(deepest, tree));
}

}  // namespace
}  // namespace halcyne
