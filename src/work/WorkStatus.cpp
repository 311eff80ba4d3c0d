#include "work/WorkStatus.hpp"

#include <stdexcept>
#include <typeinfo>

namespace halcyne {

std::string WorkStatusData::ToErrorString() const {
    return std::string();
}

WorkStatus::WorkStatus(WorkResult result, std::shared_ptr<WorkStatusData> data)
    : result(result), retry(false), data(std::move(data)) {}

void WorkStatus::Describe(boost::property_tree::ptree& tree) const {
    tree.put("result", std::to_string(static_cast<unsigned>(result)));
    tree.put("retry", retry ? "true" : "false");
    if (data) {
        data->Describe(tree.add_child("data", boost::property_tree::ptree()));
    }
}

WorkErrorData::WorkErrorData(std::string errorMessage) : errorMessage_(std::move(errorMessage)) {}

void WorkErrorData::Describe(boost::property_tree::ptree& tree) const {
    tree.put("errorMessage", errorMessage_);
}

std::string WorkErrorData::ToErrorString() const {
    return errorMessage_;
}

WorkExceptionData::WorkExceptionData(std::exception_ptr exception) : exception_(std::move(exception)) {}

void WorkExceptionData::Rethrow() const {
    if (!exception_) {
        throw std::logic_error("WorkExceptionData::Rethrow called with no exception_ptr");
    }
    std::rethrow_exception(exception_);
}

void WorkExceptionData::Describe(boost::property_tree::ptree& tree) const {
    try {
        Rethrow();
    } catch (const std::exception& e) {
        tree.put("exception", typeid(e).name());
        tree.put("what", e.what());
    } catch (...) {
        tree.put("exception", "Unknown exception type");
    }
}

std::string WorkExceptionData::ToErrorString() const {
    try {
        Rethrow();
    } catch (const std::exception& e) {
        return typeid(e).name();
    } catch (...) {
        return "Unknown exception type";
    }
}

std::shared_ptr<WorkStatusData> MakeWorkErrorData(std::string errorMessage) {
    return std::make_shared<WorkErrorData>(std::move(errorMessage));
}

std::shared_ptr<WorkStatusData> MakeWorkExceptionData(std::exception_ptr exception) {
    return std::make_shared<WorkExceptionData>(std::move(exception));
}

}  // namespace halcyne
