// Reads a gettext catalog (.mo, either byte order) into its translations. Pure functions: any thread may
// call.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>

namespace halcyne::Updater {

// Message id -> translation. Only singular lookups are made: an entry with plural forms is found by its
// singular id and gives its first form; an entry with a context is left out; an empty translation counts as
// none, so that the message stays in English rather than blank.
using MoTranslations = std::map<std::string, std::string>;

// The translations of a catalog, or nullopt when the bytes are not a catalog the updater can show: a wrong
// magic number, a table or string outside the bytes, a header without a UTF-8 (or ASCII) charset, or a
// translation that is not valid UTF-8. Never reads outside `bytes`.
std::optional<MoTranslations> ReadMoCatalog(std::span<const char> bytes);

}  // namespace halcyne::Updater
