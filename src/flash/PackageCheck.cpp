#include "flash/PackageCheck.h"

#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "util/Raii.h"
#include "util/Utils.h"

namespace mirq {

namespace {

const uint32_t kEndSignature = 0x06054b50;
const uint32_t kEnd64Signature = 0x06064b50;
const uint32_t kEnd64LocatorSignature = 0x07064b50;
const uint32_t kCentralSignature = 0x02014b50;
const uint32_t kLocalSignature = 0x04034b50;
const size_t kEndRecordSize = 22;
const size_t kMaxCommentSize = 0xFFFF;
const uint64_t kMaxCentralDirectory = 64u << 20;
const size_t kReadBlock = 1 << 20;
const size_t kInflateBlock = 256 << 10;
const char kUpdateBinary[] = "META-INF/com/google/android/update-binary";
const char kUpdateScript[] = "META-INF/com/google/android/update-script";
const char kUpdaterScript[] = "META-INF/com/google/android/updater-script";

uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const unsigned char* p) { return Le16(p) | (static_cast<uint32_t>(Le16(p + 2)) << 16); }
uint64_t Le64(const unsigned char* p) { return Le32(p) | (static_cast<uint64_t>(Le32(p + 4)) << 32); }

bool ReadAt(FILE* file, uint64_t offset, void* buffer, size_t size) {
    if (_fseeki64(file, static_cast<long long>(offset), SEEK_SET) != 0) return false;
    return fread(buffer, 1, size, file) == size;
}

struct Directory {
    uint64_t offset = 0, size = 0, entries = 0;
    uint64_t end = 0;  // where the central directory must end (the first end record)
};

// Finds the end-of-central-directory record (and its zip64 form when the
// classic fields are saturated).
bool FindDirectory(FILE* file, uint64_t fileSize, Directory& dir) {
    if (fileSize < kEndRecordSize) return false;
    const size_t tailSize = static_cast<size_t>(std::min<uint64_t>(fileSize, kEndRecordSize + kMaxCommentSize));
    std::vector<unsigned char> tail(tailSize);
    const uint64_t tailStart = fileSize - tailSize;
    if (!ReadAt(file, tailStart, tail.data(), tailSize)) return false;
    for (size_t at = tailSize - kEndRecordSize + 1; at-- > 0;) {
        const unsigned char* p = &tail[at];
        if (Le32(p) != kEndSignature) continue;
        if (at + kEndRecordSize + Le16(p + 20) != tailSize) continue;  // the comment must end the file
        if (Le16(p + 4) != 0 || Le16(p + 6) != 0 || Le16(p + 8) != Le16(p + 10)) return false;  // spanned
        dir.entries = Le16(p + 10);
        dir.size = Le32(p + 12);
        dir.offset = Le32(p + 16);
        dir.end = tailStart + at;
        if (dir.entries != 0xFFFF && dir.size != 0xFFFFFFFF && dir.offset != 0xFFFFFFFF) return true;
        // Zip64: a locator just before the end record names the zip64 end record.
        if (dir.end < 20) return false;
        unsigned char locator[20], record[56];
        if (!ReadAt(file, dir.end - 20, locator, sizeof(locator)) || Le32(locator) != kEnd64LocatorSignature)
            return false;
        const uint64_t recordAt = Le64(locator + 8);
        if (recordAt + sizeof(record) > dir.end - 20) return false;
        if (!ReadAt(file, recordAt, record, sizeof(record)) || Le32(record) != kEnd64Signature) return false;
        dir.entries = Le64(record + 32);
        dir.size = Le64(record + 40);
        dir.offset = Le64(record + 48);
        dir.end = recordAt;
        return true;
    }
    return false;
}

struct Entry {
    std::string name;
    uint16_t flags = 0, method = 0;
    uint32_t crc = 0;
    uint64_t packedSize = 0, size = 0, localOffset = 0;
};

// Reads one central header at p (with `left` bytes of directory after it);
// returns its length, or 0 when it is not consistent.
size_t ReadCentralHeader(const unsigned char* p, uint64_t left, Entry& entry) {
    if (left < 46 || Le32(p) != kCentralSignature) return 0;
    const size_t nameLength = Le16(p + 28), extraLength = Le16(p + 30), commentLength = Le16(p + 32);
    const size_t length = 46 + nameLength + extraLength + commentLength;
    if (length > left || Le16(p + 34) != 0) return 0;
    entry.flags = Le16(p + 8);
    entry.method = Le16(p + 10);
    entry.crc = Le32(p + 16);
    entry.packedSize = Le32(p + 20);
    entry.size = Le32(p + 24);
    entry.localOffset = Le32(p + 42);
    entry.name.assign(reinterpret_cast<const char*>(p + 46), nameLength);
    // Zip64 extra field: the saturated values follow in this order.
    const unsigned char* extra = p + 46 + nameLength;
    for (size_t at = 0; at + 4 <= extraLength;) {
        const uint16_t id = Le16(extra + at), size = Le16(extra + at + 2);
        if (at + 4 + size > extraLength) return 0;
        if (id == 0x0001) {
            const unsigned char* field = extra + at + 4;
            size_t used = 0;
            for (uint64_t* value : {&entry.size, &entry.packedSize, &entry.localOffset}) {
                if (*value != 0xFFFFFFFF) continue;
                if (used + 8 > size) return 0;
                *value = Le64(field + used);
                used += 8;
            }
        }
        at += 4 + size;
    }
    return length;
}

class CEntryReader {
public:
    CEntryReader(FILE* file, const CheckProgress& progress, uint64_t total)
        : m_file(file), m_progress(progress), m_total(total), m_in(kReadBlock), m_out(kInflateBlock) {}

