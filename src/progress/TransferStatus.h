#pragma once
// The speed and time left of a transfer (a download, a push), as the
// progress window's text shows them.
#include <windows.h>

#include <deque>
#include <string>
#include <utility>

namespace mirq {

// Speed over the last few seconds of a transfer.
class CSpeedMeter {
public:
    void Add(DWORD tick, unsigned long long bytes);
    double BytesPerSecond() const;

private:
    static const DWORD kWindowMs = 3000;
    std::deque<std::pair<DWORD, unsigned long long>> m_samples;
};

// "<prefix> 2.4 MB/s，剩余约 1分05秒": no time left when it is not known
// (secondsLeft < 0), no speed before one is measured.
std::wstring FormatTransferStatus(const std::wstring& prefix, double bytesPerSecond, double secondsLeft);
// "1小时02分", "1分05秒", "59秒".
std::wstring FormatDuration(long long seconds);

}  // namespace mirq
