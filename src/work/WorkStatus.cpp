#include "work/WorkStatus.hpp"

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <typeinfo>

#include <cxxabi.h>

namespace halcyne {

std::string ReadableTypeName(const std::type_info& type) noexcept {
    try {
        int state = -1;
        const std::unique_ptr<char, void (*)(void*)> name(
            abi::__cxa_demangle(type.name(), nullptr, nullptr, &state), std::free);
        return state == 0 && name ? std::string(name.get()) : std::string(type.name());
    } catch (...) {
        return std::string();
    }
}

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
        tree.put("exception", ReadableTypeName(typeid(e)));
        tree.put("what", e.what());
    } catch (...) {
        tree.put("exception", "Unknown exception type");
    }
}

std::string WorkExceptionData::ToErrorString() const {
    try {
        Rethrow();
    } catch (const std::exception& e) {
        return ReadableTypeName(typeid(e));
    } catch (...) {
        return "Unknown exception type";
    }
}

std::string WorkExceptionData::Message() const {
    try {
        Rethrow();
    } catch (const std::exception& e) {
        const std::string what = e.what();
        return what.empty() ? ReadableTypeName(typeid(e)) : what;
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
