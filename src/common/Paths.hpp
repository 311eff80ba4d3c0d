// Path helpers shared by the engine and the updater, and the per-user temporary directory with the private
// folders below it. Paths are UTF-8 with '/' separators. Every function here is safe on any thread.
#pragma once

#include <string>
#include <vector>

namespace halcyne {

// Strips every leading '/' from `relative`, then resolves it against `base` as
// boost::filesystem::absolute(relative, base) does: a relative base is first made absolute against the
// current working directory, an empty relative part gives the base, anything else is appended with one
// separator.
std::string JoinPath(const std::string& base, const std::string& relative);

// A folder that was not used, and why ("is a symbolic link", "is owned by uid 65534", ...).
struct RefusedFolder {
    std::string folder;  // absolute path
    std::string reason;
};

struct TemporaryDirectoryChoice {
    std::string directory;               // absolute, without a trailing '/'; empty when none is usable
    std::string error;                   // why, when `directory` is empty
    std::vector<RefusedFolder> refused;  // the candidates passed over, in the order they were tried
};

// The candidates, in order: $TMPDIR when it names an existing directory; the user's cache directory
// ($XDG_CACHE_HOME when absolute, else $HOME/.cache), created with mode 0700 when missing. A shared folder
// such as /tmp is never chosen on its own. A candidate is refused when it is owned by anyone but the user or
// root, or when others can write to it and it is not sticky; or when a folder that the run needs below it
// is refused (see CreatePrivateFolder).
//
// Chooses the temporary directory for the folders a run needs (relative to it): the first candidate under
// which every existing component of each folder is private; a refused candidate gets nothing created in it.
// In the candidate chosen the missing folders are created (mode 0700). The choice is kept for the process,
// as long as TMPDIR, XDG_CACHE_HOME and HOME keep their values: a later call returns it whatever folders it
// names, and TemporaryDirectory returns it, so that every part of the process uses the folder checked here.
TemporaryDirectoryChoice ChooseTemporaryDirectory(const std::vector<std::string>& folders);

// The kept choice; without one, the first candidate that passes its own test (nothing below it is checked
// or kept).
TemporaryDirectoryChoice CurrentTemporaryDirectory();

// CurrentTemporaryDirectory().directory; when it is empty and `error` is given, stores there why.
std::string TemporaryDirectory(std::string* error = nullptr);

// Makes sure that `path`, the temporary directory or a folder below it, is private: the temporary directory
// is checked as above, and each component below it is opened without following a symbolic link and must be
// a directory owned by the user and not writable by group or others; a missing one is created with mode
// 0700 whatever the umask. ".." is refused. Returns false (and the reason in `error`, when given) when the
// path is not below the temporary directory, a component is refused, or one cannot be created; nothing is
// created below a refused component. Once it returned true nobody but the user (or root) can rename or
// replace anything below the temporary directory on the way to `path`, so the path can be used as such.
bool CreatePrivateFolder(const std::string& path, std::string* error = nullptr);

}  // namespace halcyne
