#ifndef KOVA_THREAD_H
#define KOVA_THREAD_H

#include "Exception.h"
#include "IWaitable.h"
#include "ScopedHandle.h"

#include <windows.h>

namespace Kova {

// Runs one task object on its own thread. Destroying a Thread only closes
// its handle: the thread runs on, detached, until its task returns or the
// process ends.
class Thread : public IWaitable {
public:
    // The task is copied onto the heap and belongs to the new thread, which
    // destroys it after running it. The task must not let exceptions escape.
    template <typename Task>
    static Thread Create(const Task& task);

    explicit Thread(KernelHandle&& handle);
    Thread(Thread&&) = default;

    std::uint32_t Wait(std::uint32_t timeout) override;
    std::uint32_t Wait() override;

private:
    template <typename Task>
    static DWORD WINAPI StartRoutine(void* parameter)
    {
        SetSeTranslator(&SeTranslator);
        Task* task = static_cast<Task*>(parameter);
        (*task)();
        delete task;
        return 0;
    }

    std::uint32_t id;
    KernelHandle handle;
};

template <typename Task>
Thread Thread::Create(const Task& task)
{
    Task* copy = new Task(task);
    KernelHandle handle(CreateThread(nullptr, 0, &StartRoutine<Task>, copy, 0, nullptr));
    if (handle.IsEmpty()) {
        const DWORD error = GetLastError();
        delete copy;
        SetLastError(error);
        throw LastErrorException("Kova::Thread::Create", 77, "Thread");
    }
    return Thread(std::move(handle));
}

} // namespace Kova

#endif
