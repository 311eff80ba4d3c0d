// What the update sequence hands to the downloader it launches: the command line with the updater's
// configuration, and the shortcut to the updater. Called on the monitor thread by the launch step. Calls
// nothing back.
#pragma once

#include <optional>
#include <string>

#include "app/SimpleLocale.hpp"
#include "app/UpdaterConfiguration.hpp"
#include "file/FileIdentity.hpp"

namespace halcyne::Updater {

// The downloader's command line: " /host ", " /id ", " /package ", " /name ", " /folder ", " /locale ",
// " /version ", " /skin ", " /log ", each followed by its value in double quotes, in that order, each only
// when it applies. The per-language values are those of the locale's current language; the skin value is the
// skin package id, '/' and the skin run path (no '/' added when the run path starts with one), present when
// the run path is not empty. Nothing inside the quotes can be escaped, so a value holding a double quote
// would split into extra arguments: then there is no command line (nullopt) and nothing must be launched.
std::optional<std::string> DownloaderCommandLine(const UpdaterConfiguration& configuration,
                                                 const SimpleLocale& locale, const std::string& skinRunPath);

// Writes the shortcut to the updater itself: "<game package id>.url" in the data folder's "shortcuts" folder,
// for the locale's current language. False on any failure, which the caller ignores.
bool CreateUpdaterShortcut(const UpdaterConfiguration& configuration, const SimpleLocale& locale);

}  // namespace halcyne::Updater

namespace halcyne::Updater {

// The launch step's work after the launch view is shown: the shortcut (its result ignored), then the
// downloader at JoinPath(data folder, downloader run path) with DownloaderCommandLine, waited for. The
// program started is the file `downloaderRunFile` names (the run file as the transfer verified it): a
// symbolic link at the path, another file in its place or an unknown identity (all zero) starts nothing.
// True when the downloader was started; false when there is no command line, the file at the path is not
// the verified one, or it could not be started.
bool LaunchDownloader(const UpdaterConfiguration& configuration, const SimpleLocale& locale,
                      const std::string& downloaderRunPath, const FileIdentity& downloaderRunFile,
                      const std::string& skinRunPath);

}  // namespace halcyne::Updater
