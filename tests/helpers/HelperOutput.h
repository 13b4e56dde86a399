// key=value output shared by the test helpers: UTF-8, one pair per line,
// '%' and control characters percent-encoded so values stay on their line.
#pragma once

#include <windows.h>

#include <string>

namespace helpers {

inline std::string ToUtf8(const std::wstring& text)
{
    if (text.empty())
        return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
    return bytes;
}

inline std::string Escape(const std::string& bytes)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '%' || c < 0x20 || c == 0x7F) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Tests under Wine pass Unix paths, which the Windows file API would take as
// relative to the current drive.
inline std::wstring WindowsPath(const std::wstring& path)
{
    if (path.empty() || path[0] != L'/')
        return path;
    using ToDos = WCHAR*(CDECL*)(LPCSTR);
    auto toDos = reinterpret_cast<ToDos>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    WCHAR* converted = toDos ? toDos(ToUtf8(path).c_str()) : nullptr;
    if (!converted)
        return path;
    std::wstring result(converted);
    HeapFree(GetProcessHeap(), 0, converted);
    return result;
}

class Output {
public:
    void Add(const std::string& key, const std::wstring& value) { text_ += key + "=" + Escape(ToUtf8(value)) + "\n"; }
    const std::string& Text() const { return text_; }

    void ToStdout() const
    {
        // Raw bytes: redirected to a file or pipe they stay UTF-8.
        HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        DWORD written = 0;
        if (out && out != INVALID_HANDLE_VALUE)
            WriteFile(out, text_.data(), static_cast<DWORD>(text_.size()), &written, nullptr);
    }

    // Written beside and moved into place, so that a polling test never reads half of it.
    bool ToFile(const std::wstring& path) const
    {
        std::wstring partial = path + L".tmp";
        HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        DWORD written = 0;
        BOOL ok = WriteFile(file, text_.data(), static_cast<DWORD>(text_.size()), &written, nullptr) && written == text_.size();
        CloseHandle(file);
        if (ok && MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
            return true;
        DeleteFileW(partial.c_str());
        return false;
    }

private:
    std::string text_;
};

} // namespace helpers
