// Path rules of the POSIX file classes: where a (folder, name) pair leads, and reaching it without ever
// leaving the folder. `folder` is the caller's and is opened as given; below it, every component of `name` is
// opened relative to the descriptor of the one before and never through a symbolic link, so that a link
// planted inside a destination cannot send a write, a deletion or a rename outside of it.
//
// Called by PosixSharedFileFactory and PosixSharedFile on any thread; calls nothing back.
#pragma once

#include <string>
#include <vector>

#include "common/FileDescriptor.hpp"

namespace halcyne {

// How names are resolved below a folder. Kernel: one openat2(2) call with RESOLVE_BENEATH and
// RESOLVE_NO_SYMLINKS for the usual case, the component walk whenever that call fails (to create folders,
// replace links, or find the exact error) and on kernels without openat2. ComponentWalk: the walk always.
// Both give the same results; the switch is process-wide and exists so that both roads can be tested.
enum class PathResolution { Kernel, ComponentWalk };
void SetPathResolution(PathResolution resolution);
PathResolution CurrentPathResolution();

// The absolute path of `name` inside `folder`, as text for messages: leading '/' of `name` are removed and
// the rest is joined to `folder` (a relative folder is taken against the current directory).
// FileBadPathException as for SplitName, and when the folder is empty.
std::string FullFilePath(const std::string& folder, const std::string& name);

// The components of `name`: leading, doubled and trailing '/' and "." components dropped.
// FileBadPathException when the name holds a NUL byte, when a component is ".." (a name must not lead outside
// its folder), or when nothing names a file (an empty name, "/", "a/.", "a/").
std::vector<std::string> SplitName(const std::string& name);

// The folder that holds the last component of a name, open, with that component's name.
struct ParentFolder {
    FileDescriptor folder;  // O_PATH; usable with the *at calls
    std::string leaf;       // the last component
    std::string path;       // the full path, for messages
};

// Opens the folder holding `name` inside `folder`. With createFolders, missing folders are created (mode
// 0700, less the umask; `folder` itself too, when it is missing) and a symbolic link where a folder of
// `name` belongs is removed and replaced by a real folder; without it, a missing folder or a link on the way
// is FileBadPathException and nothing is touched. Links on the path of `folder` itself are the caller's and
// are followed. A
// component that is some other thing than a folder or a link is FileBadPathException; other failures go
// through the errno table.
ParentFolder OpenParentFolder(const std::string& folder, const std::string& name, bool createFolders);

// Opens the file `leaf` in `parent` with open(2) `flags` (O_CREAT and O_EXCL as the caller needs; O_NOFOLLOW
// and O_CLOEXEC are added) and returns the descriptor of a regular file.
// With `replace` (the modes that create a file), a symbolic link at `leaf` is removed and a new file made in
// its place, and so is a file with more than one hard link: writing it in place would write every other
// name of it too, and the other names may lie anywhere on the file system. Without `replace`, a link is
// FileBadPathException and nothing is touched. Anything other than a regular file is FileBadPathException;
// O_EXCL on an existing file FileInUseException; other failures go through the errno table.
FileDescriptor OpenFileIn(const ParentFolder& parent, int flags, bool replace);

// The same, from the folder and the name; tries the kernel's resolution first where it is on.
FileDescriptor OpenFileBeneath(const std::string& folder, const std::string& name, int flags,
                               bool createFolders, bool replace);

}  // namespace halcyne
