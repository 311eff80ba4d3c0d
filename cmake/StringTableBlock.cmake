# Script mode: writes the reserved string-table block of the updater, filled with the built-in table.
# Layout (shared with src/app/StringTable.cpp and the stamping tool): a 32-byte marker, then a
# NUL-terminated UTF-8 text of "id=value" lines, zero-padded to the block size. The stamping tool
# rewrites the text inside a built binary.
set(marker "HALCYNE-STRING-TABLE-BLOCK-V1")
set(blockSize 16384)
get_filename_component(inputName "${INPUT}" NAME)
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hexLength)
math(EXPR size "${hexLength} / 2")
math(EXPR limit "${blockSize} - 33")
if(size GREATER limit)
  message(FATAL_ERROR "${INPUT} is larger than the string table block")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){24})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${inputName}; do not edit.\n"
  "// The block must stay a real array in the binary: it is read through a laundered pointer.\n"
  "extern \"C\" __attribute__((used)) const char halcyne_string_table_block[${blockSize}] = {\n"
  "// marker, padded to 32 bytes\n")
string(LENGTH "${marker}" markerLength)
string(HEX "${marker}" markerHex)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," markerBytes "${markerHex}")
math(EXPR padding "32 - ${markerLength}")
string(REPEAT "0x00," ${padding} markerPad)
file(APPEND "${OUTPUT}.tmp" "${markerBytes}${markerPad}\n${bytes}0x00};\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
