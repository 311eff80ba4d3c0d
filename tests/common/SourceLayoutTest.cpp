#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

// Folders of the engine that include one another do so in one direction only, so that the lower one builds,
// tests and changes without the upper one.
TEST(SourceLayoutTest, FoldersIncludeOnlyDownwards) {
    struct Rule {
        std::string folder;     // under src/
        std::string forbidden;  // the folder it must not include from
    };
    const Rule rules[] = {
        // The pipeline builds the optimizer's params and outcomes; the optimizer knows no pipeline record.
        {"optimizer", "pipeline"},
        // The pipeline reaches its transfer only through the work interface.
        {"pipeline", "transfer"},
    };
    for (const Rule& rule : rules) {
        const std::filesystem::path root = std::filesystem::path(test::SourceDir()) / "src" / rule.folder;
        ASSERT_TRUE(std::filesystem::is_directory(root)) << root;
        const std::regex include("^\\s*#\\s*include\\s*[\"<]" + rule.forbidden + "/");
        std::size_t sources = 0;
        std::string found;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
            const std::string extension = entry.path().extension().string();
            if (!entry.is_regular_file() || (extension != ".hpp" && extension != ".cpp")) {
                continue;
            }
            ++sources;
            std::ifstream in(entry.path());
            std::string line;
            for (int number = 1; std::getline(in, line); ++number) {
                if (std::regex_search(line, include)) {
                    found += entry.path().string() + ":" + std::to_string(number) + ": " + line + "\n";
                }
            }
        }
        EXPECT_GT(sources, 0u) << root;
        EXPECT_EQ(found, "") << "src/" << rule.folder << " includes from src/" << rule.forbidden;
    }
}

}  // namespace
}  // namespace halcyne
