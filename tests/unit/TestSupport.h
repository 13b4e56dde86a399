#ifndef SPARLIN_TESTS_TESTSUPPORT_H
#define SPARLIN_TESTS_TESTSUPPORT_H

#include <cstdint>
#include <string>

namespace Testing {

// Scenarios that must run in a process of their own (they end it).
int RunChild(const std::wstring& scenario);

// Runs this test program with "--child scenario" and returns its exit code.
std::uint32_t RunChildProcess(const std::wstring& scenario);

std::wstring OwnPath();
std::wstring TempDirectory();
bool FileExists(const std::wstring& path);

// A fresh directory below the temporary directory, removed with its files.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    const std::wstring& Path() const { return path; }
    std::wstring File(const std::wstring& name) const { return path + L"\\" + name; }

private:
    std::wstring path;
};

// Sets an environment variable of this process for the object's lifetime.
class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const std::wstring& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::wstring name;
    std::wstring old;
    bool had = false;
};

} // namespace Testing

#endif
