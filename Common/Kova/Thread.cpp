#include "Thread.h"

namespace Kova {

Thread::Thread(KernelHandle&& handle) : id(0xFFFFFFFF), handle(std::move(handle)) {}

std::uint32_t Thread::Wait(std::uint32_t timeout)
{
    HANDLE value = handle.Get();
    if (value == nullptr || value == INVALID_HANDLE_VALUE) {
        throw InvalidHandleException("Kova::Thread::Wait", 72, "Thread");
    }
    const DWORD result = WaitForSingleObject(value, timeout);
    if (result == WAIT_FAILED) {
        throw LastErrorException("Kova::Thread::Wait", 78, "Thread");
    }
    return result;
}

std::uint32_t Thread::Wait()
{
    return Wait(INFINITE);
}

} // namespace Kova
