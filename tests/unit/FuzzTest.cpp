// Seeded fuzz loops over what comes from outside: ROM packages (bit flips,
// truncations, insertions of genuine packages must be refused unless the
// change is harmless) and the phone's and the service's answers (readers
// never fail and never answer out of range).
#include <windows.h>
#include <zlib.h>

#include <random>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "adb/AdbOutput.h"
#include "download/UrlQuery.h"
#include "flash/FlashReadiness.h"
#include "flash/PackageCheck.h"

using namespace mirq;
using namespace mirqtest;

namespace {

// Where a genuine zip may change without harm (times, versions, attributes,
// comments, the data of extra fields other than zip64's), and its entries'
// deflated data, read from its central directory.
struct ZipMap {
    std::vector<bool> harmless;
    struct Data {
        size_t start, size;
        std::string inflated;
    };
    std::vector<Data> deflated;
};

std::string Inflate(const std::string& packed) {
    z_stream z = {};
    inflateInit2(&z, -MAX_WBITS);
    std::string out, chunk(1 << 16, '\0');
    z.next_in = (Bytef*)packed.data();
    z.avail_in = static_cast<uInt>(packed.size());
    int status = Z_OK;
    while (status == Z_OK) {
        z.next_out = (Bytef*)&chunk[0];
        z.avail_out = static_cast<uInt>(chunk.size());
        status = inflate(&z, Z_NO_FLUSH);
        out.append(chunk.data(), chunk.size() - z.avail_out);
        if (status == Z_BUF_ERROR) break;
    }
    inflateEnd(&z);
    return status == Z_STREAM_END ? out : std::string("\x01not a stream");
}

// Extra fields other than zip64's: their ids and data are nobody's concern.
void MarkExtras(ZipMap& map, size_t at, size_t length, const std::string& b) {
    for (size_t p = at; p + 4 <= at + length; p += 4 + ReadLe(b, p + 2, 2)) {
        if (ReadLe(b, p, 2) == 1) continue;
        map.harmless[p] = map.harmless[p + 1] = true;
        for (size_t k = p + 4; k < p + 4 + ReadLe(b, p + 2, 2) && k < at + length; ++k) map.harmless[k] = true;
    }
}

ZipMap MapZip(const std::string& b) {
    ZipMap map;
    map.harmless.assign(b.size(), false);
    auto mark = [&](size_t from, size_t to) {
        for (size_t k = from; k < to && k < b.size(); ++k) map.harmless[k] = true;
    };
    const size_t end = b.rfind(std::string("PK\x05\x06", 4));
    mark(end + 22, b.size());  // the comment
    size_t central = ReadLe(b, end + 16, 4);
    if (end >= 20 && b.compare(end - 20, 4, std::string("PK\x06\x07", 4)) == 0) {
        const size_t record = ReadLe(b, end - 20 + 8, 4);
        mark(record + 12, record + 16);
        central = ReadLe(b, record + 48, 4);
    }
    for (size_t p = central; p + 46 <= end && b.compare(p, 4, std::string("PK\x01\x02", 4)) == 0;) {
        const size_t name = ReadLe(b, p + 28, 2), extra = ReadLe(b, p + 30, 2), comment = ReadLe(b, p + 32, 2);
        mark(p + 4, p + 8), mark(p + 12, p + 16), mark(p + 36, p + 42);
        MarkExtras(map, p + 46 + name, extra, b);
        mark(p + 46 + name + extra, p + 46 + name + extra + comment);
        const size_t local = ReadLe(b, p + 42, 4);
        const size_t localName = ReadLe(b, local + 26, 2), localExtra = ReadLe(b, local + 28, 2);
        mark(local + 4, local + 6), mark(local + 10, local + 14);
        MarkExtras(map, local + 30 + localName, localExtra, b);
        const size_t data = local + 30 + localName + localExtra, packed = ReadLe(b, p + 20, 4);
        if (ReadLe(b, p + 10, 2) == 8) map.deflated.push_back({data, packed, Inflate(b.substr(data, packed))});
        p += 46 + name + extra + comment;
    }
    return map;
}

// A bit flip that leaves every entry's deflated data inflating to the same bytes.
bool InflatesTheSame(const ZipMap& map, const std::string& mutant, size_t at) {
    for (const ZipMap::Data& d : map.deflated)
        if (at >= d.start && at < d.start + d.size) return Inflate(mutant.substr(d.start, d.size)) == d.inflated;
    return false;
}

// Mutants a corpus: a fixed few in every run, the long run (`make fuzz`) as many as MIRQ_FUZZ_MUTANTS says.
int MutantsPerCorpus(int everyRun) {
    wchar_t value[16] = {};
    return GetEnvironmentVariableW(L"MIRQ_FUZZ_MUTANTS", value, 16) ? _wtoi(value) : everyRun;
}

}  // namespace

