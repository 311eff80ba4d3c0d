#include "work/WorkManager.hpp"

#include "work/SimpleWork.hpp"
#include "work/Workflow.hpp"

namespace halcyne {

void RunStandaloneWork(SimpleWork& work) noexcept {
    try {
        const WorkStatus status = work.Run();
        work.NotifyComplete(status);
    } catch (...) {
        // Only a completion callback can get here (the run loop catches the task's exceptions); the work
        // has nobody else to report to.
    }
}

void RunWorkflowWork(Workflow& workflow, SimpleWork& work) noexcept {
    try {
        const std::shared_ptr<Work> self = work.SharedFromThis();
        const WorkStatus status = work.Run();
        work.NotifyComplete(status);
        workflow.OnTaskComplete(self, status);
        return;
    } catch (...) {
        try {
            workflow.Cancel(WorkStatus(WorkResult::Error, MakeWorkExceptionData(std::current_exception())));
        } catch (...) {
            // A root callback threw while learning of the cancellation: the workflow is cancelled already.
        }
    }
}

}  // namespace halcyne
