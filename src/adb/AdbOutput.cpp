#include "adb/AdbOutput.h"

#include <cwchar>
#include <cwctype>
#include <vector>

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
    if (output.empty()) return false;
    if (Contains(output, kPushBytesIn) && Contains(output, L"B/s")) return true;
    return HasPushedSummary(output);
}

namespace {

bool IsDate(const std::wstring& token) {  // YYYY-MM-DD
    if (token.size() != 10 || token[4] != L'-' || token[7] != L'-') return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (!std::iswdigit(token[i])) return false;
    return true;
}

}  // namespace

long long LsLongSize(const std::wstring& output) {
    std::vector<std::wstring> tokens;
    std::wstring token;
    for (wchar_t c : output.substr(0, output.find(L'\n'))) {
        if (c == L' ' || c == L'\t' || c == L'\r') {
            if (!token.empty()) tokens.push_back(token);
            token.clear();
        } else {
            token += c;
        }
    }
    if (!token.empty()) tokens.push_back(token);
    if (tokens.empty() || tokens[0].size() != 10 || tokens[0][0] != L'-') return -1;
    for (size_t i = 2; i < tokens.size(); ++i) {
        if (!IsDate(tokens[i])) continue;
        const std::wstring& size = tokens[i - 1];
        if (size.empty() || size.size() > 18 || size.find_first_not_of(L"0123456789") != std::wstring::npos)
            return -1;
        return std::stoll(size);
    }
    return -1;
}

int ShellExitStatus(const std::wstring& output) {
    const size_t lineStart = output.find_last_of(L'\n') == std::wstring::npos ? 0 : output.find_last_of(L'\n') + 1;
    std::wstring line = output.substr(lineStart);
    while (!line.empty() && (line.back() == L'\r' || line.back() == L' ')) line.pop_back();
    const std::wstring marker = kShellStatusMarker;
    if (line.compare(0, marker.size(), marker) != 0 || line.size() == marker.size() || line.size() > marker.size() + 3)
        return -1;
    const std::wstring digits = line.substr(marker.size());
    if (digits.find_first_not_of(L"0123456789") != std::wstring::npos) return -1;
    return std::stoi(digits);
}

namespace {

std::vector<std::wstring> Lines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        while (!line.empty() && line.back() == L'\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

bool StartsWith(const std::wstring& text, const wchar_t* head) { return text.compare(0, wcslen(head), head) == 0; }

}  // namespace

std::vector<CDeviceEntry> ParseDevicesList(const std::wstring& output) {
    std::vector<CDeviceEntry> devices;
    bool listed = false;
    for (const std::wstring& line : Lines(output)) {
        if (!listed) {
            listed = StartsWith(line, kDevicesBanner);
            continue;
        }
        const size_t gap = line.find_first_of(L"\t ");
        if (gap == 0 || gap == std::wstring::npos) continue;
        const size_t state = line.find_first_not_of(L"\t ", gap);
        if (state == std::wstring::npos) continue;
        const size_t stateEnd = line.find_first_of(L"\t ", state);
        devices.push_back({line.substr(0, gap), line.substr(state, stateEnd == std::wstring::npos ? stateEnd : stateEnd - state)});
    }
    return devices;
}

bool StripServerRestartLines(std::wstring& text) {
    bool replaced = false, stripped = false;
    std::wstring kept;
    for (const std::wstring& line : Lines(text)) {
        const bool outOfDate = StartsWith(line, L"adb server is out of date") ||
                               (StartsWith(line, L"adb server version (") && line.find(L"killing") != std::wstring::npos);
        if (outOfDate || StartsWith(line, L"* daemon not running") || StartsWith(line, L"* daemon started successfully")) {
            replaced = replaced || outOfDate;
            stripped = true;
            continue;
        }
        kept += line + L"\n";
    }
    if (stripped) text = kept;
    return replaced;
}

ConnectionProblem ConnectionProblemIn(const std::wstring& errors) {
    if (errors.find(L"more than one device") != std::wstring::npos) return ConnectionProblem::ManyDevices;
    if (errors.find(L"device offline") != std::wstring::npos) return ConnectionProblem::Offline;
    if (errors.find(L"unauthorized") != std::wstring::npos) return ConnectionProblem::Unauthorized;
    return ConnectionProblem::None;
}

bool StartServerOutputIsSuccess(const std::wstring& output) {
    return output.empty() || Contains(output, kDaemonStarted);
}

}  // namespace mirq
