#include "TestSupport.h"

#include "Kova/Exception.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>

int wmain(int argc, wchar_t** argv)
{
    Kova::SetSeTranslator(&Kova::SeTranslator);
    if (argc >= 3 && std::wcscmp(argv[1], L"--child") == 0) {
        return Testing::RunChild(argv[2]);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
