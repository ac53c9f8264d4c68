#include "flash/PackageCheck.h"

#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "log/logger.h"
#include "util/Raii.h"
#include "util/Utils.h"

namespace mirq {

namespace {

const uint32_t kEndSignature = 0x06054b50;
const uint32_t kEnd64Signature = 0x06064b50;
const uint32_t kEnd64LocatorSignature = 0x07064b50;
const uint32_t kCentralSignature = 0x02014b50;
const uint32_t kLocalSignature = 0x04034b50;
const uint32_t kDescriptorSignature = 0x08074b50;
const size_t kEndRecordSize = 22;
const size_t kLocatorSize = 20;
const size_t kEnd64RecordSize = 56;
const size_t kLocalHeaderSize = 30;
const size_t kMaxCommentSize = 0xFFFF;
const uint64_t kMaxCentralDirectory = 64u << 20;
const size_t kReadBlock = 1 << 20;
const size_t kInflateBlock = 256 << 10;
const uint16_t kFlagEncrypted = 1;
const uint16_t kFlagDescriptor = 1 << 3;  // sizes and CRC follow the data
const uint16_t kZip64ExtraId = 0x0001;
const uint32_t kSaturated32 = 0xFFFFFFFF;
const char kUpdateBinary[] = "META-INF/com/google/android/update-binary";
const char kUpdateScript[] = "META-INF/com/google/android/update-script";
const char kUpdaterScript[] = "META-INF/com/google/android/updater-script";
const char kBuildProp[] = "system/build.prop";
const char kOtaMetadata[] = "META-INF/com/android/metadata";

uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const unsigned char* p) { return Le16(p) | (static_cast<uint32_t>(Le16(p + 2)) << 16); }
uint64_t Le64(const unsigned char* p) { return Le32(p) | (static_cast<uint64_t>(Le32(p + 4)) << 32); }

bool ReadAt(FILE* file, uint64_t offset, void* buffer, size_t size) {
    if (_fseeki64(file, static_cast<long long>(offset), SEEK_SET) != 0) return false;
    return fread(buffer, 1, size, file) == size;
}

struct Directory {
    uint64_t offset = 0, size = 0, entries = 0;
    uint64_t end = 0;  // where the central directory must end
};

// The zip64 end record named by a locator just before the end record: its
// values replace the classic ones, which must agree where not saturated.
bool ReadZip64End(FILE* file, uint64_t locatorAt, Directory& dir) {
    unsigned char locator[kLocatorSize], record[kEnd64RecordSize];
    if (!ReadAt(file, locatorAt, locator, sizeof(locator)) || Le32(locator) != kEnd64LocatorSignature) return false;
    if (Le32(locator + 4) != 0 || Le32(locator + 16) != 1) return false;  // spanned
    const uint64_t recordAt = Le64(locator + 8);
    if (recordAt > locatorAt || locatorAt - recordAt < kEnd64RecordSize) return false;
    if (!ReadAt(file, recordAt, record, sizeof(record)) || Le32(record) != kEnd64Signature) return false;
    // The record (with its extensible data) ends where the locator starts.
    if (Le64(record + 4) != locatorAt - recordAt - 12) return false;
    if (Le32(record + 16) != 0 || Le32(record + 20) != 0 || Le64(record + 24) != Le64(record + 32)) return false;
    const uint64_t entries = Le64(record + 32), size = Le64(record + 40), offset = Le64(record + 48);
    if ((dir.entries != 0xFFFF && dir.entries != entries) || (dir.size != kSaturated32 && dir.size != size) ||
        (dir.offset != kSaturated32 && dir.offset != offset))
        return false;
    dir.entries = entries;
    dir.size = size;
    dir.offset = offset;
    dir.end = recordAt;
    return true;
}

// Finds the end-of-central-directory record: the one whose comment ends the
// file, and its zip64 form whenever a locator stands before it.
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
        unsigned char signature[4];
        const bool locator = dir.end >= kLocatorSize && ReadAt(file, dir.end - kLocatorSize, signature, 4) &&
                             Le32(signature) == kEnd64LocatorSignature;
        // 65,535 entries, or a 4 GiB offset, without a locator are ordinary values.
        return !locator || ReadZip64End(file, dir.end - kLocatorSize, dir);
    }
    return false;
}

struct Entry {
    std::string name;
    uint16_t flags = 0, method = 0;
    uint32_t crc = 0;
    uint64_t packedSize = 0, size = 0, localOffset = 0;
    uint64_t dataStart = 0;   // found from the local header
    bool zip64Sizes = false;  // the central record carries its sizes in a zip64 field
};

