#include <random>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "events/JsonText.hpp"

namespace halcyne {
namespace {

using boost::property_tree::ptree;

ptree Leaf(const std::string& data) {
    return ptree(data);
}

TEST(JsonTextTest, WritesTreesByteForByte) {
    ptree event;
    event.put("pid", "P");
    event.put("pkgid", "K");
    event.put("vid", "?");
    event.put("metrics.numStarts", "1");
    event.add_child("dimensions", Leaf(JsonEmptyObjectMarker));

    ptree arrayOfTwo;
    arrayOfTwo.push_back({"", Leaf("a")});
    arrayOfTwo.push_back({"", event.get_child("metrics")});

    ptree repeated;
    repeated.add("k", "1");
    repeated.add("k", "2");
    repeated.push_back({"", Leaf("3")});  // mixed keys: an object, the empty key written as ""

    ptree markerKeys;  // the markers are only special as data
    markerKeys.add(ptree::path_type(JsonEmptyObjectMarker, '\0'), "x");
    markerKeys.add_child("deep.er", ptree());

    ptree markersInArray;
    markersInArray.push_back({"", Leaf(JsonEmptyArrayMarker)});
    markersInArray.push_back({"", Leaf(JsonEmptyObjectMarker)});
    markersInArray.push_back({"", ptree()});

    ptree markers;
    markers.add_child("o", Leaf(JsonEmptyObjectMarker));
    markers.add_child("a", Leaf(JsonEmptyArrayMarker));
    markers.add("e", "");
    markers.add_child("nested", ptree());  // a child without children or data is an empty string

    struct Case {
        const char* label;
        ptree tree;
        std::string expected;
    };
    const Case cases[] = {
        {"event", event,
         R"({"pid":"P","pkgid":"K","vid":"?","metrics":{"numStarts":"1"},"dimensions":{}})"
         "\n"},
        {"empty root", ptree(), "[]\n"},
        {"root array", arrayOfTwo,
         R"(["a",{"numStarts":"1"}])"
         "\n"},
        {"repeated and empty keys", repeated,
         R"({"k":"1","k":"2","":"3"})"
         "\n"},
        {"marker as a key, nested empty node", markerKeys,
         R"({"boost::property_tree::json_parser::empty_object":"x","deep":{"er":""}})"
         "\n"},
        {"markers in a root array", markersInArray, "[[],{},\"\"]\n"},
        {"markers", markers,
         R"({"o":{},"a":[],"e":"","nested":""})"
         "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(WriteJsonText(c.tree), c.expected);
    }
}

TEST(JsonTextTest, EscapesEveryByteOnItsOwn) {
    struct Case {
        std::string raw;
        std::string escaped;
    };
    const Case cases[] = {
        {"tab\there \"q\"", R"(tab\u0009here \"q\")"},
        {"back\\slash/slash", R"(back\\slash\/slash)"},
        {"\b\f\n\r", R"(\b\f\n\r)"},
        {std::string("nul\0x", 5), R"(nul\u0000x)"},
        {"\x01\x1F\x7F", "\\u0001\\u001F\x7F"},  // DEL is copied
        {"\xC3\xA9", R"(\u00C3\u00A9)"},         // é, byte by byte
        {"\xE2\x82\xAC", R"(\u00E2\u0082\u00AC)"},
        {"\xF0\x9F\x94\xA5", R"(\u00F0\u009F\u0094\u00A5)"},
        {"\xFF", R"(\u00FF)"},  // not UTF-8 at all: still written
    };
    for (const Case& c : cases) {
        ptree tree;
        tree.push_back({"k" + c.raw, Leaf(c.raw)});
        EXPECT_EQ(WriteJsonText(tree), "{\"k" + c.escaped + "\":\"" + c.escaped + "\"}\n");
    }
}

TEST(JsonTextTest, RefusesTreesJsonCannotHold) {
    ptree rootData("x");
    ptree both;
    both.put("a", "1");
    both.get_child("a").put("b", "2");  // "a" now has data and a child
    ptree deep;
    deep.add_child("x.y", both);
    ptree rootMarker(JsonEmptyObjectMarker);  // even a marker is data of the root
    for (const ptree* tree : {&rootData, &both, &deep, &rootMarker}) {
        EXPECT_THROW(WriteJsonText(*tree), JsonTextError);
    }
    try {
        WriteJsonText(rootData);
    } catch (const JsonTextError& e) {
        EXPECT_STREQ(e.what(), "ptree contains data that cannot be represented in JSON format");
    }
}

TEST(JsonTextTest, DoublesHave16SignificantDigits) {
    const std::pair<double, const char*> cases[] = {
        {2.5, "2.5"}, {0.25, "0.25"},         {12.345, "12.345"},           {1.0 / 3.0, "0.3333333333333333"},
        {0.0, "0"},   {1048.576, "1048.576"}, {4294967.295, "4294967.295"},
    };
    for (const auto& [value, text] : cases) {
        EXPECT_EQ(FormatJsonDouble(value), text);
    }
}

// Every byte is escaped on its own, so a standard parser reads byte b as the character U+00b: the string it
// gives back is the UTF-8 form of the bytes taken as Latin-1.
std::string BytesAsLatin1(const std::string& bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (b >> 6));
            out += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return out;
}

// What an independent parser must read back from the written form of `node`.
nlohmann::ordered_json Expected(const ptree& node, bool root) {
    if (!root && node.empty()) {
        if (node.data() == JsonEmptyObjectMarker) {
            return nlohmann::ordered_json::object();
        }
        if (node.data() == JsonEmptyArrayMarker) {
            return nlohmann::ordered_json::array();
        }
        return BytesAsLatin1(node.data());
    }
    bool array = true;
    for (const auto& child : node) {
        array = array && child.first.empty();
    }
    auto out = array ? nlohmann::ordered_json::array() : nlohmann::ordered_json::object();
    for (const auto& [key, child] : node) {
        if (array) {
            out.push_back(Expected(child, false));
        } else {
            out[BytesAsLatin1(key)] = Expected(child, false);  // the random keys are unique
        }
    }
    return out;
}

std::string Latin1AsBytes(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += text[i];
        } else {
            out += static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(text[++i]) & 0x3F));
        }
    }
    return out;
}

