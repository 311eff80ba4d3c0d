#include "app/StringTable.hpp"

#include <cstring>

#include "common/Utf8.hpp"

// The reserved block, generated at build time from resources/strings.txt (see cmake/StringTableBlock.cmake).
extern "C" const char halcyne_string_table_block[];

namespace halcyne::Updater {

namespace {

std::string Unescape(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            const char next = value[++i];
            out.push_back(next == 'n' ? '\n' : next);
        } else {
            out.push_back(value[i]);
        }
    }
    return out;
}

std::string Escape(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace

const StringTable& StringTable::Embedded() {
    static const StringTable table = [] {
        // Launder the pointer so that the compiler cannot fold the built-in contents: a stamping tool may
        // have rewritten the block in the file after the build.
        const char* block = halcyne_string_table_block;
        asm volatile("" : "+r"(block));
        const char* text = block + StringTableMarkerSize;
        const std::size_t limit = StringTableBlockSize - StringTableMarkerSize;
        return Parse(std::string_view(text, strnlen(text, limit)));
    }();
    return table;
}

StringTable StringTable::Parse(std::string_view text) {
    StringTable table;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        const std::size_t equals = line.find('=');
        if (line.empty() || line.front() == '#' || equals == std::string_view::npos || equals == 0) {
            continue;
        }
        unsigned id = 0;
        bool digits = equals <= 9;
        for (std::size_t k = 0; digits && k < equals; ++k) {
            digits = line[k] >= '0' && line[k] <= '9';
            id = id * 10 + static_cast<unsigned>(line[k] - '0');
        }
        if (digits) {
            table.entries_[id] = Unescape(line.substr(equals + 1));
        }
    }
    return table;
}

std::string StringTable::Serialize() const {
    std::string out;
    for (const auto& [id, value] : entries_) {
        out += std::to_string(id) + "=" + Escape(value) + "\n";
    }
    return out;
}

std::optional<std::string> StringTable::Find(unsigned id) const {
    const auto found = entries_.find(id);
    if (found == entries_.end()) {
        return std::nullopt;
    }
    return found->second;
}

void StringTable::Set(unsigned id, std::string value) {
    entries_[id] = std::move(value);
}

void StringTable::Erase(unsigned id) {
    entries_.erase(id);
}

std::string LoadConfigString(const StringTable& module, unsigned id) {
    std::optional<std::string> value = module.Find(id);
    if (!value) {
        return std::string();
    }
    const std::optional<std::size_t> units = Utf16Length(*value);
    if (!units || *units == 0 || *units >= StringTableBufferUnits) {
        return std::string();
    }
    return *value;
}

}  // namespace halcyne::Updater
