#ifndef KOVA_IWAITABLE_H
#define KOVA_IWAITABLE_H

#include <cstdint>

namespace Kova {

// Something whose end can be waited for: a thread or a process.
class IWaitable {
public:
    virtual ~IWaitable() = default;
    // Returns the wait result: 0 when it has ended, 0x102 when time ran out.
    virtual std::uint32_t Wait(std::uint32_t timeout) = 0;
    // Waits without a time limit.
    virtual std::uint32_t Wait() = 0;
};

} // namespace Kova

#endif
