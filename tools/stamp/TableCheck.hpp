// The string table as the updater will read it, checked before it is stamped: what the updater would make of
// each entry for each language, and the mistakes that it would otherwise carry out in silence (a plain value
// where a language list needs one per language, a default language that is not listed, an id it never
// reads). Read with the updater's own loading rules. Pure functions; used by halcyne-stamp's main thread.
#pragma once

#include <string>
#include <vector>

#include "app/StringTable.hpp"

namespace halcyne::stamp {

// One line per mistake, naming the ids and what to write instead; none for a sound table. With a language
// list (129): each of 105, 106, 108 and 109 must be a list with a value for every listed language, and 130
// one of the listed codes; 129 itself must list at least one code=Name pair; 130 without a language list is
// a mistake too; and every id must be one the updater reads (102 to 109, 129 to 135).
std::vector<std::string> TableProblems(const Updater::StringTable& table);

// The values the updater will use, as '#' comment lines (so that the printed table stays a table file): for
// each language of the list (marking the default), or once without a list, the game package (105), skin
// package (106), game name (108) and game folder (109), an empty one marked so.
std::string PerLanguageValues(const Updater::StringTable& table);

}  // namespace halcyne::stamp