    // With `capture`, keeps the entry's first bytes (up to kMaxUpdaterScript) there.
    PackageCheck Check(const Entry& entry, uint64_t dataLimit, std::string* capture) {
        m_capture = capture;
        if (entry.flags & 1) return PackageCheck::Damaged;  // encrypted: recovery cannot read it
        unsigned char local[30];
        if (!ReadAt(m_file, entry.localOffset, local, sizeof(local)) || Le32(local) != kLocalSignature)
            return PackageCheck::Damaged;
        const uint64_t dataStart = entry.localOffset + 30 + Le16(local + 26) + Le16(local + 28);
        if (dataStart + entry.packedSize > dataLimit) return PackageCheck::Damaged;
        if (_fseeki64(m_file, static_cast<long long>(dataStart), SEEK_SET) != 0) return PackageCheck::Damaged;
        if (entry.method == 0) return entry.packedSize == entry.size ? Stored(entry) : PackageCheck::Damaged;
        if (entry.method == Z_DEFLATED) return Deflated(entry);
        return PackageCheck::Damaged;
    }

private:
    // Reads the next piece of the entry's data; 0 at its end or on a read error.
    size_t Next(uint64_t& left) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(left, m_in.size()));
        if (want == 0) return 0;
        const size_t got = fread(m_in.data(), 1, want, m_file);
        left -= got;
        m_done += got;
        return got;
    }
    bool KeepGoing() { return !m_progress || m_progress(m_done, m_total); }
    void Keep(const unsigned char* data, size_t size) {
        if (!m_capture || m_capture->size() >= kMaxUpdaterScript) return;
        m_capture->append(reinterpret_cast<const char*>(data), std::min(size, kMaxUpdaterScript - m_capture->size()));
    }

    PackageCheck Stored(const Entry& entry) {
        uLong crc = crc32(0, Z_NULL, 0);
        uint64_t left = entry.packedSize;
        while (left > 0) {
            const size_t got = Next(left);
            if (got == 0) return PackageCheck::Damaged;
            crc = crc32(crc, m_in.data(), static_cast<uInt>(got));
            Keep(m_in.data(), got);
            if (!KeepGoing()) return PackageCheck::Stopped;
        }
        return crc == entry.crc ? PackageCheck::Ok : PackageCheck::Damaged;
    }

    PackageCheck Deflated(const Entry& entry) {
        z_stream stream;
        memset(&stream, 0, sizeof(stream));
        if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return PackageCheck::Damaged;
        uLong crc = crc32(0, Z_NULL, 0);
        uint64_t left = entry.packedSize, produced = 0;
        int status = Z_OK;
        PackageCheck result = PackageCheck::Damaged;
        while (status == Z_OK) {
            if (stream.avail_in == 0) {
                const size_t got = Next(left);
                if (got == 0) break;  // the data ended before the stream did
                stream.next_in = m_in.data();
                stream.avail_in = static_cast<uInt>(got);
                if (!KeepGoing()) {
                    result = PackageCheck::Stopped;
                    break;
                }
            }
            stream.next_out = m_out.data();
            stream.avail_out = static_cast<uInt>(m_out.size());
            status = inflate(&stream, Z_NO_FLUSH);
            const size_t made = m_out.size() - stream.avail_out;
            crc = crc32(crc, m_out.data(), static_cast<uInt>(made));
            Keep(m_out.data(), made);
            produced += made;
            if (status == Z_BUF_ERROR && stream.avail_in == 0) status = Z_OK;  // wants more input
        }
        inflateEnd(&stream);
        if (result == PackageCheck::Stopped) return result;
        if (status != Z_STREAM_END || left != 0 || stream.avail_in != 0) return PackageCheck::Damaged;
        return produced == entry.size && crc == entry.crc ? PackageCheck::Ok : PackageCheck::Damaged;
    }

    FILE* m_file;
    const CheckProgress& m_progress;
    uint64_t m_total;
    uint64_t m_done = 0;
    std::vector<unsigned char> m_in, m_out;
    std::string* m_capture = nullptr;
};

}  // namespace

