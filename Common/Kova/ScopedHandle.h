#ifndef KOVA_SCOPEDHANDLE_H
#define KOVA_SCOPEDHANDLE_H

#include <functional>

namespace Kova {

// Closers for the three handle kinds the library owns. Each ignores the
// system's result: a failed close cannot be acted upon.
void CloseKernelHandle(void* handle);
void CloseInternetHandle(void* handle);
void CloseRegistryKey(void* key);

// Owns one handle value and closes it exactly once. Only null counts as
// empty; INVALID_HANDLE_VALUE is an ordinary value here, and owners whose
// system call can return it test for it themselves.
template <typename T>
class ScopedHandle {
public:
    using Closer = std::function<void(T)>;

    ScopedHandle() : closer(&CloseKernelHandleOf), value(T()) {}
    explicit ScopedHandle(T value) : closer(&CloseKernelHandleOf), value(value) {}
    explicit ScopedHandle(Closer closer) : closer(std::move(closer)), value(T()) {}
    ScopedHandle(T value, Closer closer) : closer(std::move(closer)), value(value) {}

    // Takes the source's closer along with its value: a moved registry key
    // or internet handle must still be closed by its own kind of closer.
    ScopedHandle(ScopedHandle&& other) noexcept : closer(other.closer), value(other.value) { other.value = T(); }

    // Keeps this holder's own closer: only the value travels.
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            value = other.value;
            other.value = T();
        }
        return *this;
    }

    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    ~ScopedHandle() { Reset(); }

    T Get() const { return value; }
    bool IsEmpty() const { return value == T(); }

    // Hands the value over without closing it.
    [[nodiscard]] T Release() {
        T released = value;
        value = T();
        return released;
    }

    void Reset() {
        if (value != T()) {
            closer(value);
            value = T();
        }
    }

private:
    static void CloseKernelHandleOf(T handle) { CloseKernelHandle(reinterpret_cast<void*>(handle)); }

    Closer closer;
    T value;
};

using KernelHandle = ScopedHandle<void*>;

} // namespace Kova

#endif
