// The command line that the updater and the three tools share, on the built programs: help and version on
// standard output with status 0, an option's value spaced or after '=', and a usage error as one line, a
// pointer to --help and status 2.
#include <functional>
#include <regex>
#include <set>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "support/DeliveryService.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

struct UsageErrorCase {
    std::vector<std::string> arguments;
    std::string problem;  // the line after "<program>: "
};

struct ProgramCase {
    std::string name;
    std::string path;
    // Arguments before -h or --help, which still only print the usage.
    std::vector<std::string> beforeHelp;
    // The same command with its option values spaced ([0]) and after '=' ([1]) in the scratch folder given,
    // and what the run left: both forms must leave the same, which holds `effectHolds`.
    std::function<std::vector<std::string>(int form, const std::string& scratch)> forms;
    std::function<std::string(const test::ProcessResult&, const std::string& scratch)> effect;
    std::string effectHolds;
    std::vector<UsageErrorCase> usageErrors;
};

std::vector<ProgramCase> Programs() {
    const std::string probe = test::BuiltProgram("tests/string_table_probe");
    return {
        // The updater keeps its own arguments (name=value, others ignored): it has no usage errors.
        {"halcyne-updater",
         test::BuiltProgram("src/halcyne-updater"),
         {"log=1", "--bogus"},
         nullptr,
         nullptr,
         "",
         {}},
        {"halcyne-publish",
         test::BuiltProgram("tools/halcyne-publish"),
         {"--partner", "P"},
         [](int form, const std::string& scratch) -> std::vector<std::string> {
             if (form == 0) {
                 return {"--site",        scratch + "/site", "--partner",       "P",
                         "--new-partner", "--node",          "n=127.0.0.1:8081"};
             }
             return {"--site=" + scratch + "/site", "--partner=P", "--new-partner",
                     "--node=n=127.0.0.1:8081"};
         },
         [](const test::ProcessResult& result, const std::string& scratch) {
             const std::string nodes = scratch + "/site/nodes/P.xml";
             return std::to_string(result.exitStatus) + " " +
                    (boost::filesystem::exists(nodes) ? test::ReadFileText(nodes) : "no node list");
         },
         "127.0.0.1:8081",
         {
             {{"--bogus"}, "unknown option '--bogus'"},
             {{"--site"}, "--site needs a value"},
             {{"--not-current=yes"}, "--not-current takes no value"},
             {{"--site", "s", "stray"}, "unexpected argument 'stray'"},
             {{"--site=s", "--partner=P", "--chunk-size=1", "--node=127.0.0.1:1"},
              "bad --chunk-size: 1 (at least 65536 bytes)"},
         }},
        {"halcyne-stamp",
         test::BuiltProgram("tools/halcyne-stamp"),
         {probe, "--output", "/nonexistent/out"},
         [probe](int form, const std::string& scratch) -> std::vector<std::string> {
             if (form == 0) {
                 return {probe, "--set", "102=127.0.0.1:4711", "--output", scratch + "/stamped"};
             }
             return {probe, "--set=102=127.0.0.1:4711", "--output=" + scratch + "/stamped"};
         },
         [](const test::ProcessResult& result, const std::string& scratch) {
             const std::string stamped = scratch + "/stamped";
             return std::to_string(result.exitStatus) + " " +
                    (boost::filesystem::exists(stamped) ? test::RunProgram(stamped, {"102"}).output
                                                        : "no binary");
         },
         "102=127.0.0.1:4711",
         {
             {{"--bogus"}, "unknown option '--bogus'"},
             {{probe, "--output"}, "--output needs a value"},
             {{probe, "--print=yes"}, "--print takes no value"},
             {{"--print"}, "no BINARY given"},
             {{probe, probe}, "unexpected argument '" + probe + "' (one BINARY only)"},
             {{probe, "--unset", "host"}, "--unset takes a numeric id, got 'host'"},
         }},
        {"halcyne-delivery",
         test::DeliveryProgram(),
         {"--nodes", "2"},
         // The service runs until it is stopped: the values show in its refusal of a folder.
         [](int form, const std::string& scratch) -> std::vector<std::string> {
             if (form == 0) {
                 return {"--site", scratch, "--content", scratch + "/missing", "--nodes", "1"};
             }
             return {"--site=" + scratch, "--content=" + scratch + "/missing", "--nodes=1"};
         },
         [](const test::ProcessResult& result, const std::string&) {
             return std::to_string(result.exitStatus) + " " + result.errors;
         },
         "/missing\n",
         {
             {{"--bogus"}, "unknown option '--bogus'"},
             {{"--site"}, "--site needs a value"},
             {{"--quiet=1"}, "--quiet takes no value"},
             {{"--site", ".", "--nodes=x"}, "--nodes takes a number"},
         }},
    };
}

TEST(CommandLineTest, HelpVersionOptionFormsAndUsageErrorsOfEveryProgram) {
    std::set<std::string> versions;
    for (const ProgramCase& program : Programs()) {
        SCOPED_TRACE(program.name);
        // Help and version come before anything else is done: no data folder is needed or made.
        const std::vector<std::string> environment{"TMPDIR=/nonexistent"};
        for (const std::string flag : {"-h", "--help"}) {
            std::vector<std::string> arguments = program.beforeHelp;
            arguments.push_back(flag);
            const auto help = test::RunProgram(program.path, arguments, environment);
            EXPECT_EQ(help.exitStatus, 0) << flag;
            EXPECT_EQ(help.output.rfind("usage: " + program.name + " ", 0), 0u)
                << flag << ": " << help.output;
            EXPECT_NE(help.output.find("--version"), std::string::npos) << flag;
            EXPECT_EQ(help.errors, "") << flag;
        }
        const auto version = test::RunProgram(program.path, {"--version"}, environment);
        EXPECT_EQ(version.exitStatus, 0);
        EXPECT_TRUE(
            std::regex_match(version.output, std::regex(program.name + " [0-9]+\\.[0-9]+\\.[0-9]+\n")))
            << version.output;
        EXPECT_EQ(version.errors, "");
        versions.insert(version.output.substr(program.name.size()));

        if (program.forms) {
            std::string effects[2];
            for (int form : {0, 1}) {
                test::ScratchFolder scratch;
                const auto result = test::RunProgram(program.path, program.forms(form, scratch.Path()));
                effects[form] = program.effect(result, scratch.Path());
                // The scratch folder's own name differs between the runs.
                const auto at = effects[form].find(scratch.Path());
                if (at != std::string::npos) {
                    effects[form].replace(at, scratch.Path().size(), "SCRATCH");
                }
            }
            EXPECT_EQ(effects[0], effects[1]);
            EXPECT_NE(effects[0].find(program.effectHolds), std::string::npos) << effects[0];
        }

        for (const UsageErrorCase& c : program.usageErrors) {
            SCOPED_TRACE(c.problem);
            const auto result = test::RunProgram(program.path, c.arguments);
            EXPECT_EQ(result.exitStatus, 2);
            EXPECT_EQ(result.errors,
                      program.name + ": " + c.problem + "\nTry '" + program.name + " --help'.\n");
            EXPECT_EQ(result.output, "");
        }
    }
    EXPECT_EQ(versions.size(), 1u);  // one project version for all four
}

}  // namespace
}  // namespace halcyne