// The zip64 field among the extra fields: its data and size; null when there
// is none. False when the extra fields do not parse.
bool FindZip64Extra(const unsigned char* extra, size_t length, const unsigned char*& data, size_t& size) {
    data = nullptr;
    for (size_t at = 0; at + 4 <= length;) {
        const uint16_t id = Le16(extra + at), fieldSize = Le16(extra + at + 2);
        if (at + 4 + fieldSize > length) return false;
        if (id == kZip64ExtraId) {
            data = extra + at + 4;
            size = fieldSize;
            return true;
        }
        at += 4 + fieldSize;
    }
    return true;
}

// Values of a zip64 extra field, in their fixed order, for the fields that
// are saturated (each pointer names one; null when not saturated). False
// when the extra fields do not parse or a needed value is missing.
bool ReadZip64Extra(const unsigned char* extra, size_t length, uint64_t* const (&values)[3]) {
    const unsigned char* data = nullptr;
    size_t size = 0, used = 0;
    if (!FindZip64Extra(extra, length, data, size)) return false;
    for (uint64_t* value : values) {
        if (!value) continue;
        if (!data || used + 8 > size) return false;
        *value = Le64(data + used);
        used += 8;
    }
    return true;
}

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
    entry.zip64Sizes = entry.size == kSaturated32 || entry.packedSize == kSaturated32;
    uint64_t* const saturated[3] = {entry.size == kSaturated32 ? &entry.size : nullptr,
                                    entry.packedSize == kSaturated32 ? &entry.packedSize : nullptr,
                                    entry.localOffset == kSaturated32 ? &entry.localOffset : nullptr};
    return ReadZip64Extra(p + 46 + nameLength, extraLength, saturated) ? length : 0;
}

// Where an entry lies in the file: its local header up to the end of its
// data (and descriptor). Entries may not share a byte.
struct Extent {
    uint64_t start, end;
    bool operator<(const Extent& other) const { return start < other.start; }
};

class CEntryReader {
public:
    CEntryReader(FILE* file, const CheckProgress& progress, uint64_t total)
        : m_file(file), m_progress(progress), m_total(total), m_in(kReadBlock), m_out(kInflateBlock) {}

    // Checks the local header (and descriptor) against the central record
    // and finds where the entry's data starts and where the entry ends.
    bool Locate(Entry& entry, uint64_t dataLimit, Extent& extent) {
        if (entry.flags & kFlagEncrypted) return false;  // recovery cannot read it
        if (entry.method != 0 && entry.method != Z_DEFLATED) return false;
        if (entry.method == 0 && entry.packedSize != entry.size) return false;
        bool zip64Descriptor = false;
        if (!CheckLocalHeader(entry, zip64Descriptor)) return false;
        if (entry.dataStart > dataLimit || entry.packedSize > dataLimit - entry.dataStart) return false;
        extent = {entry.localOffset, entry.dataStart + entry.packedSize};
        return !(entry.flags & kFlagDescriptor) ||
               CheckDescriptor(entry, extent.end, zip64Descriptor, dataLimit, extent.end);
    }

