// The text that names a wanted package manifest, and how the ids of a transfer (partner, package, version)
// enter the URLs of the manifest service and the content nodes: each as exactly one percent-encoded path
// segment, so that no id can add a segment, climb out of its folder, start a query or name another host.
// Pure functions; safe on any thread.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace halcyne {

// Whether an id can stand as one path segment: not empty, neither "." nor "..", and free of control
// characters (below U+0020, and U+007F).
bool IsPathSegmentId(std::string_view id);

// The id as one path segment: '/', '?', '#', '%', space, control characters, bytes beyond ASCII and the
// characters a URL may not carry as they are become %XX (upper-case hex); letters, digits and the rest
// stay as written, so that an ordinary id is its own segment ("1.0" stays "1.0", "a/b" becomes "a%2Fb").
// Throws ManifestLocatorException when !IsPathSegmentId(id).
std::string PathSegment(std::string_view id);

// Undoes PathSegment: every %XX becomes its byte; a '%' not followed by two hexadecimal digits stays.
std::string DecodePathSegment(std::string_view segment);

// The package's segment when versionId is empty, else the package's segment, "/", and the version's
// segment (PathSegment of each: the reference holds no '/' but the one between them). Throws
// ManifestLocatorException when an id cannot stand as a segment (the versionId only when not empty).
std::string MakePackageRef(const std::string& packageId, const std::string& versionId);

// Splits at the first "/" and decodes both parts: (package id, version id); without a "/" the version id
// is empty. A reference written by hand ("K/V/W") keeps every slash after the first in its version id.
std::pair<std::string, std::string> SplitPackageRef(const std::string& ref);

}  // namespace halcyne
