// halcyne-stamp: reads or rewrites the string table of a built updater binary, so that every deployment
// ships the same build with its own configuration (and tests point a built binary at local ports).
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "CommandLine.hpp"
#include "SigningKey.hpp"
#include "SitePublisher.hpp"
#include "TableCheck.hpp"
#include "app/StringTable.hpp"
#include "manifest/ManifestVerifier.hpp"

namespace {

using halcyne::Updater::StringTable;
using halcyne::Updater::StringTableBlockSize;
using halcyne::Updater::StringTableBufferUnits;
using halcyne::Updater::StringTableMarkerSize;
using namespace halcyne::tools;

const char* const Program = "halcyne-stamp";

const char* const Usage =
    "usage: halcyne-stamp BINARY [options]\n"
    "       halcyne-stamp --help | --version\n"
    "Reads or rewrites the string table compiled into a built halcyne-updater.\n"
    "\n"
    "  --print              print the table (id=value lines) and change nothing; refused with a change\n"
    "                       below unless --dry-run is given. Without a change the table is printed anyway\n"
    "  --dry-run            print the table that the changes would write, and write nothing\n"
    "  --set ID=VALUE       set entry ID (repeatable)\n"
    "  --unset ID           remove entry ID (repeatable)\n"
    "  --table FILE         replace the whole table with FILE (id=value lines, '#' comments and blank\n"
    "                       lines; any other line is refused)\n"
    "  --public-key FILE    trust the Ed25519 public key in FILE (a base64 line as halcyne-publish\n"
    "                       --generate-key writes it, or PEM) for manifests; repeatable: the keys given\n"
    "                       replace entry 133 in order\n"
    "  --output FILE        write the stamped binary to FILE instead of rewriting BINARY\n"
    "  --force              write a table that the checks below refuse, and only warn\n"
    "  -h, --help           this text\n"
    "  --version            the tool's version\n"
    "\n"
    "A table is refused, with the ids and what to write instead, when the updater would carry out a\n"
    "mistake in silence: with a language list (129), each of 105, 106, 108 and 109 must be a list with a\n"
    "value for every listed language (105=en=ID;de=ID) and 130 one of its codes; 130 needs a list; and\n"
    "every id must be one the updater reads. The printed table ends with '#' lines that show, per\n"
    "language, the values the updater will use.\n"
    "\n"
    "An option's value follows it as the next argument or after '=' (--set=102=HOST). Exit status: 0 done,\n"
    "1 the binary or a value was refused or could not be written, 2 a wrong command line (nothing done).\n"
    "\n"
    "Values are UTF-8 and must be shorter than 255 UTF-16 units; '\\' and line feeds are escaped as\n"
    "\\\\ and \\n in FILE. Ids: 102 manifest host, 103 downloader partner, 104 game partner,\n"
    "105 game package, 106 skin package, 107 downloader package, 108 game name, 109 game folder,\n"
    "129 languages, 130 default language, 131/132 event/transfer analytics URLs, 133 manifest keys\n"
    "(base64 Ed25519 public keys, comma-separated; a malformed list is refused), 134 CA bundle path\n"
    "for https hosts, 135 pauses before automatic retries (milliseconds, comma-separated).\n";

// The marker is assembled at run time so that this tool's own binary does not carry it.
std::string Marker() {
    std::string marker = "halcyne-string-table-block-v1";
    for (char& c : marker) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return marker;
}

[[noreturn]] void Fail(const std::string& message) {
    std::cerr << Program << ": " << message << "\n";
    std::exit(ExitFailure);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Fail("cannot read " + path + ": " + std::strerror(errno));
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Finds the one block in the binary: the marker, padded with zeros to 32 bytes, then a NUL-terminated text.
std::size_t FindBlock(const std::string& binary) {
    const std::string marker = Marker();
    std::size_t found = std::string::npos;
    for (std::size_t at = binary.find(marker); at != std::string::npos; at = binary.find(marker, at + 1)) {
        if (at + StringTableBlockSize > binary.size()) {
            continue;
        }
        bool padded = true;
        for (std::size_t k = marker.size(); k < StringTableMarkerSize; ++k) {
            padded = padded && binary[at + k] == '\0';
        }
        if (!padded || std::memchr(binary.data() + at + StringTableMarkerSize, '\0',
                                   StringTableBlockSize - StringTableMarkerSize) == nullptr) {
            continue;
        }
        if (found != std::string::npos) {
            Fail("the binary holds more than one string table block");
        }
        found = at;
    }
    if (found == std::string::npos) {
        Fail("no string table block found: is this a halcyne-updater binary?");
    }
    return found;
}

void Validate(const StringTable& table) {
    for (const auto& [id, value] : table.Entries()) {
        const auto units = halcyne::Updater::Utf16Length(value);
        if (!units) {
            Fail("entry " + std::to_string(id) + " is not valid UTF-8");
        }
        if (*units >= StringTableBufferUnits) {
            Fail("entry " + std::to_string(id) + " is " + std::to_string(*units) +
                 " UTF-16 units long; the updater loads entries of 255 units or more as empty");
        }
        if (id > 65535) {
            Fail("entry id " + std::to_string(id) + " is out of range");
        }
        if (id == halcyne::Updater::StringId::ManifestKeys) {
            try {
                halcyne::ParseManifestKeys(value);
            } catch (const std::invalid_argument& error) {
                Fail("entry 133 (manifest keys): " + std::string(error.what()));
            }
        }
    }
}

// Refuses a table file with any line that is not blank, a '#' comment or "digits=value", naming the line:
// a line such as "133 =KEY" or "133:KEY" would otherwise drop that entry without a word, and an updater
// stamped from it would ship without its manifest keys.
void CheckTableLines(const std::string& path, std::string_view text) {
    std::size_t number = 0;
    while (!text.empty()) {
        ++number;
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.find_first_not_of(" \t") == std::string_view::npos || line.front() == '#') {
            continue;
        }
        const std::size_t equals = line.find('=');
        const std::string_view id = line.substr(0, equals);
        const bool digits = equals != std::string_view::npos && !id.empty() &&
                            id.find_first_not_of("0123456789") == std::string_view::npos;
        if (!digits) {
            Fail(path + " line " + std::to_string(number) + ": not an ID=VALUE line: '" + std::string(line) +
                 "'");
        }
        if (id.size() > 5 || std::stoul(std::string(id)) > 65535) {
            Fail(path + " line " + std::to_string(number) + ": entry id " + std::string(id) +
                 " is out of range");
        }
    }
}

void WriteFile(const std::string& path, const std::string& contents, mode_t mode) {
    // Write a fresh file beside the target and rename it over the target, so that a failure never leaves a
    // half-written binary. mkstemp picks a name nobody could plant a link at, and creates the file itself
    // (O_EXCL); the data is synced before the rename so that a crash cannot leave an empty binary.
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        Fail("cannot create a file beside " + path + ": " + std::strerror(errno));
    }
    const auto fail = [&](const std::string& what) {
        const std::string reason = std::strerror(errno);
        ::close(fd);
        ::unlink(temporary.c_str());
        Fail(what + ": " + reason);
    };
    for (std::size_t written = 0; written < contents.size();) {
        const ssize_t n = ::write(fd, contents.data() + written, contents.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            fail("cannot write " + temporary);
        }
        written += static_cast<std::size_t>(n);
    }
    if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) {
        fail("cannot write " + temporary);
    }
    if (::close(fd) != 0) {
        const std::string reason = std::strerror(errno);
        ::unlink(temporary.c_str());
        Fail("cannot write " + temporary + ": " + reason);
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string reason = std::strerror(errno);
        ::unlink(temporary.c_str());
        Fail("cannot replace " + path + ": " + reason);
    }
    // The rename itself is durable once the folder is synced; a failure here leaves a complete binary.
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string binaryPath;
    std::string outputPath;
    bool print = false;
    bool dryRun = false;
    bool force = false;
    // The changes in the order given: each one applies to the table that the ones before it left.
    std::vector<std::function<void(StringTable&)>> changes;
    std::vector<std::string> publicKeyFiles;
    try {
        ArgumentReader arguments(argc, argv);
        while (!arguments.Done()) {
            const std::string option = arguments.Next();
            if (option == "--help" || option == "-h") {
                arguments.Flag();
                std::cout << Usage;
                return 0;
            } else if (option == "--version") {
                arguments.Flag();
                PrintVersion(Program);
                return 0;
            } else if (option == "--print") {
                arguments.Flag();
                print = true;
            } else if (option == "--dry-run") {
                arguments.Flag();
                dryRun = true;
            } else if (option == "--force") {
                arguments.Flag();
                force = true;
            } else if (option == "--set") {
                const std::string entry = arguments.Value();
                const StringTable one = StringTable::Parse(entry);
                const std::size_t equals = entry.find('=');
                if (one.Entries().size() != 1 || equals == std::string::npos) {
                    throw UsageError("--set takes ID=VALUE, got '" + entry + "'");
                }
                // The value is taken literally (no escapes) from the command line.
                const unsigned id = one.Entries().begin()->first;
                const std::string value = entry.substr(equals + 1);
                changes.push_back([id, value](StringTable& table) { table.Set(id, value); });
            } else if (option == "--unset") {
                const std::string id = arguments.Value();
                if (id.empty() || id.size() > 5 || id.find_first_not_of("0123456789") != std::string::npos) {
                    throw UsageError("--unset takes a numeric id, got '" + id + "'");
                }
                const auto number = static_cast<unsigned>(std::stoul(id));
                changes.push_back([number](StringTable& table) { table.Erase(number); });
            } else if (option == "--table") {
                const std::string file = arguments.Value();
                changes.push_back([file](StringTable& table) {
                    const std::string text = ReadFile(file);
                    CheckTableLines(file, text);
                    table = StringTable::Parse(text);
                });
            } else if (option == "--public-key") {
                publicKeyFiles.push_back(arguments.Value());
            } else if (option == "--output") {
                outputPath = arguments.Value();
            } else if (arguments.IsOption()) {
                throw UsageError("unknown option '" + option + "'");
            } else if (binaryPath.empty()) {
                binaryPath = option;
            } else {
                throw UsageError("unexpected argument '" + option + "' (one BINARY only)");
            }
        }
        if (binaryPath.empty()) {
            throw UsageError("no BINARY given");
        }
        const bool changing = !changes.empty() || !publicKeyFiles.empty();
        // --print never writes: with a change it is refused, unless --dry-run asks for the table that the
        // changes would write (printed, and nothing written).
        if (print && changing && !dryRun) {
            throw UsageError(
                "--print changes nothing: it does not go with --set, --unset, --table or "
                "--public-key (add --dry-run to print the table they would write)");
        }
    } catch (const UsageError& error) {
        return ReportUsageError(Program, error.what());
    }
    if (outputPath.empty()) {
        outputPath = binaryPath;
    }

    const std::string binary = ReadFile(binaryPath);
    const std::size_t block = FindBlock(binary);
    const char* text = binary.data() + block + StringTableMarkerSize;
    const StringTable original = StringTable::Parse(text);
    StringTable table = original;
    for (const auto& change : changes) {
        change(table);
    }
    std::vector<std::string> publicKeys;
    for (const std::string& file : publicKeyFiles) {
        try {
            publicKeys.push_back(halcyne::publish::ReadPublicKeyFile(file));
        } catch (const std::exception& error) {
            Fail(error.what());
        }
    }
    const bool changed = !changes.empty() || !publicKeys.empty();

    if (!publicKeys.empty()) {
        std::string list;
        for (const std::string& key : publicKeys) {
            list += (list.empty() ? "" : ",") + key;
        }
        table.Set(halcyne::Updater::StringId::ManifestKeys, list);
    }

    const std::vector<std::string> problems = halcyne::stamp::TableProblems(table);
    if (!changed) {
        std::cout << table.Serialize() << halcyne::stamp::PerLanguageValues(table);
        for (const std::string& problem : problems) {
            std::cerr << Program << ": warning: " << problem << "\n";
        }
        return 0;
    }
    Validate(table);
    // Mistakes the updater would carry out in silence are refused unless forced.
    for (const std::string& problem : problems) {
        std::cerr << Program << ": " << (force ? "warning: " : "") << problem << "\n";
    }
    if (!problems.empty() && !force) {
        std::cerr << Program << ": nothing written; --force writes the table anyway\n";
        return ExitFailure;
    }
    const auto keys = [](const StringTable& t) { return t.Find(halcyne::Updater::StringId::ManifestKeys); };
    if (const auto before = keys(original); before && !before->empty()) {
        const auto after = keys(table);
        if (!after || after->empty()) {
            std::cerr << "halcyne-stamp: warning: entry 133 (manifest keys) is removed; the stamped updater "
                         "runs unsigned manifests\n";
        }
    }
    const std::string serialized = table.Serialize();
    if (serialized.size() >= StringTableBlockSize - StringTableMarkerSize) {
        Fail("the table is " + std::to_string(serialized.size()) + " bytes; the block holds " +
             std::to_string(StringTableBlockSize - StringTableMarkerSize - 1));
    }
    if (dryRun) {
        std::cout << serialized << halcyne::stamp::PerLanguageValues(table);
        return 0;
    }
    std::string stamped = binary;
    char* payload = stamped.data() + block + StringTableMarkerSize;
    std::memset(payload, 0, StringTableBlockSize - StringTableMarkerSize);
    std::memcpy(payload, serialized.data(), serialized.size());

    struct stat st {};
    const mode_t mode = ::stat(binaryPath.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0755;
    WriteFile(outputPath, stamped, mode);
    return 0;
}
