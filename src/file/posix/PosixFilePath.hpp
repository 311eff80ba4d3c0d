// Path rules of the POSIX file classes: where a (folder, name) pair leads, and creating the folders on the
// way there. Called by PosixSharedFileFactory and PosixSharedFile on any thread; calls nothing back.
#pragma once

#include <string>

namespace halcyne {

// The absolute path of `name` inside `folder`: leading '/' of `name` are removed and the rest is joined to
// `folder` (a relative folder is taken against the current directory). FileBadPathException when the
// folder is empty (nothing is ever written relative to the current directory by accident), when either
// text holds a NUL byte, or when a component of `name` is ".." (a name must not lead outside its folder).
std::string FullFilePath(const std::string& folder, const std::string& name);

// Creates the missing folders above `path` (not `path` itself). A new folder gets the permission bits of
// the folder it is created in (less the umask, and always usable by its owner), as files inherit the
// access rules of their folder elsewhere: private under a private folder, shared under a shared one.
// Errors go through the errno table; a component that exists but is not a folder is FileBadPathException.
void CreateParentFolders(const std::string& path);

}  // namespace halcyne
