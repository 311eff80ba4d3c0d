// Reading manifest documents (package manifests, node lists) from XML into property trees.
// Pure functions, called on the loading thread (a work-manager thread); they call nothing back.
#pragma once

#include <cstddef>
#include <istream>
#include <string>
#include <string_view>

#include <boost/property_tree/ptree_fwd.hpp>

#include "manifest/Manifest.hpp"

namespace halcyne {

// The deepest element nesting (attribute paths included) that a manifest document may have. Real
// manifests are four levels deep; the limit keeps a hostile document from exhausting the stack of the
// recursive parser and of the tree's own destructor.
inline constexpr std::size_t MaxManifestXmlDepth = 64;

// Reads the whole stream as XML with the property tree's default flags (comments stay as "<xmlcomment>"
// entries, text is not trimmed, attributes land under "<xmlattr>"), then promotes the attributes. Throws
// ManifestParseException for anything that is not such a document, or one nested deeper than the limit;
// std::bad_alloc passes through. `into` is replaced only on success.
void ReadManifestXml(std::istream& from, boost::property_tree::ptree& into);
void ReadManifestXml(std::string_view text, boost::property_tree::ptree& into);
// The same on a buffer the caller gives up: it is parsed in place, so no copy of the text is made, and its
// content is unspecified afterwards.
void ReadManifestXmlInPlace(std::string& text, boost::property_tree::ptree& into);

// The same, except that the "file" elements inside the first "files" element of the first top-level
// "package" element (the ones a package manifest reads) are handed to `onFile` as they are converted and
// left out of the tree: the tree of a package of a quarter of a million files would take gigabytes, one
// file's tree takes a few hundred bytes. Each file's tree is exactly what the whole tree would hold under
// that element; everything else (other children of "files" included) lands in the tree as usual. An empty
// sink reads the whole tree. What the sink throws ends the reading: the ManifestException family and
// std::bad_alloc pass through, anything else becomes ManifestParseException.
void ReadManifestXmlInPlace(std::string& text, boost::property_tree::ptree& into,
                            const ManifestFileSink& onFile);

// Gives every element of the tree a copy of each of its attributes as a child entry of the same name,
// after its own children, so that a lookup by key finds a child element before an attribute. Children are
// promoted before their parent; the "<xmlattr>" entries stay. The attribute name is read as a path with
// '.' separators, as add_child reads it. Throws ManifestParseException when that would nest the tree deeper
// than the limit.
void PromoteXmlAttributes(boost::property_tree::ptree& tree);

}  // namespace halcyne
