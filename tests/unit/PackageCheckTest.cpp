// The package and recovery-image checks on files made here.
#include <windows.h>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "flash/PackageCheck.h"

using namespace mirq;
using namespace mirqtest;

namespace {

PackageCheck CheckBytes(const std::string& bytes) {
    const std::wstring path = GetSandbox().base + L"\\包 100%.zip";
    WriteBytes(path, bytes);
    return CheckRomPackage(path, nullptr);
}

}  // namespace

TEST(PackageCheck, WholeZipsPassAndDamagedOnesDoNot) {
    const std::string payload = MakeContent(300000, 4);
    const std::string deflated = MakeZip({{"a.txt", "hello"}, {"system/b.bin", payload}});
    const std::string stored = MakeZip({{"system/b.bin", payload}}, false);
    EXPECT_EQ(CheckBytes(deflated), PackageCheck::Ok);
    EXPECT_EQ(CheckBytes(stored), PackageCheck::Ok);

    EXPECT_EQ(CheckBytes("<html><body>502 Bad Gateway</body></html>"), PackageCheck::Damaged);
    EXPECT_EQ(CheckBytes(deflated.substr(0, deflated.size() / 2)), PackageCheck::Damaged);  // cut off
    EXPECT_EQ(CheckBytes(deflated.substr(0, deflated.size() - 1)), PackageCheck::Damaged);
    EXPECT_EQ(CheckBytes(""), PackageCheck::Damaged);
    for (const std::string* zip : {&deflated, &stored}) {
        std::string flipped = *zip;
        flipped[flipped.size() / 3] ^= 0x40;  // one bit in the data: the CRC (or inflate) tells
        EXPECT_EQ(CheckBytes(flipped), PackageCheck::Damaged);
    }
    EXPECT_EQ(CheckRomPackage(GetSandbox().base, nullptr), PackageCheck::NotAFile);
    EXPECT_EQ(CheckRomPackage(GetSandbox().base + L"\\missing.zip", nullptr), PackageCheck::NotAFile);

    int calls = 0;
    const std::wstring path = GetSandbox().base + L"\\big.zip";
    WriteBytes(path, MakeZip({{"x", MakeContent(3 << 20, 1)}}, false));
    EXPECT_EQ(CheckRomPackage(path, [&](uint64_t, uint64_t) { return ++calls < 2; }), PackageCheck::Stopped);
}

TEST(PackageCheck, TheEndRecordMustCountTheDirectoryAndEndTheFile) {
    const std::string zip = MakeZip({{"a.txt", "hello"}, {"system/b.bin", MakeContent(20000, 4)}});
    const size_t end = zip.size() - 22;
    ASSERT_EQ(CheckBytes(zip), PackageCheck::Ok);
    std::string fewer = zip;
    fewer[end + 8] = fewer[end + 10] = 1;  // counts one of the two entries: the other would go unchecked
    EXPECT_EQ(CheckBytes(fewer), PackageCheck::Damaged);
    EXPECT_EQ(CheckBytes(zip + "trailing bytes"), PackageCheck::Damaged);  // not its comment
    std::string between = zip;
    between.insert(end, "gap!");  // the directory no longer ends where the end record starts
    EXPECT_EQ(CheckBytes(between), PackageCheck::Damaged);
}

TEST(PackageCheck, RecoveryImageMustBeAWholeBootImage) {
    const std::wstring path = GetSandbox().base + L"\\r.img";
    const std::string image = MakeRecoveryImage(40960, 1);
    WriteBytes(path, image);
    EXPECT_TRUE(IsRecoveryImage(path));
    WriteBytes(path, image.substr(0, image.size() - 1));  // the ramdisk's last page cut short
    EXPECT_FALSE(IsRecoveryImage(path));
    WriteBytes(path, image.substr(0, kBootImageHeaderSize + 1));
    EXPECT_FALSE(IsRecoveryImage(path));
    auto withField = [&](size_t offset, uint32_t value) {
        std::string changed = image;
        for (int i = 0; i < 4; ++i) changed[offset + i] = static_cast<char>(value >> (8 * i));
        WriteBytes(path, changed);
        return IsRecoveryImage(path);
    };
    EXPECT_FALSE(withField(36, 4096));  // the same sizes in larger pages do not fit
    EXPECT_FALSE(withField(36, 3000));  // no power of two
    EXPECT_FALSE(withField(36, 1024));
    EXPECT_FALSE(withField(8, 0));  // no kernel
    EXPECT_FALSE(withField(24, 1));  // a second stage with no room left
    EXPECT_TRUE(withField(16, 1));   // a smaller ramdisk fits
    WriteBytes(path, "<html>" + image.substr(6));
    EXPECT_FALSE(IsRecoveryImage(path));
    EXPECT_FALSE(IsRecoveryImage(GetSandbox().base));
}
