// Reads a GNU gettext catalog (little-endian .mo) into its entries, for tests that check what is embedded.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace halcyne::test {

struct MoFile {
    std::map<std::string, std::string> entries;  // message id -> translation; "" -> the header

    // The value of a header field ("Language", ...), empty when absent.
    std::string HeaderField(const std::string& name) const {
        const auto header = entries.find("");
        if (header == entries.end()) {
            return {};
        }
        const std::string key = name + ": ";
        const auto at = header->second.find(key);
        if (at == std::string::npos || (at != 0 && header->second[at - 1] != '\n')) {
            return {};
        }
        const auto start = at + key.size();
        return header->second.substr(start, header->second.find('\n', start) - start);
    }
};

// Nullopt when the bytes are not a little-endian catalog of revision 0 or a string lies outside them.
inline std::optional<MoFile> ReadMoFile(std::span<const unsigned char> bytes) {
    const auto word = [&](std::size_t at) -> std::optional<std::uint32_t> {
        if (at + 4 > bytes.size()) {
            return std::nullopt;
        }
        return std::uint32_t(bytes[at]) | std::uint32_t(bytes[at + 1]) << 8 |
               std::uint32_t(bytes[at + 2]) << 16 | std::uint32_t(bytes[at + 3]) << 24;
    };
    const auto string = [&](std::size_t table, std::uint32_t i) -> std::optional<std::string> {
        const auto length = word(table + 8 * std::size_t(i));
        const auto offset = word(table + 8 * std::size_t(i) + 4);
        if (!length || !offset || std::size_t(*offset) + *length >= bytes.size()) {
            return std::nullopt;
        }
        return std::string(reinterpret_cast<const char*>(bytes.data()) + *offset, *length);
    };
    if (word(0) != 0x950412deu || word(4) != 0u || !word(8) || !word(12) || !word(16)) {
        return std::nullopt;
    }
    MoFile mo;
    for (std::uint32_t i = 0; i < *word(8); ++i) {
        const auto id = string(*word(12), i);
        const auto text = string(*word(16), i);
        if (!id || !text) {
            return std::nullopt;
        }
        mo.entries[*id] = *text;
    }
    return mo;
}

// A catalog of these entries (message id -> translation, sorted by id, no hash table), in either byte order.
inline std::vector<char> WriteMoFile(const std::map<std::string, std::string>& entries,
                                     bool bigEndian = false) {
    std::vector<char> out;
    const auto put = [&](std::size_t at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            out[at + i] = static_cast<char>(value >> (bigEndian ? 24 - 8 * i : 8 * i));
        }
    };
    const auto count = static_cast<std::uint32_t>(entries.size());
    const std::uint32_t ids = 28;
    const std::uint32_t texts = ids + 8 * count;
    out.resize(texts + 8 * count);
    put(0, 0x950412deu);
    put(4, 0);
    put(8, count);
    put(12, ids);
    put(16, texts);
    put(20, 0);
    put(24, 0);
    std::uint32_t i = 0;
    for (const auto& [id, text] : entries) {
        for (const auto& [table, value] : {std::pair(ids, &id), std::pair(texts, &text)}) {
            put(table + 8 * i, static_cast<std::uint32_t>(value->size()));
            put(table + 8 * i + 4, static_cast<std::uint32_t>(out.size()));
            out.insert(out.end(), value->begin(), value->end());
            out.push_back('\0');
        }
        ++i;
    }
    return out;
}

}  // namespace halcyne::test
