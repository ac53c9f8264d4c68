#include "adb/AdbOutput.h"

#include <cwctype>

#include "adb/AdbConstants.h"

namespace mirq {
namespace {

bool Contains(const std::wstring& text, const wchar_t* what) {
    return text.find(what) != std::wstring::npos;
}

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// "N file pushed" / "N files pushed" with N above zero (clients since late 2015).
bool HasPushedSummary(const std::wstring& output) {
    for (const wchar_t* marker : {L" file pushed", L" files pushed"}) {
        size_t at = output.find(marker);
        if (at == std::wstring::npos) continue;
        size_t start = at;
        while (start > 0 && std::iswdigit(output[start - 1])) --start;
        if (start < at && output.substr(start, at - start).find_first_not_of(L'0') != std::wstring::npos)
            return true;
    }
    return false;
}

}  // namespace

bool DevicesOutputHasDevice(const std::wstring& output) {
    const std::wstring banner = kDevicesBanner;
    if (output.size() < banner.size()) return false;
    return !EndsWith(output, banner);
}

bool IdOutputIsRoot(const std::wstring& output) { return output == kRootId; }

bool LsOutputEchoes(const std::wstring& output, const std::wstring& path) { return output == path; }

// Old clients print nothing on standard output (the summary went to stderr);
// later ones print "N KB/s (N bytes in S.SSSs)", and current ones
// "<local>: 1 file pushed, 0 skipped. 4.2 MB/s (N bytes in 0.123s)", with the
// rate left out when the measured time is 0. Any other text is an error.
bool PushOutputIsSuccess(const std::wstring& output) {
    if (output.empty()) return true;
    if (Contains(output, kPushBytesIn) && Contains(output, L"B/s")) return true;
    return HasPushedSummary(output);
}

bool StartServerOutputIsSuccess(const std::wstring& output) {
    return output.empty() || Contains(output, kDaemonStarted);
}

}  // namespace mirq
