#include "app/console/DisplayWidth.hpp"

#include <algorithm>
#include <iterator>

#include "common/Utf8.hpp"

namespace halcyne::Updater {

namespace {

struct Range {
    std::int32_t first;
    std::int32_t last;
};

// Nonspacing and enclosing marks, format characters and the Hangul medial vowels and final consonants that
// join the syllable before them: no column of their own. The scripts the catalogs use and the common
// combining blocks.
constexpr Range ZeroWidth[] = {
    {0x00AD, 0x00AD}, {0x0300, 0x036F},   {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05BF},
    {0x05C1, 0x05C2}, {0x05C4, 0x05C5},   {0x05C7, 0x05C7}, {0x0610, 0x061A}, {0x064B, 0x065F},
    {0x0670, 0x0670}, {0x06D6, 0x06DC},   {0x06DF, 0x06E4}, {0x06E7, 0x06E8}, {0x06EA, 0x06ED},
    {0x0900, 0x0902}, {0x093A, 0x093A},   {0x093C, 0x093C}, {0x0941, 0x0948}, {0x094D, 0x094D},
    {0x0951, 0x0957}, {0x0962, 0x0963},   {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E},
    {0x0EB1, 0x0EB1}, {0x0EB4, 0x0EBC},   {0x0EC8, 0x0ECD}, {0x1160, 0x11FF}, {0x1AB0, 0x1AFF},
    {0x1DC0, 0x1DFF}, {0x200B, 0x200F},   {0x202A, 0x202E}, {0x2060, 0x2064}, {0x20D0, 0x20F0},
    {0x302A, 0x302D}, {0x3099, 0x309A},   {0xD7B0, 0xD7FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
    {0xFEFF, 0xFEFF}, {0xE0100, 0xE01EF},
};

// East Asian wide and fullwidth characters: two columns.
constexpr Range Wide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC}, {0x2E80, 0x2E99},
    {0x2E9B, 0x2EF3},   {0x2F00, 0x2FD5},   {0x2FF0, 0x2FFB},   {0x3000, 0x3029}, {0x302E, 0x303E},
    {0x3041, 0x3096},   {0x309B, 0x30FF},   {0x3105, 0x312F},   {0x3131, 0x318E}, {0x3190, 0x31E3},
    {0x31F0, 0x321E},   {0x3220, 0x3247},   {0x3250, 0x4DBF},   {0x4E00, 0xA48C}, {0xA490, 0xA4C6},
    {0xA960, 0xA97C},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19}, {0xFE30, 0xFE52},
    {0xFE54, 0xFE66},   {0xFE68, 0xFE6B},   {0xFF01, 0xFF60},   {0xFFE0, 0xFFE6}, {0x1F300, 0x1F64F},
    {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

template <std::size_t N>
bool InRanges(const Range (&ranges)[N], std::int32_t codePoint) {
    const Range* end = std::end(ranges);
    const Range* found =
        std::upper_bound(std::begin(ranges), end, codePoint,
                         [](std::int32_t value, const Range& range) { return value < range.first; });
    return found != std::begin(ranges) && codePoint <= (found - 1)->last;
}

}  // namespace

int CodePointColumns(std::int32_t codePoint) {
    if (codePoint < 0x20 || (codePoint >= 0x7F && codePoint < 0xA0)) {
        return 0;
    }
    if (codePoint < 0x300) {
        return codePoint == 0xAD ? 0 : 1;
    }
    if (InRanges(ZeroWidth, codePoint)) {
        return 0;
    }
    return InRanges(Wide, codePoint) ? 2 : 1;
}

std::size_t DisplayColumns(std::string_view text) {
    std::size_t columns = 0;
    std::size_t position = 0;
    while (position < text.size()) {
        const std::int32_t codePoint = DecodeUtf8(text, position);
        if (codePoint < 0) {
            ++position;
            ++columns;
            continue;
        }
        columns += static_cast<std::size_t>(CodePointColumns(codePoint));
    }
    return columns;
}

std::string FitColumns(std::string_view text, std::size_t columns) {
    std::size_t used = 0;
    std::size_t position = 0;
    while (position < text.size()) {
        std::size_t next = position;
        const std::int32_t codePoint = DecodeUtf8(text, next);
        const std::size_t width = codePoint < 0 ? 1 : static_cast<std::size_t>(CodePointColumns(codePoint));
        if (codePoint < 0) {
            next = position + 1;
        }
        // A zero-width mark stays with the character before it, which has been kept.
        if (width > 0 && used + width > columns) {
            break;
        }
        used += width;
        position = next;
    }
    return std::string(text.substr(0, position));
}

}  // namespace halcyne::Updater
