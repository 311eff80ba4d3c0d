// The JSON text form of stored transfer manifests. Writing is compact (one line, a line feed at the end),
// every value a string, and escapes by UTF-16 unit: U+0020, U+0021, U+0023-U+002E, U+0030-U+005B and
// U+005D-U+00FF stand as themselves, quote, slash and backslash get a backslash, \b \f \n \r, and every
// other unit (tab and the other controls, everything above U+00FF, surrogate halves one by one) is \uXXXX
// in upper-case hex. Reading takes any JSON object in valid UTF-8. Pure functions; safe on any thread.
#pragma once

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

// Throws StoreJsonError when the text is not valid UTF-8 or not a JSON document.
boost::property_tree::ptree ReadStoreJson(std::string_view text);

}  // namespace halcyne
