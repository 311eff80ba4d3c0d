// `halcyne-updater --check`, for studios and support: fetches what this stamped updater would fetch, with no
// window and no download. Every package manifest it would ask for (the downloader's, and the skin of each
// configured language), with its signature file when keys are stamped; the node list of each partner, with
// its signature file; and from every node of a package's list the first chunk of the package's first
// non-empty file. One line per URL on `out`: the verdict (ok or FAIL), the HTTP status, the bytes received,
// the time, the URL, and what was found (the signature's or the chunk's verdict, or why it failed). Each URL
// is asked once, however many languages name it. In a signed deployment a current manifest or node list that
// has expired fails, and one that expires within 7 days carries a warning. Nothing is stored (no accepted
// sequence, no file), so a check never changes what a later run accepts. Main thread.
#pragma once

#include <ostream>

namespace halcyne {
struct EngineSettings;
}

namespace halcyne::Updater {

class UpdaterConfiguration;

// 0 when everything the updater needs answered and verified, 1 otherwise.
int RunUpdaterCheck(const UpdaterConfiguration& configuration, const EngineSettings& settings,
                    std::ostream& out);

}  // namespace halcyne::Updater