// The tree that a parsed document stands for: the inverse of Expected.
ptree FromJson(const nlohmann::ordered_json& json, bool root) {
    if (json.is_string()) {
        return ptree(Latin1AsBytes(json.get<std::string>()));
    }
    if (json.empty() && !root) {
        return ptree(json.is_object() ? JsonEmptyObjectMarker : JsonEmptyArrayMarker);
    }
    ptree node;
    for (auto it = json.begin(); it != json.end(); ++it) {
        node.push_back({json.is_object() ? Latin1AsBytes(it.key()) : std::string(), FromJson(*it, false)});
    }
    return node;
}

TEST(JsonTextTest, RandomTreesReadBackByAnIndependentParser) {
    std::mt19937 random(20261210);
    const auto text = [&] {
        // Valid UTF-8 only, so that the parser can hand the strings back: ASCII with controls, and 2- to
        // 4-byte characters.
        static const std::vector<std::string> pieces = {"a",  "\"",       "\\",           "/",
                                                        "\t", "\n",       "\x01",         "\x7F",
                                                        " ",  "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x94\xA5",
                                                        "z"};
        std::string s;
        for (int n = static_cast<int>(random() % 6); n > 0; --n)
            s += pieces[random() % pieces.size()];
        return s;
    };
    std::function<ptree(int)> build = [&](int depth) {
        ptree node;
        const bool array = random() % 3 == 0;
        const int children = depth == 0 ? 0 : static_cast<int>(random() % 4);
        for (int i = 0; i < children; ++i) {
            const std::string key = array ? std::string() : "k" + std::to_string(i) + text();
            const unsigned kind = random() % 8;
            node.push_back({key, kind < 4 ? build(depth - 1)
                                 : kind < 6
                                     ? ptree(text())
                                     : ptree(kind == 6 ? JsonEmptyObjectMarker : JsonEmptyArrayMarker)});
        }
        return node;
    };
    for (int round = 0; round < 300; ++round) {
        const ptree tree = build(4);
        const std::string written = WriteJsonText(tree);
        ASSERT_EQ(written.back(), '\n');
        ASSERT_EQ(written.find('\n'), written.size() - 1);
        for (const char c : written.substr(0, written.size() - 1)) {
            ASSERT_TRUE(static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x80);
        }
        const auto parsed = nlohmann::ordered_json::parse(written);
        EXPECT_EQ(parsed, Expected(tree, true)) << written;
        // What the parser read, made into a tree again, is written as the same bytes.
        EXPECT_EQ(WriteJsonText(FromJson(parsed, true)), written);
    }
}

}  // namespace
}  // namespace halcyne
