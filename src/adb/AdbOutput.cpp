#include "adb/AdbOutput.h"

#include <cwchar>
#include <cwctype>
#include <algorithm>
#include <iterator>
#include <vector>

#include "adb/AdbConstants.h"
#include "util/Utils.h"

namespace mirq {

std::vector<std::wstring> Lines(const std::wstring& text, bool keepCr) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        while (!keepCr && !line.empty() && line.back() == L'\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

namespace {

bool Contains(const std::wstring& text, const wchar_t* what) {
    return text.find(what) != std::wstring::npos;
}

// The words of a line, split at blanks (CR included).
std::vector<std::wstring> Tokens(const std::wstring& line) {
    std::vector<std::wstring> tokens;
    std::wstring token;
    for (wchar_t c : line + L" ") {
        if (c == L' ' || c == L'\t' || c == L'\r') {
            if (!token.empty()) tokens.push_back(token);
            token.clear();
        } else {
            token += c;
        }
    }
    return tokens;
}

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// N of a summary "N file(s) pushed" (clients since late 2015); -1 without one.
long long PushedCount(const std::wstring& output) {
    for (const wchar_t* marker : {L" file pushed", L" files pushed"}) {
        const size_t at = output.find(marker);
        if (at == std::wstring::npos) continue;
        size_t start = at;
        while (start > 0 && std::iswdigit(output[start - 1])) --start;
        if (start < at) return ParseDigits(output.substr(start, at - start), 9);
    }
    return -1;
}

}  // namespace

bool DevicesOutputHasDevice(const std::wstring& output) {
    const std::wstring banner = kDevicesBanner;
    if (output.size() < banner.size()) return false;
    return !EndsWith(output, banner);
}

bool IdOutputIsRoot(const std::wstring& output) { return output == kRootId; }

bool LsOutputEchoes(const std::wstring& output, const std::wstring& path) { return output == path; }

RemotePresence LsPresence(const std::wstring& output, const std::wstring& path) {
    if (LsOutputEchoes(output, path)) return RemotePresence::Present;
    if (Contains(output, L"No such file or directory")) return RemotePresence::Absent;
    return RemotePresence::Unknown;
}

// Errors of current clients ("adb: error: failed to copy ...", on standard
// output), of old ones ("failed to copy ...", "error: device not found", on
// standard error), and the summary that copied nothing.
bool PushOutputReportsFailure(const std::wstring& output) {
    for (const wchar_t* word : {L"error:", L"failed to copy", L"cannot stat"})
        if (Contains(output, word)) return true;
    return PushedCount(output) == 0;
}

namespace {

// A whole number of at most `most` digits; -1 for anything else.
long long SmallNumber(const std::wstring& text, size_t most = 9) { return ParseDigits(text, most); }

bool IsIsoDate(const std::wstring& token) {  // YYYY-MM-DD
    if (token.size() != 10 || token[4] != L'-' || token[7] != L'-') return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (!std::iswdigit(token[i])) return false;
    return true;
}

// "Dec  7 10:00" or "Dec  7  2011": a month's name, a day, a time or a year.
bool IsMonthDate(const std::vector<std::wstring>& tokens, size_t at) {
    static const wchar_t* const kMonths[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                             L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
    if (at + 2 >= tokens.size() || std::find(std::begin(kMonths), std::end(kMonths), tokens[at]) == std::end(kMonths))
        return false;
    const std::wstring& day = tokens[at + 1];
    const std::wstring& last = tokens[at + 2];
    const bool time = last.size() == 5 && last[2] == L':' && SmallNumber(last.substr(0, 2)) >= 0 &&
                      SmallNumber(last.substr(3)) >= 0;
    return SmallNumber(day, 2) >= 0 && (time || (last.size() == 4 && SmallNumber(last) >= 0));
}

}  // namespace

long long LsLongSize(const std::wstring& output) {
    const std::vector<std::wstring> tokens = Tokens(output.substr(0, output.find(L'\n')));
    if (tokens.empty() || tokens[0].size() != 10 || tokens[0][0] != L'-') return -1;
    for (size_t i = 2; i < tokens.size(); ++i) {
        if (!IsIsoDate(tokens[i]) && !IsMonthDate(tokens, i)) continue;
        const std::wstring& size = tokens[i - 1];
        return SmallNumber(size, 18);
    }
    return -1;
}

long long LsLongSizeOf(const std::wstring& output, const std::wstring& path) {
    const std::wstring name = path.substr(path.find_last_of(L'/') + 1);
    for (const std::wstring& listed : Lines(output)) {
        const std::wstring line = Trimmed(listed);
        const long long size = LsLongSize(line);
        if (size < 0 || !EndsWith(line, name) || line.size() <= name.size()) continue;
        const wchar_t before = line[line.size() - name.size() - 1];
        if (before == L' ' || before == L'/') return size;
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
    return static_cast<int>(ParseDigits(line.substr(marker.size()), 3));
}

namespace {

bool StartsWith(const std::wstring& text, const wchar_t* head) { return text.compare(0, wcslen(head), head) == 0; }

bool IsPropertyKeyChar(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'.' ||
           c == L'_' || c == L'-' || c == L':' || c == L'@';
}

// The length of "[key]: [" at the start of a line; 0 when the line starts no property.
size_t PropertyHead(const std::wstring& line, std::wstring& key) {
    if (line.empty() || line[0] != L'[') return 0;
    size_t end = 1;
    while (end < line.size() && IsPropertyKeyChar(line[end])) ++end;
    if (end == 1 || line.compare(end, 4, L"]: [") != 0) return 0;
    key = line.substr(1, end - 1);
    return end + 4;
}

// Whether a line (its CR aside) ends a value: its last character is "]".
bool EndsValue(const std::wstring& line) {
    size_t end = line.size();
    while (end > 0 && line[end - 1] == L'\r') --end;
    return end > 0 && line[end - 1] == L']';
}

}  // namespace

std::map<std::wstring, std::wstring> ParsePropertyList(const std::wstring& output) {
    std::map<std::wstring, std::wstring> properties;
    std::wstring key, value;
    bool inValue = false;
    for (const std::wstring& line : Lines(output, true)) {
        std::wstring text = line;
        if (!inValue) {
            const size_t head = PropertyHead(line, key);
            if (!head) continue;  // a line outside any property
            text = line.substr(head);
            value.clear();
            inValue = true;
        } else {
            value += L"\n";
        }
        if (!EndsValue(text)) {
            value += text;
            continue;
        }
        size_t end = text.size();
        while (text[end - 1] == L'\r') --end;
        value += text.substr(0, end - 1);
        properties[key] = Trimmed(value);
        inValue = false;
    }
    return properties;  // a value never closed was cut short: not taken
}

std::vector<std::wstring> SplitAtSeparator(const std::wstring& output, const std::wstring& separator) {
    // Lines are kept as they came (a CR included): a value read from a part
    // is the value a command of its own would have given.
    std::vector<std::wstring> parts(1);
    for (const std::wstring& line : Lines(output, true)) {
        if (Trimmed(line) == separator) parts.emplace_back();
        else parts.back() += line + L"\n";
    }
    return parts;
}

bool PhoneHasLeft(const std::wstring& state, const std::wstring& errors) {
    for (const wchar_t* mode : {L"unknown", L"offline", L"recovery", L"bootloader", L"sideload"})
        if (state == mode) return true;
    // "error: device not found", "error: device 'SERIAL' not found", "error:
    // no devices/emulators found", "error: device offline".
    return Contains(errors, L"not found") || Contains(errors, L"no devices/emulators") ||
           Contains(errors, L"device offline");
}

std::vector<CDeviceEntry> ParseDevicesList(const std::wstring& output) {
    std::vector<CDeviceEntry> devices;
    bool listed = false;
    for (const std::wstring& line : Lines(output)) {
        if (!listed) {
            listed = StartsWith(line, kDevicesBanner);
            continue;
        }
        // The client puts a TAB after the serial, which may hold blanks of its own.
        size_t gap = line.find(L'\t');
        if (gap == std::wstring::npos) gap = line.find_first_of(L" ");
        if (gap == 0 || gap == std::wstring::npos) continue;
        const size_t state = line.find_first_not_of(L"\t ", gap);
        if (state == std::wstring::npos) continue;
        const size_t stateEnd = line.find_first_of(L"\t ", state);
        devices.push_back({line.substr(0, gap), line.substr(state, stateEnd == std::wstring::npos ? stateEnd : stateEnd - state)});
    }
    return devices;
}

bool IsEmulatorSerial(const std::wstring& serial) {
    if (StartsWith(serial, L"emulator-")) return true;
    for (const wchar_t* host : {L"127.0.0.1:", L"localhost:"}) {
        if (StartsWith(serial, host) && serial.size() > wcslen(host) &&
            serial.find_first_not_of(L"0123456789", wcslen(host)) == std::wstring::npos)
            return true;
    }
    return false;
}

std::vector<CDeviceEntry> SetEmulatorsAside(const std::vector<CDeviceEntry>& devices, std::vector<std::wstring>& aside) {
    std::vector<CDeviceEntry> phones;
    aside.clear();
    for (const CDeviceEntry& device : devices) {
        if (IsEmulatorSerial(device.serial)) aside.push_back(device.serial);
        else phones.push_back(device);
    }
    if (phones.empty()) {
        aside.clear();
        return devices;
    }
    return phones;
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

namespace {


// "6695M" is at least 6695 MiB; "6.5G" was rounded to the nearest tenth, so
// it is at least 6.45 GiB. A bare number counts in bareUnit bytes (0: unreadable).
long long LeastBytes(const std::wstring& size, long long bareUnit) {
    long long unit = bareUnit;
    std::wstring digits = size;
    const wchar_t last = digits.empty() ? 0 : std::towupper(digits.back());
    if (last == L'K' || last == L'M' || last == L'G' || last == L'T') {
        unit = 1024LL << (last == L'K' ? 0 : last == L'M' ? 10 : last == L'G' ? 20 : 30);
        digits.pop_back();
    }
    if (unit <= 0) return -1;
    const size_t point = digits.find(L'.');
    const std::wstring whole = digits.substr(0, point);
    const std::wstring fraction = point == std::wstring::npos ? L"" : digits.substr(point + 1);
    if (fraction.size() > 2 || (point != std::wstring::npos && fraction.empty())) return -1;
    const long long wholeValue = SmallNumber(whole, 12);
    if (wholeValue < 0 || wholeValue >= (1LL << 62) / unit / 100) return -1;  // no card is that large
    if (fraction.empty()) return wholeValue * unit;
    const long long fractionValue = SmallNumber(fraction);
    if (fractionValue < 0) return -1;
    const long long scale = fraction.size() == 1 ? 10 : 100;
    const long long shown = wholeValue * scale + fractionValue;  // in 1/scale units
    return shown == 0 ? 0 : (2 * shown - 1) * unit / (2 * scale);
}

}  // namespace

int BatteryPercentIn(const std::wstring& output) {
    long long level = -1, scale = -1, bare = -1;
    for (const std::wstring& line : Lines(output)) {
        // "  level: 85" and "  scale: 100" of dumpsys; a bare number of the capacity file.
        const std::vector<std::wstring> tokens = Tokens(line);
        const long long value = tokens.empty() ? -1 : SmallNumber(tokens.back());
        if (value < 0) continue;
        if (tokens.size() == 1) bare = value;
        else if (tokens.size() == 2 && tokens[0] == L"level:") level = value;
        else if (tokens.size() == 2 && tokens[0] == L"scale:") scale = value;
    }
    if (level >= 0) {
        const long long percent = level * 100 / (scale > 0 ? scale : 100);
        return percent <= 100 ? static_cast<int>(percent) : -1;
    }
    return bare <= 100 ? static_cast<int>(bare) : -1;
}

long long DfFreeBytes(const std::wstring& output) {
    const std::vector<std::wstring> lines = Lines(output);
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::wstring& line = lines[i];
        const size_t available = line.find(L" available");
        if (available != std::wstring::npos && Contains(line, L" total,")) {
            const std::vector<std::wstring> before = Tokens(line.substr(0, available));
            return before.empty() ? -1 : LeastBytes(before.back(), 0);
        }
        const std::vector<std::wstring> header = Tokens(line);
        if (header.empty() || header[0] != L"Filesystem") continue;
        size_t column = 0;
        while (column < header.size() && header[column] != L"Available" && header[column] != L"Free") ++column;
        if (column == header.size()) return -1;
        const bool kilobytes = header.size() > 1 && (header[1] == L"1K-blocks" || header[1] == L"1k-blocks");
        std::vector<std::wstring> row = i + 1 < lines.size() ? Tokens(lines[i + 1]) : std::vector<std::wstring>();
        if (row.size() == 1 && i + 2 < lines.size()) {  // a long name on a line of its own
            const std::vector<std::wstring> rest = Tokens(lines[i + 2]);
            row.insert(row.end(), rest.begin(), rest.end());
        }
        return column < row.size() ? LeastBytes(row[column], kilobytes ? 1024 : 0) : -1;
    }
    return -1;
}

}  // namespace mirq
