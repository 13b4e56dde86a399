#include "Output.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace sparlin::pack {
namespace {

const char kPartialTag[] = ".sparlin-pack-", kPartialEnd[] = ".partial";
// A partial file this old is stale even if its process number was taken again.
constexpr auto kStaleAge = std::chrono::hours(1);

#ifdef _WIN32
using FileId = std::pair<uint64_t, uint64_t>; // volume serial, file index

std::optional<FileId> Identity(const fs::path& path) {
    const HANDLE h = CreateFileW(LongPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (!ok)
        return std::nullopt;
    return FileId{info.dwVolumeSerialNumber, uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
}

bool ProcessGone(unsigned long pid) {
    const HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!h)
        return GetLastError() == ERROR_INVALID_PARAMETER;
    DWORD code = 0;
    const bool gone = GetExitCodeProcess(h, &code) && code != STILL_ACTIVE;
    CloseHandle(h);
    return gone;
}

unsigned long OwnPid() { return GetCurrentProcessId(); }

// The C library's stat takes neither long paths nor the prefix that allows them.
bool IsFolder(const fs::path& path) {
    const DWORD attributes = GetFileAttributesW(LongPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}
#else
using FileId = std::pair<uint64_t, uint64_t>; // device, inode

std::optional<FileId> Identity(const fs::path& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return FileId{uint64_t(st.st_dev), uint64_t(st.st_ino)};
}

bool ProcessGone(unsigned long pid) {
    return pid == 0 || pid > 0x7FFFFFFF || (kill(pid_t(pid), 0) != 0 && errno == ESRCH);
}

unsigned long OwnPid() { return static_cast<unsigned long>(getpid()); }

bool IsFolder(const fs::path& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}
#endif

// File names stay in the system's own form: a name not in the code page must not stop the run.
using Native = fs::path::string_type;
Native Widen(const char* s) { return Native(s, s + std::strlen(s)); }

// ".<name>.sparlin-pack-<pid>-<n>.partial": the process number, or 0 if `name` is not of that shape.
unsigned long PartialPid(const Native& name) {
    const Native tagText = Widen(kPartialTag), endText = Widen(kPartialEnd);
    if (name.size() < 2 + tagText.size() + 3 + endText.size() || name[0] != '.' ||
        name.compare(name.size() - endText.size(), endText.size(), endText) != 0)
        return 0;
    const size_t end = name.size() - endText.size(), tag = name.rfind(tagText, end);
    if (tag == Native::npos || tag < 2)
        return 0;
    const Native numbers = name.substr(tag + tagText.size(), end - tag - tagText.size());
    const size_t dash = numbers.find('-');
    auto digits = [](const Native& n) { return !n.empty() && n.size() <= 9 && n.find_first_not_of(Widen("0123456789")) == Native::npos; };
    if (dash == Native::npos || !digits(numbers.substr(0, dash)) || !digits(numbers.substr(dash + 1)))
        return 0;
    return std::stoul(numbers.substr(0, dash));
}

// Partial files of ours whose run is over: its process is gone, or it is old.
void RemoveStalePartials(const fs::path& folder) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const unsigned long pid = PartialPid(it->path().filename().native());
        std::error_code entry;
        if (!pid || pid == OwnPid() || fs::symlink_status(it->path(), entry).type() != fs::file_type::regular)
            continue;
        const auto written = fs::last_write_time(it->path(), entry);
        if (!entry && (ProcessGone(pid) || fs::file_time_type::clock::now() - written > kStaleAge))
            fs::remove(it->path(), entry);
    }
}

[[noreturn]] void Fail(const std::string& what, const std::string& shown) {
#ifdef _WIN32
    throw Error("cannot " + what + " " + shown + " (error " + std::to_string(GetLastError()) + ")");
#else
    throw Error("cannot " + what + " " + shown + ": " + std::strerror(errno));
#endif
}

// Creates `data` as a new file, flushed to the disk; false if the name is taken.
bool CreateFlushed(const fs::path& path, const Bytes& data, const std::string& target) {
#ifdef _WIN32
    const HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS)
            return false;
        Fail("create a file beside", target);
    }
    bool ok = true;
    for (size_t at = 0; ok && at < data.size();) {
        DWORD written = 0;
        const DWORD chunk = DWORD(std::min<size_t>(data.size() - at, 1u << 24));
        ok = WriteFile(h, data.data() + at, chunk, &written, nullptr) && written == chunk;
        at += written;
    }
    ok = ok && FlushFileBuffers(h);
    const DWORD error = GetLastError();
    CloseHandle(h);
    if (!ok) {
        DeleteFileW(path.c_str());
        SetLastError(error);
        Fail("write", target);
    }
