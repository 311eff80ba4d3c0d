// What identifies a file on its file system (device and inode), and how many names (hard links) it has. A
// plain value, read from an open descriptor and copied anywhere.
#pragma once

#include <cstdint>

namespace halcyne {

struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t links = 0;  // 0: not known

    // The same file: device and inode agree (the link count may have changed). Two unknown identities (both
    // all zero) are not the same file.
    bool SameFile(const FileIdentity& other) const {
        return inode != 0 && device == other.device && inode == other.inode;
    }
};

}  // namespace halcyne
