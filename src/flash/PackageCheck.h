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

// A regular file that is a consistent zip: its end record is found, its
// central directory agrees with itself and with every local header, and every
// entry inflates to its recorded size and CRC-32.
PackageCheck CheckRomPackage(const std::wstring& path, const CheckProgress& progress);

// Starts with the boot image magic "ANDROID!" and is longer than the header.
bool IsRecoveryImage(const std::wstring& path);
constexpr uint32_t kBootImageHeaderSize = 608;

}  // namespace mirq
