// The Internet shortcut (".url" file) on Linux, written on the monitor thread at the end of the update
// sequence. Calls nothing back.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "app/SimpleShortcut.hpp"

namespace halcyne::Updater {

// The longest file URL a shortcut takes.
inline constexpr std::size_t MaximumFileUrlLength = 2084;

// The percent-encoded "file://" URL of a path (made absolute first); nullopt for an empty path or a URL
// longer than MaximumFileUrlLength.
std::optional<std::string> FileUrlFromPath(const std::string& path);

// The shortcut file for a URL: UTF-16 little-endian with a byte order mark, four lines ending in CR LF.
std::string InternetShortcutBytes(const std::string& url);

class PosixShortcut : public SimpleShortcut {
public:
    // The file is "<name>.url" in the folder.
    PosixShortcut(std::string name, std::string folder);

    // Makes the URL first, then makes sure of the folder as CreatePrivateFolder does (it must be below the
    // temporary directory, the user's own and private, and is created with mode 0700 when missing), then
    // writes the whole new file beside the old one and renames it over it, so a failure never leaves an empty
    // or missing shortcut. An empty name, or one that is not a plain file name, means no shortcut (false).
    bool Create(const std::string& target) override;
    // Copies the file to "<name>.url" in the folder, replacing one that is there.
    bool CopyTo(const std::string& folder, const std::string& name) override;
    bool RemoveFrom(const std::string& folder, const std::string& name) override;

    // The shortcut file's full path.
    std::string FilePath() const;

private:
    std::string fileName_;
    std::string folder_;
};

}  // namespace halcyne::Updater
