#include "events/JsonText.hpp"

#include <charconv>

namespace halcyne {

namespace {

using boost::property_tree::ptree;

bool Verify(const ptree& node) {
    if (!node.empty() && !node.data().empty()) {
        return false;
    }
    for (const auto& child : node) {
        if (!Verify(child.second)) {
            return false;
        }
    }
    return true;
}

void WriteNode(std::string& out, const ptree& node, bool root) {
    if (!root && node.empty()) {
        const std::string& data = node.data();
        if (data == JsonEmptyObjectMarker) {
            out += "{}";
        } else if (data == JsonEmptyArrayMarker) {
            out += "[]";
        } else {
            out += '"';
            AppendJsonEscaped(out, data);
            out += '"';
        }
        return;
    }
    bool array = true;
    for (const auto& child : node) {
        if (!child.first.empty()) {
            array = false;
            break;
        }
    }
    out += array ? '[' : '{';
    bool first = true;
    for (const auto& [key, child] : node) {
        if (!first) {
            out += ',';
        }
        first = false;
        if (!array) {
            out += '"';
            AppendJsonEscaped(out, key);
            out += "\":";
        }
        WriteNode(out, child, false);
    }
    out += array ? ']' : '}';
}

}  // namespace

void AppendJsonEscaped(std::string& out, const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (byte) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '/':
                out += "\\/";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (byte < 0x20 || byte >= 0x80) {
                    out += "\\u00";
                    out += hex[byte >> 4];
                    out += hex[byte & 0x0F];
                } else {
                    out += c;
                }
        }
    }
}

std::string WriteJsonText(const ptree& tree) {
    if (!tree.data().empty() || !Verify(tree)) {
        throw JsonTextError();
    }
    std::string out;
    WriteNode(out, tree, true);
    out += '\n';
    return out;
}

std::string FormatJsonDouble(double value) {
    // to_chars does not depend on the C locale, which a process may have changed.
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 16);
    return std::string(buffer, result.ptr);
}

}  // namespace halcyne