    // Reads the entry's data: its CRC-32, and for deflated data the whole
    // stream. With `capture`, keeps its first bytes (up to kMaxUpdaterScript) there.
    PackageCheck CheckData(const Entry& entry, std::string* capture) {
        m_capture = capture;
        if (_fseeki64(m_file, static_cast<long long>(entry.dataStart), SEEK_SET) != 0) return PackageCheck::Damaged;
        return entry.method == 0 ? Stored(entry) : Deflated(entry);
    }

private:
    // The local header agrees with the central record: name, method, flags,
    // CRC and sizes (where a data descriptor carries them, each may be zero);
    // the entry learns where its data starts.
    bool CheckLocalHeader(Entry& entry, bool& zip64Descriptor) {
        unsigned char local[kLocalHeaderSize];
        if (!ReadAt(m_file, entry.localOffset, local, sizeof(local)) || Le32(local) != kLocalSignature) return false;
        const size_t nameLength = Le16(local + 26), extraLength = Le16(local + 28);
        std::vector<unsigned char> variable(nameLength + extraLength);
        if (!variable.empty() && !ReadAt(m_file, entry.localOffset + kLocalHeaderSize, variable.data(), variable.size()))
            return false;
        if (Le16(local + 6) != entry.flags || Le16(local + 8) != entry.method) return false;
        if (nameLength != entry.name.size() || memcmp(variable.data(), entry.name.data(), nameLength) != 0) return false;
        const unsigned char* extra = variable.data() + nameLength;
        const unsigned char* zip64 = nullptr;
        size_t zip64Size = 0;
        FindZip64Extra(extra, extraLength, zip64, zip64Size);
        zip64Descriptor = zip64 || entry.zip64Sizes;
        uint64_t size = Le32(local + 22), packedSize = Le32(local + 18);
        uint64_t* const saturated[3] = {size == kSaturated32 ? &size : nullptr,
                                        packedSize == kSaturated32 ? &packedSize : nullptr, nullptr};
        if (!ReadZip64Extra(extra, extraLength, saturated)) return false;
        // With a descriptor a writer may leave any of them zero (streamers
        // such as Info-ZIP through a pipe or bsdtar still write the size).
        const bool descriptor = (entry.flags & kFlagDescriptor) != 0;
        auto agrees = [descriptor](uint64_t local, uint64_t central) {
            return local == central || (descriptor && local == 0);
        };
        if (!agrees(Le32(local + 14), entry.crc) || !agrees(size, entry.size) || !agrees(packedSize, entry.packedSize))
            return false;
        entry.dataStart = entry.localOffset + kLocalHeaderSize + nameLength + extraLength;
        return true;
    }

    // The data descriptor after the data (its signature optional, its sizes
    // 8 bytes wide in zip64 entries) carries the central record's values.
    bool CheckDescriptor(const Entry& entry, uint64_t at, bool zip64, uint64_t limit, uint64_t& end) {
        const size_t sizeWidth = zip64 ? 8 : 4;
        unsigned char d[28] = {};
        const size_t most = static_cast<size_t>(std::min<uint64_t>(sizeof(d), limit - at));
        if (most < 4 + 2 * sizeWidth || !ReadAt(m_file, at, d, most)) return false;
        for (size_t skip : {static_cast<size_t>(4), static_cast<size_t>(0)}) {
            if (skip && Le32(d) != kDescriptorSignature) continue;
            if (skip + 4 + 2 * sizeWidth > most) continue;
            const unsigned char* p = d + skip;
            const uint64_t packed = zip64 ? Le64(p + 4) : Le32(p + 4);
            const uint64_t size = zip64 ? Le64(p + 4 + sizeWidth) : Le32(p + 4 + sizeWidth);
            if (Le32(p) == entry.crc && packed == entry.packedSize && size == entry.size) {
                end = at + skip + 4 + 2 * sizeWidth;
                return true;
            }
        }
        return false;
    }

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

