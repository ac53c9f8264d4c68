#include <windows.h>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "util/Utils.h"

using namespace mirq;
using mirqtest::GetSandbox;

TEST(Conversions, AnsiToWideUsesAtMost1021Bytes) {
    EXPECT_EQ(AnsiToWide(std::string(1021, 'a')).size(), 1021u);
    EXPECT_EQ(AnsiToWide(std::string(1022, 'a')).size(), 1021u);
    EXPECT_EQ(AnsiToWide(std::string(5000, 'a')).size(), 1021u);
    EXPECT_EQ(AnsiToWide(std::string("ab\0cd", 5)), L"ab");
    EXPECT_EQ(AnsiToWide(""), L"");
}

TEST(Conversions, CodePage936BothWays) {
    ASSERT_EQ(GetACP(), 936u) << "tests expect LANG=zh_CN.UTF-8 under Wine";
    ASSERT_EQ(GetOEMCP(), 936u);
    const std::wstring text = L"刷机 update.zip";
    std::string oem = WideToOem(text);
    EXPECT_EQ(oem.size(), 15u);  // two double-byte characters
    EXPECT_EQ(AnsiToWide(oem), text);
}

// Run again where the ANSI page (1252) lacks what the OEM page (437) has:
// a path goes to adb whole only when both pages carry it.
TEST(Conversions, APathGoesWholeOnlyWhereBothCodePagesCarryIt) {
    const std::wstring path = L"C:\\box \u2500 line.zip";  // none: no short name stands in
    auto carries = [](UINT page, const std::wstring& text) {
        BOOL lost = FALSE;
        const int n = WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, text.c_str(), -1, nullptr, 0, nullptr, &lost);
        return n > 0 && !lost;
    };
    const bool both = carries(CP_ACP, path) && carries(CP_OEMCP, path);
    EXPECT_EQ(OemExactPath(path), both ? path : L"");
}

TEST(Conversions, WideToOemUsesAtMost1022Characters) {
    EXPECT_EQ(WideToOem(std::wstring(1022, L'x')).size(), 1022u);
    EXPECT_EQ(WideToOem(std::wstring(1023, L'x')).size(), 1022u);
    EXPECT_EQ(WideToOem(std::wstring(1022, L'中')).size(), 2044u);
    EXPECT_EQ(WideToOem(std::wstring(L"ab\0cd", 5)), "ab");
}

TEST(Conversions, IntToString) {
    EXPECT_EQ(IntToString(-5), "-5");
    EXPECT_EQ(IntToString(0), "0");
    EXPECT_EQ(IntToString(2147483647), "2147483647");
    EXPECT_EQ(IntToString(static_cast<int>(0x80000000u)), "-2147483648");
}

TEST(Trimming, OnlyAsciiWhitespace) {
    std::wstring word = L"word \r\n";
    EXPECT_EQ(TrimRight(word), L"word");
    std::wstring spaces = L"   ";
    EXPECT_EQ(TrimLeft(TrimRight(spaces)), L"");
    std::wstring ideographic = L"值\u3000";
    EXPECT_EQ(TrimRight(ideographic), L"值\u3000");
    std::wstring nbsp = L"\u00a0x\t\v\f";
    EXPECT_EQ(Trimmed(nbsp), L"\u00a0x");
    std::wstring both = L"\r\n\t value \r\r\n";
    EXPECT_EQ(TrimLeft(both), L"value \r\r\n");
}

TEST(Directories, BaseDirectoryIsCapturedOnce) {
    const std::wstring base = GetBaseDirectory();
    EXPECT_EQ(base, GetSandbox().base);
    ASSERT_TRUE(SetCurrentDirectoryW(GetSandbox().temp.c_str()));
    EXPECT_EQ(GetBaseDirectory(), base);
    std::wstring now;
    EXPECT_TRUE(GetCurrentDir(now));
    EXPECT_NE(now, base);
    SetCurrentDirectoryW(base.c_str());
}

TEST(Directories, TempDirectoryFollowsTheEnvironment) {
    EXPECT_EQ(GetTempDirectory(), GetSandbox().temp);
}

TEST(Directories, AdbPathNeedsToolsAdbExe) {
    GetBaseDirectory();
    EXPECT_EQ(GetAdbPath(), GetSandbox().base + L"\\tools\\adb.exe");
    EXPECT_TRUE(IsAdbPresent());
    mirqtest::CSimPhone::Uninstall();
    EXPECT_EQ(GetAdbPath(), L"");
    EXPECT_FALSE(IsAdbPresent());
    mirqtest::CSimPhone::Install();
    EXPECT_TRUE(IsAdbPresent());
}

TEST(Process, RunAndWaitOfMissingFileFailsAtOnce) {
    DWORD start = GetTickCount();
    EXPECT_FALSE(RunAndWait(GetSandbox().base + L"\\missing.bat", L""));
    EXPECT_LT(GetTickCount() - start, 5000u);
}

TEST(Process, RunAndWaitRunsABatchFileHiddenToItsEnd) {
    const std::wstring bat = GetSandbox().temp + L"mark 文件.bat";
    const std::wstring mark = GetSandbox().temp + L"marked.txt";
    std::wstring line = L"echo done> \"" + mark + L"\"";
    for (size_t at = line.find(L'%'); at != std::wstring::npos; at = line.find(L'%', at + 2))
        line.insert(at, 1, L'%');  // the sandbox path holds a percent sign
    mirqtest::WriteBytes(bat, WideToOem(line));
    EXPECT_TRUE(RunAndWait(bat, L""));
    EXPECT_EQ(mirqtest::ReadBytes(mark), "done\r\n");
}
