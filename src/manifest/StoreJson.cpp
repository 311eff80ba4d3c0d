#include "manifest/StoreJson.hpp"

#include <sstream>

#include <boost/property_tree/json_parser.hpp>

#include "common/Utf8.hpp"

namespace halcyne {

namespace {

using boost::property_tree::ptree;

void AppendUnit(std::string& out, std::uint32_t unit) {
    static const char hex[] = "0123456789ABCDEF";
    out += "\\u";
    out += hex[(unit >> 12) & 0xF];
    out += hex[(unit >> 8) & 0xF];
    out += hex[(unit >> 4) & 0xF];
    out += hex[unit & 0xF];
}

void AppendEscaped(std::string& out, const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t start = i;
        const std::int32_t point = DecodeUtf8(text, i);
        if (point < 0) {
            throw StoreJsonError("text is not valid UTF-8");
        }
        switch (point) {
            case '"':
                out += "\\\"";
                continue;
            case '/':
                out += "\\/";
                continue;
            case '\\':
                out += "\\\\";
                continue;
            case '\b':
                out += "\\b";
                continue;
            case '\f':
                out += "\\f";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case '\r':
                out += "\\r";
                continue;
            default:
                break;
        }
        if (point >= 0x20 && point <= 0xFF) {
            out.append(text, start, i - start);  // the character as it stands, in UTF-8
        } else if (point >= 0x10000) {
            const std::uint32_t v = static_cast<std::uint32_t>(point) - 0x10000;
            AppendUnit(out, 0xD800 + (v >> 10));
            AppendUnit(out, 0xDC00 + (v & 0x3FF));
        } else {
            AppendUnit(out, static_cast<std::uint32_t>(point));
        }
    }
}

bool Representable(const ptree& node) {
    if (!node.empty() && !node.data().empty()) {
        return false;
    }
    for (const auto& child : node) {
        if (!Representable(child.second)) {
            return false;
        }
    }
    return true;
}

void WriteNode(std::string& out, const ptree& node, bool root) {
    if (!root && node.empty()) {
        out += '"';
        AppendEscaped(out, node.data());
        out += '"';
        return;
    }
    const bool array = !root && node.count(std::string()) == node.size();
    out += array ? '[' : '{';
    bool first = true;
    for (const auto& [key, child] : node) {
        if (!first) {
            out += ',';
        }
        first = false;
        if (!array) {
            out += '"';
            AppendEscaped(out, key);
            out += "\":";
        }
        WriteNode(out, child, false);
    }
    out += array ? ']' : '}';
}

}  // namespace

std::string WriteStoreJson(const ptree& tree) {
    if (!tree.data().empty() || !Representable(tree)) {
        throw StoreJsonError("ptree contains data that cannot be represented in JSON format");
    }
    std::string out;
    WriteNode(out, tree, true);
    out += '\n';
    return out;
}

bool JsonNestingWithin(std::string_view text, std::size_t maxDepth) {
    std::size_t depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;  // the escaped character, a quote above all, does not end the string
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > maxDepth) {
                return false;
            }
        } else if ((c == '}' || c == ']') && depth > 0) {
            --depth;
        }
    }
    return true;
}

ptree ReadStoreJson(std::string_view text, std::size_t maxDepth) {
    // The JSON reader copies invalid UTF-8 through unchanged; refuse it before reading.
    if (!IsValidUtf8(text)) {
        throw StoreJsonError("text is not valid UTF-8");
    }
    if (!JsonNestingWithin(text, maxDepth)) {
        throw StoreJsonError("objects and arrays nest deeper than " + std::to_string(maxDepth) + " levels");
    }
    std::istringstream stream{std::string(text)};
    ptree tree;
    try {
        boost::property_tree::read_json(stream, tree);
    } catch (const boost::property_tree::json_parser_error& e) {
        throw StoreJsonError(e.what());
    }
    return tree;
}

}  // namespace halcyne