    // Inflates until the stream ends (zlib may still hold output when the
    // last input is taken), and no further than the recorded size.
    PackageCheck Deflated(const Entry& entry) {
        z_stream stream;
        memset(&stream, 0, sizeof(stream));
        if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return PackageCheck::Damaged;
        uLong crc = crc32(0, Z_NULL, 0);
        uint64_t left = entry.packedSize, produced = 0;
        PackageCheck result = PackageCheck::Damaged;
        for (;;) {
            if (stream.avail_in == 0 && left > 0) {
                const size_t got = Next(left);
                if (got == 0) break;  // a read error
                stream.next_in = m_in.data();
                stream.avail_in = static_cast<uInt>(got);
                if (!KeepGoing()) {
                    result = PackageCheck::Stopped;
                    break;
                }
            }
            stream.next_out = m_out.data();
            stream.avail_out = static_cast<uInt>(m_out.size());
            const int status = inflate(&stream, Z_NO_FLUSH);
            const size_t made = m_out.size() - stream.avail_out;
            produced += made;
            if (produced > entry.size) break;  // more than recorded: stop at once
            crc = crc32(crc, m_out.data(), static_cast<uInt>(made));
            Keep(m_out.data(), made);
            if (status == Z_STREAM_END) {
                const bool whole = left == 0 && stream.avail_in == 0 && produced == entry.size && crc == entry.crc;
                result = whole ? PackageCheck::Ok : PackageCheck::Damaged;
                break;
            }
            // No progress is possible: the data ended before the stream did.
            if (status == Z_BUF_ERROR && stream.avail_in == 0 && left == 0) break;
            if (status != Z_OK && status != Z_BUF_ERROR) break;
        }
        inflateEnd(&stream);
        return result;
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
    // The log names the check that refused the package.
    auto refuse = [&path](const std::wstring& why) {
        MIRQ_LOG(kLogWarning, L"package", path + L" refused: " + why);
        return PackageCheck::Damaged;
    };
    if (_fseeki64(file.get(), 0, SEEK_END) != 0) return refuse(L"its size cannot be read");
    const long long fileSize = _ftelli64(file.get());
    if (fileSize <= 0) return refuse(L"empty");

    Directory dir;
    if (!FindDirectory(file.get(), static_cast<uint64_t>(fileSize), dir)) return refuse(L"no consistent end record");
    if (dir.entries == 0 || dir.size > kMaxCentralDirectory || dir.offset > dir.end || dir.end - dir.offset != dir.size)
        return refuse(L"the central directory's place or size");
    std::vector<unsigned char> central(static_cast<size_t>(dir.size));
    if (!ReadAt(file.get(), dir.offset, central.data(), central.size())) return refuse(L"the central directory cannot be read");

    // First the structure, read from the headers alone: a file whose entries
    // overlap is refused before any of them is inflated.
    CEntryReader reader(file.get(), progress, static_cast<uint64_t>(fileSize));
    std::vector<Entry> entries;
    std::vector<Extent> extents;
    size_t at = 0;
    for (uint64_t i = 0; i < dir.entries; ++i) {
        Entry entry;
        const size_t length = ReadCentralHeader(&central[at], central.size() - at, entry);
        if (length == 0) return refuse(L"central header " + std::to_wstring(i + 1));
        at += length;
        Extent extent = {0, 0};
        if (!reader.Locate(entry, dir.offset, extent))
            return refuse(L"the local header, method or extent of " + Utf8ToWide(entry.name));
        entries.push_back(entry);
        extents.push_back(extent);
    }
    // The end record counts every header, and no two entries share a byte
    // (one entry's data nested in another's, or two records for one header).
    if (at != central.size()) return refuse(L"the end record's count of entries");
    std::sort(extents.begin(), extents.end());
    for (size_t i = 1; i < extents.size(); ++i)
        if (extents[i].start < extents[i - 1].end) return refuse(L"entries that share bytes");

    for (const Entry& entry : entries) {
        if (entry.name == kUpdateBinary || entry.name == kUpdateScript) found.hasInstaller = true;
        // What is kept of an entry comes with its one reading, the check's.
        std::string* capture = entry.name == kUpdaterScript ? &found.updaterScript
                               : entry.name == kBuildProp   ? &found.buildProp
                               : entry.name == kOtaMetadata ? &found.metadata
                                                            : nullptr;
        if (capture && !capture->empty()) capture = nullptr;  // the first of a doubled name
        const PackageCheck result = reader.CheckData(entry, capture);
        if (result == PackageCheck::Damaged) return refuse(L"the data of " + Utf8ToWide(entry.name) + L" (inflation, size or CRC)");
        if (result != PackageCheck::Ok) return result;
    }
    if (contents) *contents = found;
    return PackageCheck::Ok;
}

bool IsRecoveryImage(const std::wstring& path) {
    // The log names the check that refused the image.
    auto refuse = [&path](const wchar_t* why) {
        MIRQ_LOG(kLogWarning, L"recovery", path + L" refused: " + why);
        return false;
    };
    const long long size = RegularFileSize(path);
    if (size <= static_cast<long long>(kBootImageHeaderSize)) return refuse(L"missing or smaller than a header");
    CStdFile file(_wfopen(path.c_str(), L"rb"));
    unsigned char header[kBootImageHeaderSize];
    if (!file || fread(header, 1, sizeof(header), file.get()) != sizeof(header)) return refuse(L"unreadable");
    if (memcmp(header, "ANDROID!", 8) != 0) return refuse(L"no boot image magic");
    const uint64_t kernel = Le32(header + 8), ramdisk = Le32(header + 16), second = Le32(header + 24);
    const uint64_t page = Le32(header + 36);
    if (page < 2048 || page > 16384 || (page & (page - 1)) != 0) return refuse(L"page size");
    // A recovery without a kernel or a ramdisk does not boot.
    if (kernel == 0 || ramdisk == 0) return refuse(L"no kernel or no ramdisk");
    auto pages = [page](uint64_t bytes) { return (bytes + page - 1) / page; };
    if (page * (1 + pages(kernel) + pages(ramdisk) + pages(second)) > static_cast<uint64_t>(size))
        return refuse(L"kernel, ramdisk and second stage past the end of the file");
    return true;
}

}  // namespace mirq
