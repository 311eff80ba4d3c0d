#include <stdexcept>
#include <typeinfo>

#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "work/WorkStatus.hpp"

namespace halcyne {
namespace {

using boost::property_tree::ptree;

ptree DescribeOf(const WorkDescriptor& descriptor) {
    ptree tree;
    descriptor.Describe(tree);
    return tree;
}

std::shared_ptr<WorkStatusData> CaptureThrown(void (*thrower)()) {
    try {
        thrower();
    } catch (...) {
        return MakeWorkExceptionData();
    }
    return nullptr;
}

TEST(WorkStatusTest, DescribesResultAsNumberRetryAsWordAndDataOnlyWhenPresent) {
    WorkStatus plain(WorkResult::Success);
    const ptree tree = DescribeOf(plain);
    EXPECT_EQ(tree.size(), 2u);
    EXPECT_EQ(tree.get<std::string>("result"), "0");
    EXPECT_EQ(tree.get<std::string>("retry"), "false");
    EXPECT_FALSE(tree.get_child_optional("data"));

    WorkStatus retried(WorkResult::RetryableError, MakeWorkErrorData("node down"));
    retried.retry = true;
    const ptree withData = DescribeOf(retried);
    EXPECT_EQ(withData.get<std::string>("result"), "3");
    EXPECT_EQ(withData.get<std::string>("retry"), "true");
    ASSERT_EQ(withData.get_child("data").size(), 1u);
    EXPECT_EQ(withData.get<std::string>("data.errorMessage"), "node down");
}

TEST(WorkStatusTest, DefaultsToErrorWithoutDataAndCopiesShareData) {
    const WorkStatus initial;
    EXPECT_EQ(initial.result, WorkResult::Error);
    EXPECT_FALSE(initial.retry);
    EXPECT_EQ(initial.data, nullptr);

    const WorkStatus original(WorkResult::Failure, MakeWorkErrorData("x"));
    WorkStatus copy = initial;
    copy = original;
    EXPECT_EQ(copy.data.get(), original.data.get());
    EXPECT_EQ(copy.result, WorkResult::Failure);
}

TEST(WorkStatusTest, ExceptionDataDescribesEachKindOfCapturedException) {
    struct Case {
        const char* label;
        std::shared_ptr<WorkStatusData> data;
        std::string exception;
        std::string what;  // empty: no "what" entry
    };
    const Case cases[] = {
        // Type names as the source spells them, not as the compiler encodes them.
        {"runtime_error", CaptureThrown([] { throw std::runtime_error("disk on fire"); }),
         "std::runtime_error", "disk on fire"},
        {"int", CaptureThrown([] { throw 42; }), "Unknown exception type", ""},
        {"empty pointer", std::make_shared<WorkExceptionData>(nullptr), "std::logic_error",
         "WorkExceptionData::Rethrow called with no exception_ptr"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_NE(c.data, nullptr);
        const ptree tree = DescribeOf(*c.data);
        EXPECT_EQ(tree.get<std::string>("exception"), c.exception);
        EXPECT_EQ(tree.count("what"), c.what.empty() ? 0u : 1u);
        EXPECT_EQ(tree.get<std::string>("what", ""), c.what);
        // The error string is the type name, never the message.
        EXPECT_EQ(c.data->ToErrorString(), c.exception);
    }
}

TEST(WorkStatusTest, ErrorStrings) {
    struct Plain : WorkStatusData {
        void Describe(ptree&) const override {}
    };
    EXPECT_EQ(Plain().ToErrorString(), "");
    EXPECT_EQ(MakeWorkErrorData("bad chunk")->ToErrorString(), "bad chunk");
    EXPECT_THROW(WorkExceptionData(nullptr).Rethrow(), std::logic_error);
}

}  // namespace
}  // namespace halcyne
