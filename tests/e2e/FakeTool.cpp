// Stand-ins for the LZMA tool, for launcher variants that test how the
// launcher copes with a tool that fails.
//   FAKE_TOOL_WRITES_NOTHING: exits 3 and writes no output.
//   FAKE_TOOL_DECODES_THEN_FAILS: decodes correctly, then exits 1.
//   FAKE_TOOL_WRITES_WRONG_BYTES: writes something else and exits 0; for an
//     .exe output it first holds its files open for a second, so that the
//     launcher's clean-up finds it still running.
#include "LzmaDecoder.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
#if defined(FAKE_TOOL_WRITES_NOTHING)
    (void)argc;
    (void)argv;
    return 3;
#elif defined(FAKE_TOOL_DECODES_THEN_FAILS)
    if (argc != 4 || std::wcscmp(argv[1], L"d") != 0) {
        return 2;
    }
    std::FILE* in = _wfopen(argv[2], L"rb");
    if (in == nullptr) {
        return 2;
    }
    std::vector<unsigned char> packed;
    unsigned char chunk[65536];
    size_t read;
    while ((read = std::fread(chunk, 1, sizeof(chunk), in)) > 0) {
        packed.insert(packed.end(), chunk, chunk + read);
    }
    std::fclose(in);
    const std::vector<uint8_t> plain = lzma::DecodeBuffer(packed.data(), packed.size());
    std::FILE* out = _wfopen(argv[3], L"wb");
    if (out == nullptr) {
        return 2;
    }
    std::fwrite(plain.data(), 1, plain.size(), out);
    std::fclose(out);
    return 1;
#elif defined(FAKE_TOOL_WRITES_WRONG_BYTES)
    if (argc != 4) {
        return 2;
    }
    std::FILE* in = _wfopen(argv[2], L"rb");
    std::FILE* out = _wfopen(argv[3], L"wb");
    if (in == nullptr || out == nullptr) {
        return 2;
    }
    std::fputs("MZ but not the payload", out);
    std::fflush(out);
    const size_t length = std::wcslen(argv[3]);
    if (length > 4 && _wcsicmp(argv[3] + length - 4, L".exe") == 0) {
        // A slow tool: whether the launcher waits for it must not depend on
        // how fast it is, and a second is far longer than the launcher needs
        // to find the first output wrong.
        Sleep(1000);
    }
    std::fclose(out);
    std::fclose(in);
    return 0;
#else
#error choose a fake tool
#endif
}
