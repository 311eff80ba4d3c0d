// The JSON text form of stored transfer manifests. Writing is compact (one line, a line feed at the end),
// every value a string, and escapes by UTF-16 unit: U+0020, U+0021, U+0023-U+002E, U+0030-U+005B and
// U+005D-U+00FF stand as themselves, quote, slash and backslash get a backslash, \b \f \n \r, and every
// other unit (tab and the other controls, everything above U+00FF, surrogate halves one by one) is \uXXXX
// in upper-case hex. Reading takes any JSON object in valid UTF-8 whose objects and arrays nest no deeper
// than the caller allows. Pure functions; safe on any thread.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include <boost/property_tree/ptree.hpp>

namespace halcyne {

class StoreJsonError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws StoreJsonError when the root has data, a node has data and children, or a key or value is not
// valid UTF-8 (nothing is altered silently).
std::string WriteStoreJson(const boost::property_tree::ptree& tree);

// Throws StoreJsonError when the text is not valid UTF-8, not a JSON document, or its objects and arrays
// nest deeper than `maxDepth` (the root object is depth 1). The depth is checked on the text before the
// parser sees it: the parser recurses once per level, so a deep enough text would overflow the stack.
boost::property_tree::ptree ReadStoreJson(std::string_view text, std::size_t maxDepth);

// Whether the objects and arrays of a JSON text nest no deeper than `maxDepth`; brackets inside strings do
// not count. The text need not be valid JSON.
bool JsonNestingWithin(std::string_view text, std::size_t maxDepth);

}  // namespace halcyne
