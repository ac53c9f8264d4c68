#include "progress/TransferStatus.h"

#include <cwchar>

namespace mirq {

void CSpeedMeter::Add(DWORD tick, unsigned long long bytes) {
    m_samples.push_back({tick, bytes});
    while (m_samples.size() > 2 && tick - m_samples.front().first > kWindowMs) m_samples.pop_front();
}

double CSpeedMeter::BytesPerSecond() const {
    if (m_samples.size() < 2) return 0;
    const DWORD span = m_samples.back().first - m_samples.front().first;
    return span ? (m_samples.back().second - m_samples.front().second) * 1000.0 / span : 0;
}

std::wstring FormatTransferStatus(const std::wstring& prefix, double bytesPerSecond, double secondsLeft) {
    std::wstring text = prefix;
    if (bytesPerSecond <= 0) return text;
    wchar_t buf[64];
    const double mb = bytesPerSecond / 1048576.0;
    if (mb >= 0.1) swprintf(buf, 64, L" %.1f MB/s", mb);
    else swprintf(buf, 64, L" %.0f KB/s", bytesPerSecond / 1024.0);
    text += buf;
    if (secondsLeft < 0) return text;
    return text + L"，剩余约 " + FormatDuration(static_cast<long long>(secondsLeft + 0.5));
}

std::wstring FormatDuration(long long seconds) {
    wchar_t buf[64];
    if (seconds >= 3600) swprintf(buf, 64, L"%lld小时%02lld分", seconds / 3600, seconds / 60 % 60);
    else if (seconds >= 60) swprintf(buf, 64, L"%lld分%02lld秒", seconds / 60, seconds % 60);
    else swprintf(buf, 64, L"%lld秒", seconds);
    return buf;
}

}  // namespace mirq
