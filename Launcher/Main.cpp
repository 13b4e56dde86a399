#include "ErrorReporting.h"
#include "LaunchSequence.h"

#include "Kova/Exception.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    Kova::SetSeTranslator(&Kova::SeTranslator);
    try {
        Sparlin::RunLaunchSequence();
    } catch (...) {
        Sparlin::ShowExceptionMessage();
    }
    return 0;
}
