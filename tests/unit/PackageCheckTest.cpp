// The package and recovery-image checks on files made here.
#include <windows.h>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "flash/InstallFollower.h"
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
    EXPECT_FALSE(withField(16, 0));  // no ramdisk
    EXPECT_FALSE(withField(24, 1));  // a second stage with no room left
    EXPECT_TRUE(withField(16, 1));   // a smaller ramdisk fits
    WriteBytes(path, "<html>" + image.substr(6));
    EXPECT_FALSE(IsRecoveryImage(path));
    EXPECT_FALSE(IsRecoveryImage(GetSandbox().base));
}

TEST(PackageCheck, WhatRealToolsWriteIsAccepted) {
    for (const wchar_t* name : {L"python-zero-boot.zip", L"python-zeros.zip", L"infozip-images.zip", L"infozip-rom.zip",
                                L"infozip-pipe.zip", L"infozip-stdin.zip", L"python-stream.zip", L"python-65535.zip",
                                L"bsdtar-zip64.zip", L"python-3gib.zip"}) {
        RomContents contents;
        EXPECT_EQ(CheckRomPackage(RealZip(name), nullptr, &contents), PackageCheck::Ok) << WideToUtf8(name);
    }
    // The system a package installs, read with the check (deflated with data
    // descriptors, stored, zip64 records); one that names none.
    for (const wchar_t* name : {L"python-stream.zip", L"infozip-rom.zip", L"bsdtar-zip64.zip"}) {
        RomContents rom;
        ASSERT_EQ(CheckRomPackage(RealZip(name), nullptr, &rom), PackageCheck::Ok);
        EXPECT_TRUE(rom.hasInstaller);
        EXPECT_EQ(rom.updaterScript.find("assert(getprop(\"ro.product.device\") == \"crespo\""), 0u);
        const ExpectedBuild build = ReadExpectedBuild(rom);
        EXPECT_EQ(build.dateUtc + L" " + build.displayId + L" " + build.postTimestamp, L"1316457480 MirqROM 2.3.6 GRK39F 1316457480");
        EXPECT_EQ(build.postBuild, L"google/soju/crespo:2.3.6/GRK39F/189904:user/release-keys");
    }
    RomContents zeros;
    ASSERT_EQ(CheckRomPackage(RealZip(L"python-zeros.zip"), nullptr, &zeros), PackageCheck::Ok);
    EXPECT_TRUE(ReadExpectedBuild(zeros).Date().empty());
}

TEST(PackageCheck, LocalHeadersMustAgreeWithTheDirectory) {
    const std::string zip = MakeZip({{"a.txt", "hello, hello, hello"}, {"system/b.bin", MakeContent(20000, 4)}});
    ASSERT_EQ(CheckBytes(zip), PackageCheck::Ok);
    const struct {
        const char* what;
        size_t at;
        char change;
    } changes[] = {{"local CRC", 14, 0x01}, {"local method 8 -> 0", 8, 0x08}, {"local compressed size", 18, 0x01},
                   {"local size", 22, 0x01}, {"local flags", 6, 0x02}, {"local name", 30, 0x20}};
    for (const auto& c : changes) {
        std::string changed = zip;
        changed[c.at] ^= c.change;
        EXPECT_EQ(CheckBytes(changed), PackageCheck::Damaged) << c.what;
    }
    // Zero is what a data descriptor would allow; without one it is a wrong CRC.
    std::string zeroed = zip;
    WriteLe32(zeroed, 14, 0);
    EXPECT_EQ(CheckBytes(zeroed), PackageCheck::Damaged);
    // Bytes after the end of the deflate stream, counted in the entry's size.
    const std::string one = MakeZip({{"a.txt", "hello, hello, hello"}});
    const size_t dataEnd = ReadLe(one, one.size() - 22 + 16, 4);
    std::string trailing = one.substr(0, dataEnd) + "xyz" + one.substr(dataEnd);
    WriteLe32(trailing, 18, ReadLe(trailing, 18, 4) + 3);
    WriteLe32(trailing, dataEnd + 3 + 20, ReadLe(trailing, dataEnd + 3 + 20, 4) + 3);
    WriteLe32(trailing, trailing.size() - 22 + 16, static_cast<uint32_t>(dataEnd + 3));
    EXPECT_EQ(CheckBytes(trailing), PackageCheck::Damaged);
    // Two central records for one local entry: the first record, twice.
    const size_t end = zip.size() - 22, centralAt = ReadLe(zip, end + 16, 4);
    const size_t firstLength = 46 + 5;  // "a.txt"
    std::string twice = zip.substr(0, centralAt) + zip.substr(centralAt, firstLength) + zip.substr(centralAt);
    const size_t twiceEnd = twice.size() - 22;
    twice[twiceEnd + 8] = twice[twiceEnd + 10] = 3;
    WriteLe32(twice, twiceEnd + 12, ReadLe(twice, twiceEnd + 12, 4) + firstLength);
    EXPECT_EQ(CheckBytes(twice), PackageCheck::Damaged);
}

TEST(PackageCheck, EntriesMayNotShareBytes) {
    // A whole zip stored as the data of an entry: its inner entry, named by
    // a second central record, lies inside the outer one's data.
    const std::string inner = MakeZip({{"inner.bin", MakeContent(3000, 8)}}, false);
    std::string outer = MakeZip({{"outer.bin", inner}}, false);
    const size_t end = outer.size() - 22, centralAt = ReadLe(outer, end + 16, 4);
    const size_t innerAt = 30 + 9;  // after the outer local header and its name
    std::string innerRecord = inner.substr(ReadLe(inner, inner.size() - 22 + 16, 4), 46 + 9);
    WriteLe32(innerRecord, 42, static_cast<uint32_t>(innerAt));
    std::string nested = outer.substr(0, end) + innerRecord + outer.substr(end);
    const size_t nestedEnd = nested.size() - 22;
    nested[nestedEnd + 8] = nested[nestedEnd + 10] = 2;
    WriteLe32(nested, nestedEnd + 12, ReadLe(nested, nestedEnd + 12, 4) + 46 + 9);
    ASSERT_EQ(ReadLe(nested, nestedEnd + 16, 4), centralAt);
    EXPECT_EQ(CheckBytes(nested), PackageCheck::Damaged);

    // 64 records of one 64 MiB deflated entry, and one whose stream is far
    // longer than recorded: refused at once, not after inflating it all.
    std::string bomb = MakeZip({{"zeros.img", std::string(64 << 20, '\0')}});
    const size_t bombEnd = bomb.size() - 22, bombCentral = ReadLe(bomb, bombEnd + 16, 4);
    const std::string record = bomb.substr(bombCentral, 46 + 9);
    std::string records;
    for (int i = 0; i < 64; ++i) records += record;
    std::string overlapping = bomb.substr(0, bombCentral) + records + bomb.substr(bombEnd);
    const size_t overlappingEnd = overlapping.size() - 22;
    overlapping[overlappingEnd + 8] = overlapping[overlappingEnd + 10] = 64;
    WriteLe32(overlapping, overlappingEnd + 12, static_cast<uint32_t>(records.size()));
    const DWORD start = GetTickCount();
    EXPECT_EQ(CheckBytes(overlapping), PackageCheck::Damaged);
    std::string lying = bomb;
    WriteLe32(lying, 22, 1000);  // local and central sizes: 1000 bytes, the stream 64 MiB
    WriteLe32(lying, bombCentral + 24, 1000);
    EXPECT_EQ(CheckBytes(lying), PackageCheck::Damaged);
    EXPECT_LT(GetTickCount() - start, 2000u);
}
