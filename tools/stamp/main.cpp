// halcyne-stamp: reads or rewrites the string table of a built updater binary, so that every deployment
// ships the same build with its own configuration (and tests point a built binary at local ports).
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "SigningKey.hpp"
#include "SitePublisher.hpp"
#include "app/StringTable.hpp"
#include "manifest/ManifestVerifier.hpp"

namespace {

using halcyne::Updater::StringTable;
using halcyne::Updater::StringTableBlockSize;
using halcyne::Updater::StringTableBufferUnits;
using halcyne::Updater::StringTableMarkerSize;

const char* const Usage =
    "usage: halcyne-stamp BINARY [options]\n"
    "Reads or rewrites the string table compiled into a built halcyne-updater.\n"
    "\n"
    "  --print              print the table (id=value lines) and change nothing\n"
    "  --set ID=VALUE       set entry ID (repeatable)\n"
    "  --unset ID           remove entry ID (repeatable)\n"
    "  --table FILE         replace the whole table with FILE (id=value lines, # comments)\n"
    "  --public-key FILE    trust the Ed25519 public key in FILE (a base64 line as halcyne-publish\n"
    "                       --generate-key writes it, or PEM) for manifests; repeatable: the keys given\n"
    "                       replace entry 133 in order\n"
    "  --output FILE        write the stamped binary to FILE instead of rewriting BINARY\n"
    "  --help               this text\n"
    "\n"
    "Values are UTF-8 and must be shorter than 255 UTF-16 units; '\\' and line feeds are escaped as\n"
    "\\\\ and \\n in FILE. Ids: 102 manifest host, 103 downloader partner, 104 game partner,\n"
    "105 game package, 106 skin package, 107 downloader package, 108 game name, 109 game folder,\n"
    "129 languages, 130 default language, 131/132 event/transfer analytics URLs, 133 manifest keys\n"
    "(base64 Ed25519 public keys, comma-separated; a malformed list is refused), 134 CA bundle path\n"
    "for https hosts.\n";

// The marker is assembled at run time so that this tool's own binary does not carry it.
std::string Marker() {
    std::string marker = "halcyne-string-table-block-v1";
    for (char& c : marker) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return marker;
}

[[noreturn]] void Fail(const std::string& message) {
    std::cerr << "halcyne-stamp: " << message << "\n";
    std::exit(1);
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

void WriteFile(const std::string& path, const std::string& contents, mode_t mode) {
    // Write beside the target and rename over it, so that a failure never leaves a half-written binary.
    const std::string temporary = path + ".stamp-tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
        out.flush();
        if (!out) {
            std::remove(temporary.c_str());
            Fail("cannot write " + temporary + ": " + std::strerror(errno));
        }
    }
    if (::chmod(temporary.c_str(), mode) != 0 || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string reason = std::strerror(errno);
        std::remove(temporary.c_str());
        Fail("cannot replace " + path + ": " + reason);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args.front() == "--help" || args.front() == "-h") {
        std::cout << Usage;
        return args.empty() ? 2 : 0;
    }
    const std::string binaryPath = args.front();
    std::string outputPath = binaryPath;
    bool print = false;
    bool changed = false;
    const std::string binary = ReadFile(binaryPath);
    const std::size_t block = FindBlock(binary);
    const char* text = binary.data() + block + StringTableMarkerSize;
    StringTable table = StringTable::Parse(text);
    std::vector<std::string> publicKeys;

    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& option = args[i];
        const auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) {
                Fail(option + " needs a value");
            }
            return args[++i];
        };
        if (option == "--print") {
            print = true;
        } else if (option == "--set") {
            const std::string& entry = value();
            const StringTable one = StringTable::Parse(entry);
            const std::size_t equals = entry.find('=');
            if (one.Entries().size() != 1 || equals == std::string::npos) {
                Fail("--set takes ID=VALUE, got '" + entry + "'");
            }
            // The value is taken literally (no escapes) from the command line.
            table.Set(one.Entries().begin()->first, entry.substr(equals + 1));
            changed = true;
        } else if (option == "--unset") {
            const std::string& id = value();
            try {
                table.Erase(static_cast<unsigned>(std::stoul(id)));
            } catch (const std::exception&) {
                Fail("--unset takes a numeric id, got '" + id + "'");
            }
            changed = true;
        } else if (option == "--table") {
            table = StringTable::Parse(ReadFile(value()));
            changed = true;
        } else if (option == "--public-key") {
            const std::string& file = value();
            try {
                publicKeys.push_back(halcyne::publish::ReadPublicKeyFile(file));
            } catch (const std::exception& error) {
                Fail(error.what());
            }
            changed = true;
        } else if (option == "--output") {
            outputPath = value();
        } else if (option == "--help" || option == "-h") {
            std::cout << Usage;
            return 0;
        } else {
            Fail("unknown option '" + option + "' (see --help)");
        }
    }

    if (!publicKeys.empty()) {
        std::string list;
        for (const std::string& key : publicKeys) {
            list += (list.empty() ? "" : ",") + key;
        }
        table.Set(halcyne::Updater::StringId::ManifestKeys, list);
    }

    if (print || !changed) {
        std::cout << table.Serialize();
        if (!changed) {
            return 0;
        }
    }
    Validate(table);
    const std::string serialized = table.Serialize();
    if (serialized.size() >= StringTableBlockSize - StringTableMarkerSize) {
        Fail("the table is " + std::to_string(serialized.size()) + " bytes; the block holds " +
             std::to_string(StringTableBlockSize - StringTableMarkerSize - 1));
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
