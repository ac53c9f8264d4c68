#include "adb/AdbOutput.h"

#include <cwchar>
#include <cwctype>
#include <vector>

#include "adb/AdbConstants.h"
#include "util/Utils.h"

namespace mirq {
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

// The lines of a text, split at LF; their trailing CRs dropped unless kept
// (a value that holds a line break keeps it as its own command gives it).
std::vector<std::wstring> Lines(const std::wstring& text, bool keepCr = false) {
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
        if (start < at && at - start <= 9) return std::stoll(output.substr(start, at - start));
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

bool IsDate(const std::wstring& token) {  // YYYY-MM-DD
    if (token.size() != 10 || token[4] != L'-' || token[7] != L'-') return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (!std::iswdigit(token[i])) return false;
    return true;
}

}  // namespace

long long LsLongSize(const std::wstring& output) {
    const std::vector<std::wstring> tokens = Tokens(output.substr(0, output.find(L'\n')));
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
    const std::wstring digits = line.substr(marker.size());
    if (digits.find_first_not_of(L"0123456789") != std::wstring::npos) return -1;
    return std::stoi(digits);
}

namespace {

bool StartsWith(const std::wstring& text, const wchar_t* head) { return text.compare(0, wcslen(head), head) == 0; }

bool IsPropertyKeyChar(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'.' ||
           c == L'_' || c == L'-' || c == L':' || c == L'@';
}

// The length of "[key]: [" at the start of a line; 0 when the line starts no property.
size_t PropertyHead(const std::wstring& text, size_t at, std::wstring& key) {
    if (at >= text.size() || text[at] != L'[') return 0;
    size_t end = at + 1;
    while (end < text.size() && IsPropertyKeyChar(text[end])) ++end;
    if (end == at + 1 || text.compare(end, 4, L"]: [") != 0) return 0;
    key = text.substr(at + 1, end - at - 1);
    return end + 4 - at;
}

}  // namespace

std::map<std::wstring, std::wstring> ParsePropertyList(const std::wstring& output) {
    // Each property runs from its head to the last "]" before the next head:
    // a value may hold "]:", brackets and line breaks of its own.
    std::map<std::wstring, std::wstring> properties;
    std::vector<std::pair<std::wstring, std::pair<size_t, size_t>>> heads;  // key, value start, line start
    for (size_t line = 0; line <= output.size();) {
        std::wstring key;
        const size_t head = PropertyHead(output, line, key);
        if (head) heads.push_back({key, {line + head, line}});
        const size_t next = output.find(L'\n', line);
        if (next == std::wstring::npos) break;
        line = next + 1;
    }
    for (size_t i = 0; i < heads.size(); ++i) {
        const size_t start = heads[i].second.first;
        const size_t limit = i + 1 < heads.size() ? heads[i + 1].second.second : output.size();
        const size_t close = output.rfind(L']', limit == 0 ? 0 : limit - 1);
        if (close == std::wstring::npos || close < start) continue;
        properties[heads[i].first] = Trimmed(output.substr(start, close - start));
    }
    return properties;
}

std::vector<std::wstring> SplitAtSeparators(const std::wstring& output) {
    // Lines are kept as they came (a CR included): a value read from a part
    // is the value a command of its own would have given.
    std::vector<std::wstring> parts(1);
    for (const std::wstring& line : Lines(output, true)) {
        if (Trimmed(line) == kAnswerSeparator) parts.emplace_back();
        else parts.back() += line + L"\n";
    }
    return parts;
}

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

namespace {

// A whole number of at most `most` digits; -1 for anything else.
long long SmallNumber(const std::wstring& text, size_t most = 9) {
    if (text.empty() || text.size() > most || text.find_first_not_of(L"0123456789") != std::wstring::npos) return -1;
    return std::stoll(text);
}

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
