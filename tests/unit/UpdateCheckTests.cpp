#include "UpdateCheck.h"

#include "Kova/System.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>

namespace {

std::string Utf8(const std::wstring& text)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(length > 0 ? length - 1 : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, result.data(), length, nullptr, nullptr);
    return result;
}

} // namespace

TEST(UpdateCheckTest, QueryPathHoldsTheFourValuesInOrderUnencoded)
{
    EXPECT_EQ(Sparlin::MakeQueryPath(L"DA39A3EE5E6B4B0D3255BFEF95601890AFD80709", L"1.2.35.0", L"6.1.7601", L"64"),
              L"/update.php?uid=DA39A3EE5E6B4B0D3255BFEF95601890AFD80709&app=1.2.35.0&os=6.1.7601&bits=64");
    EXPECT_EQ(Sparlin::MakeQueryPath(L"", L"", L"", L""), L"/update.php?uid=&app=&os=&bits=");
}

TEST(UpdateCheckTest, SystemVersionIsWhatGetVersionExReports)
{
    const std::wstring version = Kova::System::GetFullVersion();
    EXPECT_EQ(version.find_first_not_of(L"0123456789."), std::wstring::npos) << version.c_str();
    EXPECT_EQ(std::count(version.begin(), version.end(), L'.'), 2) << version.c_str();

    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ASSERT_TRUE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info)));
#pragma GCC diagnostic pop
    EXPECT_EQ(version, std::to_wstring(info.dwMajorVersion) + L"." + std::to_wstring(info.dwMinorVersion) + L"." +
                           std::to_wstring(info.dwBuildNumber));
    RecordProperty("os", Utf8(version));
}

TEST(UpdateCheckTest, DownloadPageTakesTheSchemeOfTheSettingElseHttp)
{
    using Sparlin::MakeDownloadPage;
    EXPECT_EQ(MakeDownloadPage(L"www.example.com"), L"http://www.example.com/download.php");
    EXPECT_EQ(MakeDownloadPage(L"127.0.0.1"), L"http://127.0.0.1/download.php");
    EXPECT_EQ(MakeDownloadPage(L"www.example.com:8080"), L"http://www.example.com:8080/download.php");
    EXPECT_EQ(MakeDownloadPage(L"https://www.example.com"), L"https://www.example.com/download.php");
    EXPECT_EQ(MakeDownloadPage(L"http://www.example.com"), L"http://www.example.com/download.php");
    EXPECT_EQ(MakeDownloadPage(L"HTTPS://Example.com:8443"), L"HTTPS://Example.com:8443/download.php");
    EXPECT_EQ(MakeDownloadPage(L"https://www.example.com/"), L"https://www.example.com/download.php");
    // A host that merely begins like a scheme is still a host.
    EXPECT_EQ(MakeDownloadPage(L"https.example.com"), L"http://https.example.com/download.php");
    EXPECT_EQ(MakeDownloadPage(L"httpsmirror.example.com"), L"http://httpsmirror.example.com/download.php");
}
