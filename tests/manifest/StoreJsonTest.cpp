#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "manifest/StoreJson.hpp"

namespace halcyne {
namespace {

using boost::property_tree::ptree;

ptree Manifest(const std::string& destPath) {
    ptree tree;
    tree.put("transferId", "0123456789abcdef0123456789abcdef");
    tree.put("partnerId", "P");
    tree.put("packageId", "K");
    tree.put("versionId", "?");
    tree.put("destPath", destPath);
    return tree;
}

TEST(StoreJsonTest, WritesByUtf16UnitAndReadsBackUnchanged) {
    struct Case {
        const char* label;
        std::string value;
        std::string written;
    };
    const Case cases[] = {
        {"plain path", "/home/a/Games/Emberline", R"(\/home\/a\/Games\/Emberline)"},
        {"quote and backslash", "C:\\Games \"x\"", R"(C:\\Games \"x\")"},
        {"named controls", "\b\f\n\r", R"(\b\f\n\r)"},
        {"tab and other controls", std::string("\t\x01\x1F\0", 4), R"(\u0009\u0001\u001F\u0000)"},
        {"ASCII punctuation", "!#$%&'()*+,-.:;<=>?@[]^_`{|}~\x7F", "!#$%&'()*+,-.:;<=>?@[]^_`{|}~\x7F"},
        {"U+0080 and U+00FF stand as themselves", "\xC2\x80\xC3\xBF", "\xC2\x80\xC3\xBF"},
        {"U+0100 and U+FFFF escaped", "\xC4\x80\xEF\xBF\xBF", R"(\u0100\uFFFF)"},
        {"U+20AC", "\xE2\x82\xAC", R"(\u20AC)"},
        {"beyond U+FFFF as a surrogate pair", "\xF0\x9F\x94\xA5", R"(\uD83D\uDD25)"},
        {"U+10FFFF", "\xF4\x8F\xBF\xBF", R"(\uDBFF\uDFFF)"},
        {"long path", std::string(9000, 'p'), std::string(9000, 'p')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string text = WriteStoreJson(Manifest(c.value));
        EXPECT_EQ(text, R"({"transferId":"0123456789abcdef0123456789abcdef","partnerId":"P","packageId":"K",)"
                        R"("versionId":"?","destPath":")" +
                            c.written + "\"}\n");
        EXPECT_EQ(ReadStoreJson(text, 1).get<std::string>("destPath"), c.value);
        EXPECT_EQ(nlohmann::json::parse(text).at("destPath").get<std::string>(), c.value);
    }
}

TEST(StoreJsonTest, RefusesWhatItCannotWriteFaithfully) {
    ptree rootData("x");
    ptree both;
    both.put("a", "1");
    both.get_child("a").put("b", "2");
    const ptree badValue = Manifest("bad \xFF byte");
    ptree badKey;
    badKey.put(ptree::path_type("k\xC0\xAF", '\x01'), "v");
    for (const ptree* tree : std::initializer_list<const ptree*>{&rootData, &both, &badValue, &badKey}) {
        EXPECT_THROW(WriteStoreJson(*tree), StoreJsonError);
    }
    EXPECT_EQ(WriteStoreJson(ptree()), "{}\n");
}

TEST(StoreJsonTest, ReadsAnyJsonObjectInValidUtf8) {
    struct Case {
        const char* label;
        std::string text;
        bool valid;
        std::string destPath;
    };
    const Case cases[] = {
        {"other layout, order, extra members",
         "{\n  \"extra\": [1, {\"a\": true}],\n  \"destPath\" : \"\\/d\\u00e9\\t\" ,\"transferId\":\"t\"}",
         true, "/d\xC3\xA9\t"},
        {"number as text", R"({"destPath": 12.5})", true, "12.5"},
        {"surrogate pair", R"({"destPath":"\uD83D\uDD25"})", true, "\xF0\x9F\x94\xA5"},
        {"raw UTF-8", "{\"destPath\":\"\xE2\x82\xAC\"}", true, "\xE2\x82\xAC"},
        {"invalid UTF-8", "{\"destPath\":\"\xC3\x28\"}", false, ""},
        {"overlong slash", "{\"destPath\":\"\xC0\xAF\"}", false, ""},
        {"lone high surrogate", R"({"destPath":"\uD83Dx"})", false, ""},
        {"lone low surrogate", R"({"destPath":"\uDD25"})", false, ""},
        {"truncated", R"({"destPath":"abc)", false, ""},
        {"empty", "", false, ""},
        {"not JSON", "destPath=x", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.valid) {
            EXPECT_EQ(ReadStoreJson(c.text, 3).get<std::string>("destPath"), c.destPath);
        } else {
            EXPECT_THROW(ReadStoreJson(c.text, 3), StoreJsonError);
        }
    }
}

TEST(StoreJsonTest, RefusesNestingDeeperThanAllowedBeforeParsing) {
    const std::string deep(50000, '[');
    struct Case {
        const char* label;
        std::string text;
        std::size_t maxDepth;
        bool read;
    };
    const Case cases[] = {
        {"a flat object at depth 1", R"({"destPath":"\/d","n":1})", 1, true},
        {"an object in it at depth 1", R"({"destPath":"\/d","x":{"a":"b"}})", 1, false},
        {"the same at depth 2", R"({"destPath":"\/d","x":{"a":"b"}})", 2, true},
        {"an array in it at depth 1", R"({"destPath":"\/d","x":[]})", 1, false},
        {"brackets and an escaped quote inside a string", R"({"destPath":"[[{{\"[{"})", 1, true},
        {"an escaped backslash ends the string", R"({"destPath":"\\","x":[1]})", 1, false},
        {"siblings do not add up", R"({"a":{},"b":[],"destPath":"d"})", 2, true},
        {"50,000 levels", deep, 64, false},
        {"50,000 levels in a member", R"({"destPath":"d","x":)" + deep, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.read) {
            EXPECT_NO_THROW(ReadStoreJson(c.text, c.maxDepth));
        } else {
            EXPECT_THROW(ReadStoreJson(c.text, c.maxDepth), StoreJsonError);
        }
    }
}

}  // namespace
}  // namespace halcyne
