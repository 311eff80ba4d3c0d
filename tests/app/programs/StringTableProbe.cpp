// Prints, for each id given on the command line, what the running binary loads from its own string table.
#include <cstdlib>
#include <iostream>

#include "app/StringTable.hpp"

int main(int argc, char** argv) {
    using namespace halcyne::Updater;
    for (int i = 1; i < argc; ++i) {
        const auto id = static_cast<unsigned>(std::strtoul(argv[i], nullptr, 10));
        std::cout << id << "=" << LoadConfigString(StringTable::Embedded(), id) << "\n";
    }
    return 0;
}
