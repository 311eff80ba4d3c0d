// Results and statuses of works, and the status data that explains them.
// A WorkStatus is a value passed between threads; its data is immutable once attached and shared by
// reference counting, so statuses are copied and described freely on any thread.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <typeinfo>

#include <boost/property_tree/ptree.hpp>

namespace halcyne {

enum class WorkResult : std::uint8_t {
    Success = 0,         // final: the job is done
    Failure = 1,         // final: a well-defined negative outcome, with data that says why
    Interrupted = 2,     // not final: the workflow queues the work again
    RetryableError = 3,  // not final: retried while the policy allows, then the workflow waits
    Error = 4,           // final: the workflow stops
};

// Everything that can describe itself into a property tree.
class WorkDescriptor {
public:
    virtual ~WorkDescriptor() = default;
    virtual void Describe(boost::property_tree::ptree& tree) const = 0;
};

// Base of all status data. Created once, held by shared pointers, never changed after construction.
class WorkStatusData : public WorkDescriptor {
public:
    ~WorkStatusData() override = default;
    void Describe(boost::property_tree::ptree& tree) const override = 0;
    // One-line error text used as the "error" field of error analytics reports.
    virtual std::string ToErrorString() const;
};

struct WorkStatus : public WorkDescriptor {
    explicit WorkStatus(WorkResult result = WorkResult::Error,
                        std::shared_ptr<WorkStatusData> data = nullptr);
    WorkStatus(const WorkStatus&) = default;
    WorkStatus& operator=(const WorkStatus&) = default;
    WorkStatus(WorkStatus&&) = default;
    WorkStatus& operator=(WorkStatus&&) = default;
    ~WorkStatus() override = default;

    // "result" as a decimal number, "retry" as "true"/"false", and "data" when there is data.
    void Describe(boost::property_tree::ptree& tree) const override;

    WorkResult result;
    bool retry;  // the work that produced this status is about to run its task again
    std::shared_ptr<WorkStatusData> data;
};

// Virtual base so that transfer-specific data can derive from this and another status data class.
class WorkErrorData : public virtual WorkStatusData {
public:
    explicit WorkErrorData(std::string errorMessage);
    void Describe(boost::property_tree::ptree& tree) const override;
    std::string ToErrorString() const override;
    const std::string& ErrorMessage() const { return errorMessage_; }

private:
    const std::string errorMessage_;
};

// The type's name as the source spells it ("halcyne::FileInUseException"), or the compiler's own name when
// it cannot be demangled. Never throws.
std::string ReadableTypeName(const std::type_info& type) noexcept;

// A captured exception. Made while the exception is being handled (or from a given pointer).
class WorkExceptionData : public virtual WorkStatusData {
public:
    explicit WorkExceptionData(std::exception_ptr exception);
    // Throws the stored exception; std::logic_error when there is none.
    [[noreturn]] void Rethrow() const;
    // "exception" = the readable dynamic type name, and "what" for a std::exception. Never throws.
    void Describe(boost::property_tree::ptree& tree) const override;
    // The readable dynamic type name (not the message), or "Unknown exception type". Never throws.
    std::string ToErrorString() const override;
    // The exception's message, or its readable type name when the message is empty. Never throws.
    std::string Message() const;
    const std::exception_ptr& Exception() const { return exception_; }

private:
    const std::exception_ptr exception_;
};

// Error data with a message, as the base status data type that statuses hold.
std::shared_ptr<WorkStatusData> MakeWorkErrorData(std::string errorMessage);

// Exception data for the exception currently being handled.
std::shared_ptr<WorkStatusData> MakeWorkExceptionData(
    std::exception_ptr exception = std::current_exception());

}  // namespace halcyne
