#pragma once
// The newest release version this PC has seen for each phone and flash type.
// A service that answers with an older record (a stolen online key replaying
// what it once signed, a mirror left behind) cannot roll the PC back.
#include <map>
#include <string>
#include <utility>

namespace mirq {

class CSeenReleases {
public:
    // Reads what is kept at `path` (nothing when it is missing or unreadable).
    explicit CSeenReleases(std::wstring path);

    // 0 when none was seen.
    long long Newest(const std::wstring& phonemode, int flashType) const;
    // Keeps `version` when it is newer than what was seen: written beside
    // and renamed over, so a crash leaves the old list or the new one.
    // 0, or the system's error code of a list that could not be written.
    unsigned long Note(const std::wstring& phonemode, int flashType, long long version);

private:
    std::wstring m_path;
    std::map<std::pair<int, std::wstring>, long long> m_newest;
};

// The kept list: in the data folder, beside the kept catalogue.
std::wstring SeenReleasesPath();

// One line a phone and type: "TYPE VERSION PHONEMODE", UTF-8. Lines that
// are not of that form are skipped.
std::map<std::pair<int, std::wstring>, long long> ParseSeenReleases(const std::wstring& text);
std::wstring FormatSeenReleases(const std::map<std::pair<int, std::wstring>, long long>& newest);

}  // namespace mirq
