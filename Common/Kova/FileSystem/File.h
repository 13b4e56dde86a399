#ifndef KOVA_FILESYSTEM_FILE_H
#define KOVA_FILESYSTEM_FILE_H

#include "../Buffer.h"
#include "../ScopedHandle.h"

#include <cstdint>
#include <string>

namespace Kova {
namespace FileSystem {

// An open file and the path it was opened under. Destroying it closes the
// handle and never deletes the file.
class File {
public:
    // Existing file, read access; others may read it but not write or delete it.
    static File Open(const std::wstring& path);
    // Creates or truncates, write access; others may read.
    static File Create(const std::wstring& path);
    // A fresh name in the user's temporary directory, with `extension` (no
    // dot) in place of TMP when given. No file of that name exists on return,
    // and the name is not reserved.
    static std::wstring GetTempFilePath(const wchar_t* extension);
    static File CreateTemp(const wchar_t* extension);
    // The same in a directory of the caller's choosing instead.
    static std::wstring GetTempFilePath(const wchar_t* extension, const std::wstring& directory);
    static File CreateTemp(const wchar_t* extension, const std::wstring& directory);

    File(KernelHandle&& handle, const wchar_t* path);
    File(File&&) = default;
    File& operator=(File&&) = default;

    std::uint64_t GetSize() const;
    std::uint64_t GetFilePointer() const;
    // Exactly `size` bytes from `offset`, through this handle and wherever its
    // file pointer stands; fewer bytes (the end of the file came first) throw.
    void ReadAt(std::uint64_t offset, void* data, std::uint32_t size) const;
    // One WriteFile at the current position.
    void Write(const void* data, std::uint32_t size);
    // Never throws; may be called again.
    void Close();
    // Close, then one deletion attempt; empties the path only on success.
    bool Delete();

    const wchar_t* GetPath() const { return path.c_str(); }
    // Empties the path once the file has been deleted by other means.
    void ForgetPath() { path.clear(); }
    bool IsOpen() const;
    void* GetHandle() const { return handle.Get(); }

private:
    KernelHandle handle;
    std::wstring path;
};

} // namespace FileSystem
} // namespace Kova

#endif
