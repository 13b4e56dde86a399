// Native replacement for the Windows-only File.cpp: just enough of
// Kova::FileSystem::File for Hash::Calculate(const File&) to be tested. The
// handle stays empty; the path is all it needs.
#include "FileSystem/File.h"

#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>

namespace Kova {

void CloseKernelHandle(void*) {}

namespace FileSystem {

File::File(KernelHandle&& handle, const wchar_t* path) : handle(std::move(handle)), path(path) {}

File File::Open(const std::wstring& path)
{
    if (!std::filesystem::is_regular_file(std::filesystem::path(path))) {
        throw std::runtime_error("no such file");
    }
    return File(KernelHandle(), path.c_str());
}

std::uint64_t File::GetSize() const
{
    return std::filesystem::file_size(std::filesystem::path(path));
}

void File::ReadAt(std::uint64_t offset, void* data, std::uint32_t size) const
{
    std::ifstream stream(std::filesystem::path(path), std::ios::binary);
    stream.seekg(static_cast<std::streamoff>(offset));
    stream.read(static_cast<char*>(data), static_cast<std::streamsize>(size));
    if (!stream || static_cast<std::uint64_t>(stream.gcount()) != size) {
        throw std::runtime_error("short read");
    }
}

} // namespace FileSystem
} // namespace Kova
