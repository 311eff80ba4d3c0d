// Path helpers shared by the engine and the updater. Paths are UTF-8 with '/' separators.
#pragma once

#include <string>

namespace halcyne {

// Strips every leading '/' from `relative`, then resolves it against `base` as
// boost::filesystem::absolute(relative, base) does: a relative base is first made absolute against the
// current working directory, an empty relative part gives the base, anything else is appended with one
// separator.
std::string JoinPath(const std::string& base, const std::string& relative);

// The per-user temporary directory: $TMPDIR when it names an existing directory; otherwise the user's cache
// directory ($XDG_CACHE_HOME when absolute, else $HOME/.cache), created with mode 0700 when missing. A shared
// folder such as /tmp is never chosen on its own. Returns the empty string when none is usable and then, if
// `error` is given, stores there why.
std::string TemporaryDirectory(std::string* error = nullptr);

// Creates `path` and its missing parents, each new folder with mode 0700. Returns false (and the reason in
// `error`, when given) when the path cannot be created or exists as something other than a directory.
bool CreatePrivateDirectories(const std::string& path, std::string* error = nullptr);

}  // namespace halcyne
