#include "manifest/XmlManifestReader.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>
#include <string>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include "manifest/ManifestException.hpp"

namespace halcyne {

namespace {

using boost::property_tree::ptree;

const std::string AttributesKey = "<xmlattr>";

// The deepest element nesting of an XML text, counted the way the parser nests elements: start tags open
// a level, end tags close one, empty-element tags, comments, CDATA sections, processing instructions and
// declarations leave it. Quoted attribute values may hold '>'. The count only guards the parser's
// recursion: for a text that is not well-formed it may be too high, never too low for what the parser
// would build before it fails.
std::size_t NestingDepth(std::string_view text) {
    std::size_t depth = 0;
    std::size_t deepest = 0;
    std::size_t i = 0;
    const std::size_t n = text.size();
    auto skipPast = [&](std::size_t from, std::string_view end) {
        const auto at = text.find(end, from);
        return at == std::string_view::npos ? n : at + end.size();
    };
    while (i < n) {
        if (text[i] != '<') {
            ++i;
            continue;
        }
        const std::string_view rest = text.substr(i);
        if (rest.starts_with("<!--")) {
            i = skipPast(i + 4, "-->");
        } else if (rest.starts_with("<![CDATA[")) {
            i = skipPast(i + 9, "]]>");
        } else if (rest.starts_with("<?")) {
            i = skipPast(i + 2, "?>");
        } else if (rest.starts_with("<!")) {
            // A declaration; a document type may hold an internal subset in brackets.
            int brackets = 0;
            std::size_t j = i + 2;
            for (; j < n; ++j) {
                if (text[j] == '[') {
                    ++brackets;
                } else if (text[j] == ']') {
                    --brackets;
                } else if (text[j] == '>' && brackets <= 0) {
                    break;
                }
            }
            i = j + 1;
        } else if (rest.starts_with("</")) {
            depth = depth == 0 ? 0 : depth - 1;
            i = skipPast(i + 2, ">");
        } else {
            char quote = 0;
            std::size_t j = i + 1;
            for (; j < n; ++j) {
                const char c = text[j];
                if (quote != 0) {
                    if (c == quote) {
                        quote = 0;
                    }
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    break;
                }
            }
            if (j >= n || text[j - 1] != '/') {
                deepest = std::max(deepest, ++depth);
            }
            i = j + 1;
        }
    }
    return deepest;
}

namespace rapidxml = boost::property_tree::detail::rapidxml;
using XmlNode = rapidxml::xml_node<char>;

bool IsElement(const XmlNode* node, const char* name) {
    return node->type() == rapidxml::node_element && std::strcmp(node->name(), name) == 0;
}

// The element's own entry in `parent` with its attributes, as read_xml_node makes them; the children are
// left to the caller.
ptree& AddElement(const XmlNode* node, ptree& parent) {
    ptree& element = parent.push_back(std::make_pair(node->name(), ptree()))->second;
    if (node->first_attribute()) {
        ptree& attributes = element.push_back(std::make_pair(AttributesKey, ptree()))->second;
        for (auto* attribute = node->first_attribute(); attribute; attribute = attribute->next_attribute()) {
            ptree& entry = attributes.push_back(std::make_pair(attribute->name(), ptree()))->second;
            entry.data() = std::string(attribute->value(), attribute->value_size());
        }
    }
    return element;
}

void Promote(ptree& node, std::size_t depth);

// The first "files" element of the package: its "file" children go to the sink one by one, each built as
// the tree would hold it at depth 3 (root, package, files, file) and promoted there.
void ReadFiles(XmlNode* node, ptree& package, const ManifestFileSink& onFile) {
    ptree& files = AddElement(node, package);
    for (XmlNode* child = node->first_node(); child != nullptr; child = child->next_sibling()) {
        if (!IsElement(child, "file")) {
            boost::property_tree::xml_parser::read_xml_node(child, files, 0);
            continue;
        }
        ptree holder;
        boost::property_tree::xml_parser::read_xml_node(child, holder, 0);
        Promote(holder, 2);
        onFile(holder.front().second);
    }
}

// The first top-level "package" element, with its first "files" element read by ReadFiles.
void ReadPackage(XmlNode* node, ptree& root, const ManifestFileSink& onFile) {
    ptree& package = AddElement(node, root);
    bool filesSeen = false;
    for (XmlNode* child = node->first_node(); child != nullptr; child = child->next_sibling()) {
        if (!filesSeen && IsElement(child, "files")) {
            filesSeen = true;
            ReadFiles(child, package, onFile);
        } else {
            boost::property_tree::xml_parser::read_xml_node(child, package, 0);
        }
    }
}

void Promote(ptree& node, std::size_t depth) {
    for (auto& child : node) {
        if (child.first != AttributesKey) {
            Promote(child.second, depth + 1);
        }
    }
    const auto attributes = node.find(AttributesKey);
    if (attributes == node.not_found()) {
        return;
    }
    for (const auto& attribute : attributes->second) {
        const auto levels =
            static_cast<std::size_t>(std::count(attribute.first.begin(), attribute.first.end(), '.'));
        // The copy lands levels + 1 below this node; elements themselves may reach the limit.
        if (depth + levels > MaxManifestXmlDepth) {
            throw ManifestParseException();
        }
        node.add_child(attribute.first, attribute.second);
    }
}

}  // namespace

void PromoteXmlAttributes(ptree& tree) {
    Promote(tree, 0);
}

void ReadManifestXmlInPlace(std::string& text, ptree& into) {
    ReadManifestXmlInPlace(text, into, nullptr);
}

void ReadManifestXmlInPlace(std::string& text, ptree& into, const ManifestFileSink& onFile) {
    try {
        if (NestingDepth(text) > MaxManifestXmlDepth) {
            throw ManifestParseException();
        }
        // What read_xml does with its default flags, but on the caller's buffer instead of a copy of it:
        // the parser works in place on the zero-terminated text (a std::string always has the terminator),
        // and its nodes point into it while the tree is built.
        ptree tree;
        {
            rapidxml::xml_document<char> document;
            document.parse<rapidxml::parse_comment_nodes>(text.data());
            bool packageSeen = false;
            for (auto* child = document.first_node(); child != nullptr; child = child->next_sibling()) {
                if (onFile && !packageSeen && IsElement(child, "package")) {
                    packageSeen = true;
                    ReadPackage(child, tree, onFile);
                } else {
                    boost::property_tree::xml_parser::read_xml_node(child, tree, 0);
                }
            }
        }
        PromoteXmlAttributes(tree);
        into.swap(tree);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const ManifestException&) {
        throw;
    } catch (...) {
        throw ManifestParseException();
    }
}

void ReadManifestXml(std::string_view text, ptree& into) {
    std::string copy(text);
    ReadManifestXmlInPlace(copy, into);
}

void ReadManifestXml(std::istream& from, ptree& into) {
    std::string text;
    try {
        text.assign(std::istreambuf_iterator<char>(from), std::istreambuf_iterator<char>());
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        throw ManifestParseException();
    }
    if (from.bad()) {
        throw ManifestParseException();
    }
    ReadManifestXmlInPlace(text, into);
}

}  // namespace halcyne
