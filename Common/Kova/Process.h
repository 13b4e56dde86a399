#ifndef KOVA_PROCESS_H
#define KOVA_PROCESS_H

#include "IWaitable.h"
#include "ScopedHandle.h"

#include <string>

namespace Kova {

// A started program. Destroying it only closes the handle: the program is
// neither waited for nor ended.
class Process : public IWaitable {
public:
    // Starts the command line's first token as the program; the launcher's
    // environment and current directory are inherited, handles are not.
    static Process Create(const std::wstring& commandLine, std::uint32_t creationFlags);
    // The same, working in `currentDirectory` instead of the launcher's.
    static Process Create(const std::wstring& commandLine, std::uint32_t creationFlags,
                          const std::wstring& currentDirectory);
    // Opens a file or address with the shell's "open" verb. When the shell
    // starts no new process the result holds no handle.
    static Process Run(const std::wstring& file);
    // True when this 32-bit process runs on 64-bit Windows; never fails.
    static bool IsWow64();

    Process(std::uint32_t id, KernelHandle&& handle);
    Process(Process&&) = default;

    std::uint32_t Wait(std::uint32_t timeout) override;
    std::uint32_t Wait() override;
    std::uint32_t GetId() const { return id; }

private:
    std::uint32_t id;
    KernelHandle handle;
};

} // namespace Kova

#endif
