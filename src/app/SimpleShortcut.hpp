// A shortcut to a program, written at the end of the update sequence on the monitor thread. Failures are
// silent: every operation only answers whether it worked. Calls nothing back.
#pragma once

#include <string>
#include <utility>

namespace halcyne::Updater {

class SimpleShortcut {
public:
    explicit SimpleShortcut(std::string name) : name_(std::move(name)) {}
    virtual ~SimpleShortcut() = default;

    // Writes the shortcut to the target, replacing an existing one.
    virtual bool Create(const std::string& target) = 0;
    // Copies the shortcut into a folder under another name.
    virtual bool CopyTo(const std::string& folder, const std::string& name) = 0;
    // Deletes the shortcut of that name from a folder; true when one was deleted.
    virtual bool RemoveFrom(const std::string& folder, const std::string& name) = 0;

    const std::string& Name() const { return name_; }

protected:
    std::string name_;
};

}  // namespace halcyne::Updater
