// Helpers of the file tests: the exception a call throws by name, a file's mode, and a fixture that runs a
// test once for each way the file layer resolves names below a folder.
#pragma once

#include <new>
#include <string>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "file/FileException.hpp"
#include "file/posix/PosixFilePath.hpp"

namespace halcyne::test {

// The name of the exception `action` throws, or "none".
template <class Action>
std::string Outcome(Action&& action) {
    try {
        action();
        return "none";
    } catch (const FileBadPathException&) {
        return "BadPath";
    } catch (const FileInUseException&) {
        return "InUse";
    } catch (const FileInaccessibleException&) {
        return "Inaccessible";
    } catch (const FileInsufficientSpaceException&) {
        return "InsufficientSpace";
    } catch (const FileInvalidMapException&) {
        return "InvalidMap";
    } catch (const FileOutOfBoundsException&) {
        return "OutOfBounds";
    } catch (const FileUnknownException&) {
        return "Unknown";
    } catch (const std::bad_alloc&) {
        return "bad_alloc";
    }
}

inline mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// Runs each test with the kernel's resolution (openat2, where the kernel has it) and with the component walk.
class PathResolutionTest : public ::testing::TestWithParam<PathResolution> {
protected:
    void SetUp() override { SetPathResolution(GetParam()); }
    void TearDown() override { SetPathResolution(PathResolution::Kernel); }
};

inline std::string ResolutionName(const ::testing::TestParamInfo<PathResolution>& info) {
    return info.param == PathResolution::Kernel ? "Kernel" : "ComponentWalk";
}

}  // namespace halcyne::test

#define HALCYNE_BOTH_PATH_RESOLUTIONS(suite)                                                           \
    INSTANTIATE_TEST_SUITE_P(, suite,                                                                  \
                             ::testing::Values(PathResolution::Kernel, PathResolution::ComponentWalk), \
                             test::ResolutionName)
