// Where the message locale gets its gettext catalogs from. Filled once at start-up; afterwards only read, by
// the message locale whenever its language changes (on the interface thread). Calls nothing back.
#pragma once

#include <string>
#include <vector>

namespace halcyne::Updater {

class MessageCatalog {
public:
    virtual ~MessageCatalog() = default;
    // The search path prefix under which catalog file names are formed.
    virtual std::string GetPath() const = 0;
    // The gettext domain.
    virtual std::string GetDomain() const = 0;
    // The whole content of the named catalog file, or an empty vector when there is none. The locale's
    // file-loading callback; the encoding is what the locale asks for and may be ignored.
    virtual std::vector<char> Load(const std::string& fileName, const std::string& encoding) const = 0;
};

}  // namespace halcyne::Updater