PackageCheck CheckRomPackage(const std::wstring& path, const CheckProgress& progress, RomContents* contents) {
    RomContents found;
    if (!IsRegularFile(path)) return PackageCheck::NotAFile;
    CStdFile file(_wfopen(path.c_str(), L"rb"));
    if (!file) return PackageCheck::NotAFile;
    if (_fseeki64(file.get(), 0, SEEK_END) != 0) return PackageCheck::Damaged;
    const long long fileSize = _ftelli64(file.get());
    if (fileSize <= 0) return PackageCheck::Damaged;

    Directory dir;
    if (!FindDirectory(file.get(), static_cast<uint64_t>(fileSize), dir)) return PackageCheck::Damaged;
    if (dir.entries == 0 || dir.size > kMaxCentralDirectory || dir.offset + dir.size != dir.end)
        return PackageCheck::Damaged;
    std::vector<unsigned char> central(static_cast<size_t>(dir.size));
    if (!ReadAt(file.get(), dir.offset, central.data(), central.size())) return PackageCheck::Damaged;

    CEntryReader reader(file.get(), progress, static_cast<uint64_t>(fileSize));
    size_t at = 0;
    for (uint64_t i = 0; i < dir.entries; ++i) {
        Entry entry;
        const size_t length = ReadCentralHeader(&central[at], central.size() - at, entry);
        if (length == 0) return PackageCheck::Damaged;
        at += length;
        if (entry.name == kUpdateBinary || entry.name == kUpdateScript) found.hasInstaller = true;
        const bool script = entry.name == kUpdaterScript && found.updaterScript.empty();
        PackageCheck result = reader.Check(entry, dir.offset, script ? &found.updaterScript : nullptr);
        if (result != PackageCheck::Ok) return result;
    }
    if (at != central.size()) return PackageCheck::Damaged;
    if (contents) *contents = found;
    return PackageCheck::Ok;
}

bool IsRecoveryImage(const std::wstring& path) {
    const long long size = RegularFileSize(path);
    if (size <= static_cast<long long>(kBootImageHeaderSize)) return false;
    CStdFile file(_wfopen(path.c_str(), L"rb"));
    unsigned char header[kBootImageHeaderSize];
    if (!file || fread(header, 1, sizeof(header), file.get()) != sizeof(header)) return false;
    if (memcmp(header, "ANDROID!", 8) != 0) return false;
    const uint64_t kernel = Le32(header + 8), ramdisk = Le32(header + 16), second = Le32(header + 24);
    const uint64_t page = Le32(header + 36);
    if (page < 2048 || page > 16384 || (page & (page - 1)) != 0) return false;
    // A recovery without a kernel or a ramdisk does not boot.
    if (kernel == 0 || ramdisk == 0) return false;
    auto pages = [page](uint64_t bytes) { return (bytes + page - 1) / page; };
    return page * (1 + pages(kernel) + pages(ramdisk) + pages(second)) <= static_cast<uint64_t>(size);
}

}  // namespace mirq
