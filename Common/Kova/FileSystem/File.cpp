#include "File.h"

#include "../Exception.h"

#include <windows.h>

namespace Kova {
namespace FileSystem {

namespace {

bool IsValid(HANDLE handle)
{
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

const char* const source = "FileSystem/File";

} // namespace

File::File(KernelHandle&& handle, const wchar_t* path) : handle(std::move(handle)), path(path ? path : L"") {}

bool File::IsOpen() const
{
    return IsValid(handle.Get());
}

std::uint64_t File::GetSize() const
{
    if (!IsValid(handle.Get())) {
        throw InvalidHandleException("Kova::FileSystem::File::GetSize", 47, source);
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle.Get(), &size)) {
        throw LastErrorException("Kova::FileSystem::File::GetSize", 55, source);
    }
    return static_cast<std::uint64_t>(size.QuadPart);
}

void File::ReadAt(std::uint64_t offset, void* data, std::uint32_t size) const
{
    if (!IsValid(handle.Get())) {
        throw InvalidHandleException("Kova::FileSystem::File::ReadAt", 0, source);
    }
    // The offset travels with the read, so the file pointer (wherever a
    // caller left it) does not matter.
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    if (!ReadFile(handle.Get(), data, size, &read, &at)) {
        if (GetLastError() == ERROR_HANDLE_EOF) {
            read = 0;
        } else {
            throw LastErrorException("Kova::FileSystem::File::ReadAt", 0, source);
        }
    }
    if (read != size) {
        throw Win32Exception("Kova::FileSystem::File::ReadAt", 0, source, ERROR_HANDLE_EOF);
    }
}

void File::Write(const void* data, std::uint32_t size)
{
    if (!IsValid(handle.Get())) {
        throw InvalidHandleException("Kova::FileSystem::File::Write", 107, source);
    }
    DWORD written = 0;
    if (!WriteFile(handle.Get(), data, size, &written, nullptr)) {
        throw LastErrorException("Kova::FileSystem::File::Write", 121, source);
    }
}

std::uint64_t File::GetFilePointer() const
{
    if (!IsValid(handle.Get())) {
        throw InvalidHandleException("Kova::FileSystem::File::GetFilePointer", 129, source);
    }
    LARGE_INTEGER distance{};
    LARGE_INTEGER position{};
    if (!SetFilePointerEx(handle.Get(), distance, &position, FILE_CURRENT)) {
        throw LastErrorException("Kova::FileSystem::File::GetFilePointer", 137, source);
    }
    return static_cast<std::uint64_t>(position.QuadPart);
}

void File::Close()
{
    handle = KernelHandle();
}

bool File::Delete()
{
    Close();
    if (!DeleteFileW(path.c_str())) {
        return false;
    }
    path.clear();
    return true;
}

File File::Open(const std::wstring& path)
{
    HANDLE opened = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (!IsValid(opened)) {
        throw LastErrorException("Kova::FileSystem::File::Open", 206, source);
    }
    return File(KernelHandle(opened), path.c_str());
}

File File::Create(const std::wstring& path)
{
    HANDLE created = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (!IsValid(created)) {
        throw LastErrorException("Kova::FileSystem::File::Create", 229, source);
    }
    return File(KernelHandle(created), path.c_str());
}

std::wstring File::GetTempFilePath(const wchar_t* extension)
{
    wchar_t directory[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH, directory);
    if (length == 0) {
        throw LastErrorException("Kova::FileSystem::File::GetTempFilePath", 255, source);
    }
    if (length >= MAX_PATH) {
        // Too long for the buffer, which then holds nothing usable.
        throw Win32Exception("Kova::FileSystem::File::GetTempFilePath", 255, source, ERROR_FILENAME_EXCED_RANGE);
    }
    return GetTempFilePath(extension, directory);
}

std::wstring File::GetTempFilePath(const wchar_t* extension, const std::wstring& directory)
{
    wchar_t name[MAX_PATH];
    if (GetTempFileNameW(directory.c_str(), L"", 0, name) == 0) {
        throw LastErrorException("Kova::FileSystem::File::GetTempFilePath", 266, source);
    }
    // Only the unique name is wanted; the empty file the system made goes.
    DeleteFileW(name);
    std::wstring path(name);
    if (extension != nullptr) {
        const size_t dot = path.rfind(L'.');
        if (dot != std::wstring::npos) {
            path.replace(dot + 1, std::wstring::npos, extension);
        }
    }
    return path;
}

File File::CreateTemp(const wchar_t* extension)
{
    return Create(GetTempFilePath(extension));
}

File File::CreateTemp(const wchar_t* extension, const std::wstring& directory)
{
    return Create(GetTempFilePath(extension, directory));
}

} // namespace FileSystem
} // namespace Kova
