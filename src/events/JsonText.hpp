// The system's JSON text form of a property tree, used for analytics bodies, work log lines and node
// reports: compact, every value a JSON string, one line feed at the end, every byte at or above 0x80
// escaped on its own. Pure functions; safe on any thread.
#pragma once

#include <stdexcept>
#include <string>

#include <boost/property_tree/ptree.hpp>

namespace halcyne {

// Node data that is written as an empty JSON object or array instead of a string.
inline constexpr const char* JsonEmptyObjectMarker = "boost::property_tree::json_parser::empty_object";
inline constexpr const char* JsonEmptyArrayMarker = "boost::property_tree::json_parser::empty_array";

class JsonTextError : public std::runtime_error {
public:
    JsonTextError() : std::runtime_error("ptree contains data that cannot be represented in JSON format") {}
};

// Writes `tree` in the JSON text form, followed by one line feed. Throws JsonTextError when the root carries
// data of its own or a node has both data and children.
std::string WriteJsonText(const boost::property_tree::ptree& tree);

// Appends the escaped form of `text` (without quotes) to `out`.
void AppendJsonEscaped(std::string& out, const std::string& text);

// A double in general notation with 16 significant digits and no trailing zeros (12.345, 0.25, 2.5).
std::string FormatJsonDouble(double value);

}  // namespace halcyne