#else
    const int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0755);
    if (fd < 0) {
        if (errno == EEXIST)
            return false;
        Fail("create a file beside", target);
    }
    bool ok = true;
    for (size_t at = 0; ok && at < data.size();) {
        const ssize_t n = write(fd, data.data() + at, data.size() - at);
        ok = n > 0 || (n < 0 && errno == EINTR);
        at += n > 0 ? size_t(n) : 0;
    }
    ok = ok && fsync(fd) == 0;
    const int error = errno;
    ok = close(fd) == 0 && ok;
    if (!ok) {
        unlink(path.c_str());
        errno = error;
        Fail("write", target);
    }
#endif
    return true;
}

// Renames `from` over `to`. On Windows a scanner may hold the new file for a moment: try again for a few seconds.
void Replace(const fs::path& from, const fs::path& to, const std::string& shown) {
#ifdef _WIN32
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return;
        const DWORD error = GetLastError();
        if (attempt >= 50 || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION)) {
            DeleteFileW(from.c_str());
            SetLastError(error);
            Fail("replace", shown);
        }
        Sleep(100);
    }
#else
    if (rename(from.c_str(), to.c_str()) != 0) {
        const int error = errno;
        unlink(from.c_str());
        errno = error;
        Fail("replace", shown);
    }
    // The rename itself reaches the disk with its folder.
    const int dir = open(to.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
#endif
}

} // namespace

fs::path LongPath(const fs::path& path) {
#ifdef _WIN32
    const std::wstring& s = path.native();
    if (s.size() < MAX_PATH - 12 || s.rfind(L"\\\\?\\", 0) == 0)
        return path;
    // The prefix turns off the parsing of "." and ".." and of "/": resolve them first.
    std::wstring full(GetFullPathNameW(s.c_str(), 0, nullptr, nullptr), L'\0');
    const DWORD n = GetFullPathNameW(s.c_str(), DWORD(full.size()), full.data(), nullptr);
    if (n == 0 || n >= full.size())
        return path;
    full.resize(n);
    if (full.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
#else
    return path;
#endif
}

void CheckOutput(const fs::path& output, const std::string& shown, const std::vector<std::pair<fs::path, std::string>>& inputs) {
    if (!IsFolder(output.parent_path()))
        throw Error("the folder of " + shown + " does not exist");
    if (IsFolder(output))
        throw Error(shown + " is a folder");
    const std::optional<FileId> out = Identity(output);
    if (!out)
        return;
    for (const auto& [path, name] : inputs)
        if (Identity(path) == out)
            throw Error(shown + " is " + name + ": the output would replace it (give another -o)");
}

void WriteOutput(const fs::path& output, const std::string& shown, const Bytes& data) {
    const fs::path target = LongPath(output);
    RemoveStalePartials(output.parent_path());
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        fs::path name = ".";
        name += target.filename();
        name += kPartialTag + std::to_string(OwnPid()) + "-" + std::to_string(attempt) + kPartialEnd;
        const fs::path temp = target.parent_path() / name;
        if (CreateFlushed(temp, data, shown)) {
            Replace(temp, target, shown);
            return;
        }
    }
    throw Error("cannot create a file beside " + shown);
}

} // namespace sparlin::pack
