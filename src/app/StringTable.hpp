// The updater's string table: its whole deployment configuration, compiled into the executable.
//
// The table lives in a fixed-size block reserved in the binary (a marker, then "id=value" lines of UTF-8,
// NUL-terminated, zero-padded), so that a deployment can set the table of an already built binary with the
// stamping tool, without recompiling. Values escape '\' as "\\" and a line feed as "\n".
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "common/Utf8.hpp"

namespace halcyne::Updater {

// String ids of the table.
namespace StringId {
inline constexpr unsigned ManifestHost = 102;
inline constexpr unsigned DownloaderPartner = 103;
inline constexpr unsigned GamePartner = 104;
inline constexpr unsigned GamePackage = 105;
inline constexpr unsigned SkinPackage = 106;
inline constexpr unsigned DownloaderPackage = 107;
inline constexpr unsigned GameName = 108;
inline constexpr unsigned GameFolderName = 109;
inline constexpr unsigned Languages = 129;
inline constexpr unsigned DefaultLanguage = 130;
inline constexpr unsigned EventAnalyticsUrl = 131;
inline constexpr unsigned TransferAnalyticsUrl = 132;
inline constexpr unsigned ManifestKeys = 133;  // Ed25519 public keys, base64, comma-separated
inline constexpr unsigned CaBundle = 134;      // CA bundle path for https hosts
inline constexpr unsigned RetryPauses =
    135;  // pauses before automatic retries, milliseconds, comma-separated
}  // namespace StringId

// An entry must be shorter than this many UTF-16 units (terminator included in the buffer); a longer one
// loads as empty.
inline constexpr std::size_t StringTableBufferUnits = 255;
// Size of the reserved block and of the marker at its start.
inline constexpr std::size_t StringTableBlockSize = 16384;
inline constexpr std::size_t StringTableMarkerSize = 32;

class StringTable {
public:
    StringTable() = default;
    // The table compiled (or stamped) into this executable, parsed once.
    static const StringTable& Embedded();
    // Reads "id=value" lines; blank lines, '#' comments and malformed lines are skipped.
    static StringTable Parse(std::string_view text);
    // The text form Parse reads, one line per entry in id order.
    std::string Serialize() const;

    // The raw entry, when present.
    std::optional<std::string> Find(unsigned id) const;
    void Set(unsigned id, std::string value);
    void Erase(unsigned id);
    const std::map<unsigned, std::string>& Entries() const { return entries_; }

private:
    std::map<unsigned, std::string> entries_;
};

using halcyne::IsValidUtf8;
using halcyne::Utf16Length;

// The UTF-8 text of one entry; empty when the entry is missing, empty, not valid UTF-8, or
// StringTableBufferUnits UTF-16 units long or longer.
std::string LoadConfigString(const StringTable& module, unsigned id);

}  // namespace halcyne::Updater