TEST(Fuzz, DamagedPackagesAreRefused) {
    const std::vector<std::string> corpus = {MakePackage(3000, 1), MakeZip({{"a.bin", MakeContent(4000, 2)}}, false),
                                             ReadBytes(RealZip(L"infozip-pipe.zip")), ReadBytes(RealZip(L"python-stream.zip")),
                                             ReadBytes(RealZip(L"infozip-stdin.zip")), ReadBytes(RealZip(L"bsdtar-zip64.zip"))};
    const std::wstring path = GetSandbox().base + L"\\fuzz.zip";
    std::mt19937 random(2026);
    int mutants = 0, accepted = 0;
    const int perCorpus = MutantsPerCorpus(500);
    const DWORD start = GetTickCount();
    for (const std::string& original : corpus) {
        ASSERT_GT(original.size(), 100u);
        WriteBytes(path, original);
        ASSERT_EQ(CheckRomPackage(path, nullptr), PackageCheck::Ok);
        const ZipMap map = MapZip(original);
        for (int i = 0; i < perCorpus; ++i, ++mutants) {
            std::string mutant = original;
            const size_t at = random() % original.size();
            const int kind = random() % 8;
            if (kind == 0) mutant.resize(at);                                              // cut short
            else if (kind == 1) mutant.insert(at, std::string(1 + random() % 8, static_cast<char>(random())));
            else mutant[at] ^= static_cast<char>(1 << (random() % 8));                    // one bit
            WriteBytes(path, mutant);
            if (CheckRomPackage(path, nullptr) != PackageCheck::Ok) continue;
            ++accepted;
            EXPECT_TRUE(kind >= 2 && (map.harmless[at] || InflatesTheSame(map, mutant, at)))
                << "corpus " << (&original - &corpus[0]) << ", kind " << kind << ", offset " << at;
        }
    }
    printf("%d mutants, %d accepted as harmless, %lu ms\n", mutants, accepted, GetTickCount() - start);
    EXPECT_EQ(mutants, perCorpus * static_cast<int>(corpus.size()));
}

TEST(Fuzz, ReadersOfThePhoneAndTheServiceStayInRange) {
    const std::vector<std::wstring> captured = {
        L"List of devices attached\r\nHT0A1P800426\tdevice\r\n0123456789ABCDEF\trecovery\r\n\r\n",
        L"-rw-rw---- 1 root sdcard_rw 1048576 2011-12-07 10:00 /sdcard/mirq/update.zip",
        L"Current Battery Service state:\r\n  AC powered: false\r\n  level: 85\r\n  scale: 100\r\n  voltage:4100\r\n85",
        L"/sdcard: 7929M total, 1234M used, 6695M available (block size 32768)",
        L"Filesystem             Size   Used   Free   Blksize\n/mnt/sdcard             13.2G   1.9G  11.3G   4096",
        L"Filesystem     1K-blocks    Used Available Use% Mounted on\n/dev/fuse       11585536 2018304   9567232  18% /x",
        L"flash_image: wrote block\r\nrc=0",
        L"<?xml version=\"1.0\" encoding=\"UTF-8\"?><result><flashurl>http://127.0.0.1:8080/files/rom/crespo.zip"
        L"</flashurl><md5>0123456789abcdef0123456789ABCDEF</md5></result>",
    };
    std::mt19937 random(7);
    const wchar_t alphabet[] = L" \t\r\n:.-/<>0123456789KMGdevicrlsn%";
    int mutants = 0;
    for (const std::wstring& original : captured) {
        for (int i = 0; i < 2500; ++i, ++mutants) {
            std::wstring text = original;
            for (int edits = 1 + random() % 3; edits > 0 && !text.empty(); --edits) {
                const size_t at = random() % text.size();
                const wchar_t c = alphabet[random() % (sizeof(alphabet) / sizeof(wchar_t) - 1)];
                switch (random() % 3) {
                case 0: text[at] = c; break;
                case 1: text.insert(at, 1 + random() % 12, c); break;
                default: text.erase(at, 1 + random() % 6);
                }
            }
            for (const CDeviceEntry& device : ParseDevicesList(text)) {
                EXPECT_NE(text.find(device.serial), std::wstring::npos);
                EXPECT_FALSE(device.state.empty());
            }
            const long long size = LsLongSize(text);
            EXPECT_TRUE(size == -1 || (size >= 0 && text.find(std::to_wstring(size)) != std::wstring::npos)) << WideToUtf8(text);
            const int battery = BatteryPercentIn(text);
            EXPECT_TRUE(battery >= -1 && battery <= 100);
            EXPECT_GE(DfFreeBytes(text), -1);
            const int status = ShellExitStatus(text);
            EXPECT_TRUE(status >= -1 && status <= 999);
            const std::wstring url = ExtractFlashUrl(text);
            EXPECT_TRUE(url.empty() || text.find(url) != std::wstring::npos);
            const std::wstring md5 = ExtractMd5(text);
            EXPECT_TRUE(md5.empty() || md5.size() == 32);
            EXPECT_LE(AssertedDevices(WideToUtf8(text)).size(), 8u);
        }
    }
    EXPECT_GE(mutants, 20000);
}
