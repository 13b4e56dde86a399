// Loads a system library by its bare name, as any program without the
// launcher's precautions would: the planting test's proof that a planted DLL
// beside the program would be seen in Wine's load log.
//
// PlantControl hold READY RELEASE FOLDER...: another program of the user at
// work in planted folders; it holds each open, writes READY, and lets go
// once RELEASE exists.
#include <windows.h>

#include <cwchar>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 4 && std::wcscmp(argv[1], L"hold") == 0) {
        std::vector<HANDLE> held;
        for (int i = 4; i < argc; ++i) {
            HANDLE folder = CreateFileW(argv[i], FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
            if (folder == INVALID_HANDLE_VALUE) {
                return 2;
            }
            held.push_back(folder);
        }
        CloseHandle(CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        while (GetFileAttributesW(argv[3]) == INVALID_FILE_ATTRIBUTES) {
            Sleep(50);
        }
        return 0;
    }
    return LoadLibraryW(L"version.dll") != nullptr ? 0 : 1;
}
