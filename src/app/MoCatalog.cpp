#include "app/MoCatalog.hpp"

#include <cstdint>
#include <string_view>

#include "common/Utf8.hpp"

namespace halcyne::Updater {

namespace {

constexpr std::uint32_t MoMagic = 0x950412de;

class MoReader {
public:
    explicit MoReader(std::span<const char> bytes) : bytes_(bytes) {}

    // Detects the byte order from the magic number; false when it is neither.
    bool Start() {
        const auto magic = Word(0);
        if (!magic) {
            return false;
        }
        if (*magic != MoMagic) {
            swapped_ = true;
            return *Word(0) == MoMagic;
        }
        return true;
    }

    // The 32-bit word at `at`, nullopt when it does not lie within the bytes.
    std::optional<std::uint32_t> Word(std::uint64_t at) const {
        if (at + 4 > bytes_.size()) {
            return std::nullopt;
        }
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            const auto byte = static_cast<unsigned char>(bytes_[at + (swapped_ ? i : 3 - i)]);
            value = value << 8 | byte;
        }
        return value;
    }

    // String `index` of the table of (length, offset) pairs at `table`, up to its first NUL; nullopt when the
    // string and its terminating NUL do not lie within the bytes.
    std::optional<std::string_view> String(std::uint32_t table, std::uint32_t index) const {
        const std::uint64_t entry = table + std::uint64_t{8} * index;
        const auto length = Word(entry);
        const auto offset = Word(entry + 4);
        if (!length || !offset || std::uint64_t{*offset} + *length + 1 > bytes_.size()) {
            return std::nullopt;
        }
        const std::string_view text(bytes_.data() + *offset, *length);
        return text.substr(0, text.find('\0'));
    }

private:
    std::span<const char> bytes_;
    bool swapped_ = false;
};

// The charset of the catalog header's Content-Type, lower case with everything but letters and digits
// dropped ("UTF-8" -> "utf8"); empty when there is none.
std::string HeaderCharset(std::string_view header) {
    const std::string_view key = "charset=";
    const std::size_t at = header.find(key);
    if (at == std::string_view::npos) {
        return {};
    }
    std::string charset;
    for (std::size_t i = at + key.size(); i < header.size() && header[i] != '\n' && header[i] != ';'; ++i) {
        const char c = header[i];
        if (c >= 'A' && c <= 'Z') {
            charset += static_cast<char>(c - 'A' + 'a');
        } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            charset += c;
        }
    }
    return charset;
}

}  // namespace

std::optional<MoTranslations> ReadMoCatalog(std::span<const char> bytes) {
    MoReader reader(bytes);
    if (!reader.Start()) {
        return std::nullopt;
    }
    const auto count = reader.Word(8);
    const auto ids = reader.Word(12);
    const auto texts = reader.Word(16);
    if (!count || !ids || !texts) {
        return std::nullopt;
    }
    // Both tables must lie within the bytes before any entry is read, so that a huge count fails at once.
    const std::uint64_t tableSize = std::uint64_t{8} * *count;
    if (*ids + tableSize > bytes.size() || *texts + tableSize > bytes.size()) {
        return std::nullopt;
    }
    MoTranslations translations;
    std::optional<std::string> charset;
    for (std::uint32_t i = 0; i < *count; ++i) {
        const auto id = reader.String(*ids, i);
        const auto text = reader.String(*texts, i);
        if (!id || !text || !IsValidUtf8(*text)) {
            return std::nullopt;
        }
        if (id->empty()) {
            charset = HeaderCharset(*text);
        } else if (id->find('\x04') == std::string_view::npos && !text->empty()) {
            translations.emplace(*id, *text);
        }
    }
    // Texts are shown as UTF-8: a catalog in any other charset (or without one) is not used.
    if (!charset || (*charset != "utf8" && *charset != "ascii" && *charset != "usascii")) {
        return std::nullopt;
    }
    return translations;
}

}  // namespace halcyne::Updater
