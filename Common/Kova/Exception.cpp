#include "Exception.h"

#include "String.h"

#include <windows.h>

#include <exception>

namespace Kova {

std::wstring ExceptionWithCode::GetMessageText() const
{
    std::wstring text;
    Format(text, L"Error: 0x%08X", code);
    return text;
}

std::wstring Win32Exception::GetMessageText() const
{
    wchar_t* systemText = nullptr;
    // Judged by the pointer, not the call's result: that is what tells
    // whether the system allocated a text for us to release.
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, GetCode(),
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&systemText), 0,
                   nullptr);
    if (systemText == nullptr) {
        return ExceptionWithCode::GetMessageText();
    }
    struct Release {
        wchar_t* text;
        ~Release() { LocalFree(text); }
    } release{systemText};
    return std::wstring(systemText);
}

LastErrorException::LastErrorException(const char* function, int line, const char* file)
    : Win32Exception(function, line, file, GetLastError())
{
}

StructuredException::~StructuredException()
{
    if (!continuable) {
        ExitProcess(GetCode());
    }
}

std::wstring StructuredException::GetMessageText() const
{
    std::wstring text;
    Format(text, L"Structured exception: 0x%08X at 0x%IX", GetCode(), address);
    return text;
}

std::wstring InvalidHandleException::GetMessageText() const
{
    return L"Handle is invalid";
}

void SeTranslator(unsigned int code, _EXCEPTION_POINTERS* information)
{
    bool continuable = true;
    std::uintptr_t address = 0;
    if (information != nullptr && information->ExceptionRecord != nullptr) {
        address = reinterpret_cast<std::uintptr_t>(information->ExceptionRecord->ExceptionAddress);
        if (information->ExceptionRecord->ExceptionFlags & EXCEPTION_NONCONTINUABLE) {
            continuable = false;
        }
    }
    throw StructuredException("Kova::SeTranslator", 103, "Exception", code, address, continuable);
}

// MinGW has no per-thread translator hook, so one is built here: a vectored
// handler sees the fault first, and for a thread that installed a translator
// it makes the faulting instruction "call" a routine that runs the
// translator. With -fnon-call-exceptions the unwinder then finds the
// handlers around the faulting instruction as if it had been a call.
namespace {

struct ThreadFaultState {
    SeTranslatorFunction translator = nullptr;
    bool pending = false;
    EXCEPTION_RECORD record{};
};

DWORD faultStateSlot = TLS_OUT_OF_INDEXES;
PVOID vectoredHandler = nullptr;

ThreadFaultState* CurrentFaultState()
{
    if (faultStateSlot == TLS_OUT_OF_INDEXES) {
        return nullptr;
    }
    const DWORD lastError = GetLastError();
    auto* state = static_cast<ThreadFaultState*>(TlsGetValue(faultStateSlot));
    SetLastError(lastError);
    return state;
}

// Faults the processor raises in ordinary code. Breakpoints, single steps,
// guard pages, stack overflow, debugger notifications and every software
// exception (the C++ runtime's own included) are left to the system.
bool IsHardwareFault(DWORD code)
{
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
        return true;
    default:
        return false;
    }
}

// Only our own image has the unwind tables the redirection relies on; a
// fault inside a system library is left to the system.
bool IsInThisModule(const void* address)
{
    HMODULE faulting = nullptr;
    HMODULE own = nullptr;
    const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    if (!GetModuleHandleExW(flags, static_cast<LPCWSTR>(address), &faulting)) {
        return false;
    }
    if (!GetModuleHandleExW(flags, reinterpret_cast<LPCWSTR>(&IsInThisModule), &own)) {
        return false;
    }
    return faulting == own;
}

[[noreturn]] __attribute__((noinline, used)) void RaiseTranslatedFault()
{
    ThreadFaultState* state = CurrentFaultState();
    EXCEPTION_RECORD record = state->record;
    state->pending = false;
    EXCEPTION_POINTERS pointers{&record, nullptr};
    state->translator(record.ExceptionCode, &pointers);
    // A translator that returns has nothing to resume: the fault stands.
    std::terminate();
}

LONG CALLBACK TranslateFault(EXCEPTION_POINTERS* information)
{
    ThreadFaultState* state = CurrentFaultState();
    EXCEPTION_RECORD* record = information->ExceptionRecord;
    if (state == nullptr || state->translator == nullptr || state->pending ||
        !IsHardwareFault(record->ExceptionCode) || !IsInThisModule(record->ExceptionAddress)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
#if defined(__i386__)
    state->record = *record;
    state->record.ExceptionRecord = nullptr;
    state->pending = true;
    CONTEXT* context = information->ContextRecord;
    // The return address points one byte past the fault, so that the
    // unwinder's "return address minus one" lands on the faulting
    // instruction itself and its handler region.
    context->Esp -= sizeof(DWORD);
    *reinterpret_cast<DWORD*>(context->Esp) = context->Eip + 1;
    context->Eip = reinterpret_cast<DWORD>(&RaiseTranslatedFault);
    return EXCEPTION_CONTINUE_EXECUTION;
#else
    return EXCEPTION_CONTINUE_SEARCH;
#endif
}

} // namespace

SeTranslatorFunction SetSeTranslator(SeTranslatorFunction translator)
{
    // The state lives as long as the thread; the slot is cleared with it.
    struct Holder {
        ThreadFaultState state;
        ~Holder()
        {
            if (faultStateSlot != TLS_OUT_OF_INDEXES) {
                TlsSetValue(faultStateSlot, nullptr);
            }
        }
    };
    static const bool installed = [] {
        faultStateSlot = TlsAlloc();
        vectoredHandler = AddVectoredExceptionHandler(1, &TranslateFault);
        return faultStateSlot != TLS_OUT_OF_INDEXES && vectoredHandler != nullptr;
    }();
    if (!installed) {
        return nullptr;
    }
    thread_local Holder holder;
    TlsSetValue(faultStateSlot, &holder.state);
    const SeTranslatorFunction previous = holder.state.translator;
    holder.state.translator = translator;
    return previous;
}

} // namespace Kova
