// The text that names a wanted package manifest: the package id alone (the current version) or the package
// id, "/", and the version id. Pure functions; safe on any thread.
#pragma once

#include <string>
#include <utility>

namespace halcyne {

// packageId when versionId is empty, else packageId + "/" + versionId.
std::string MakePackageRef(const std::string& packageId, const std::string& versionId);

// Splits at the first "/": (package id, version id); without a "/" the version id is empty.
std::pair<std::string, std::string> SplitPackageRef(const std::string& ref);

}  // namespace halcyne
