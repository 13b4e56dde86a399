#ifndef KOVA_EXCEPTION_H
#define KOVA_EXCEPTION_H

#include <cstdint>
#include <string>

struct _EXCEPTION_POINTERS;

namespace Kova {

// Root of the library's failures. Thrown by value, caught by reference; the
// runtime destroys the object by its thrown type, so no virtual destructor.
// The location is for inspection only and never reaches the user's text.
class Exception {
public:
    Exception(const char* function, int line, const char* file)
        : function(function), line(line), file(file) {}

    virtual std::wstring GetMessageText() const = 0;

    const char* GetFunction() const { return function; }
    int GetLine() const { return line; }
    const char* GetFile() const { return file; }

protected:
    ~Exception() = default;

private:
    const char* function;
    std::int32_t line;
    const char* file;
};

class ExceptionWithCode : public Exception {
public:
    ExceptionWithCode(const char* function, int line, const char* file, std::uint32_t code)
        : Exception(function, line, file), code(code) {}

    std::wstring GetMessageText() const override;   // "Error: 0x%08X"
    std::uint32_t GetCode() const { return code; }

private:
    std::uint32_t code;
};

// The system's own message for a Windows error code, as FormatMessageW gives
// it (line break kept); falls back to the "Error: 0x%08X" text.
class Win32Exception : public ExceptionWithCode {
public:
    Win32Exception(const char* function, int line, const char* file, std::uint32_t code)
        : ExceptionWithCode(function, line, file, code) {}

    std::wstring GetMessageText() const override;
};

// Reads GetLastError() itself, so the throw site must call nothing between
// the failing call and the throw.
class LastErrorException : public Win32Exception {
public:
    LastErrorException(const char* function, int line, const char* file);
};

class FileNotFoundException : public Win32Exception {
public:
    FileNotFoundException(const char* function, int line, const char* file, std::wstring path)
        : Win32Exception(function, line, file, 2), path(std::move(path)) {}

    const std::wstring& GetPath() const { return path; }

private:
    std::wstring path;
};

// A hardware fault turned into a C++ exception. Destroying one that was not
// continuable ends the process with its code, after the handler has shown it.
class StructuredException : public ExceptionWithCode {
public:
    StructuredException(const char* function, int line, const char* file, std::uint32_t code,
                        std::uintptr_t address, bool continuable)
        : ExceptionWithCode(function, line, file, code), address(address), continuable(continuable) {}
    StructuredException(const StructuredException&) = default;
    ~StructuredException();

    std::wstring GetMessageText() const override;
    std::uintptr_t GetAddress() const { return address; }
    bool IsContinuable() const { return continuable; }

private:
    std::uintptr_t address;
    bool continuable;
};

class InvalidHandleException : public Exception {
public:
    InvalidHandleException(const char* function, int line, const char* file)
        : Exception(function, line, file) {}

    std::wstring GetMessageText() const override;   // "Handle is invalid"
};

// Translator of structured exceptions: never returns, throws StructuredException.
[[noreturn]] void SeTranslator(unsigned int code, _EXCEPTION_POINTERS* information);

using SeTranslatorFunction = void (*)(unsigned int, _EXCEPTION_POINTERS*);

// Installs a translator for the calling thread only, as the runtime's
// per-thread hook would; returns the previous one. Hardware faults raised in
// this program's own code on that thread then arrive as C++ exceptions that
// ordinary handlers catch. Requires code built with -fnon-call-exceptions.
SeTranslatorFunction SetSeTranslator(SeTranslatorFunction translator);

} // namespace Kova

#endif
