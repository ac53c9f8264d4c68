#pragma once
// Checks of the files a flash puts on the phone, made before anything on the
// phone changes: the ROM package must be a whole zip, the recovery image an
// Android boot image.
#include <cstdint>
#include <functional>
#include <string>

namespace mirq {

enum class PackageCheck { Ok, NotAFile, Damaged, Stopped };

// Called as the check reads; false stops it.
typedef std::function<bool(uint64_t done, uint64_t total)> CheckProgress;

// What a whole package holds that decides whether it can be flashed, and
// what it says of the system it installs.
struct RomContents {
    bool hasInstaller = false;  // update-binary, or the older update-script
    std::string updaterScript;  // its first kMaxUpdaterScript bytes
    std::string buildProp;      // system/build.prop (the same limit), where there is one
    std::string metadata;       // META-INF/com/android/metadata, where there is one
};
constexpr size_t kMaxUpdaterScript = 1 << 20;

// A regular file that is a consistent zip: its end record is found, its
// central directory agrees with itself and with every local header, and every
// entry inflates to its recorded size and CRC-32. Fills `contents` as it reads.
PackageCheck CheckRomPackage(const std::wstring& path, const CheckProgress& progress, RomContents* contents = nullptr);

// A whole Android boot image: the magic "ANDROID!", a page size that is a
// power of two from 2048 to 16384, and the header page plus the kernel,
// ramdisk and second stage, each rounded up to whole pages, within the file.
bool IsRecoveryImage(const std::wstring& path);
constexpr uint32_t kBootImageHeaderSize = 608;

}  // namespace mirq
