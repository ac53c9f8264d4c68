#pragma once
// Readings of adb's trimmed standard output. Pure functions.
#include <string>

namespace mirq {

bool DevicesOutputHasDevice(const std::wstring& output);
bool IdOutputIsRoot(const std::wstring& output);
bool LsOutputEchoes(const std::wstring& output, const std::wstring& path);
bool PushOutputIsSuccess(const std::wstring& output);
bool StartServerOutputIsSuccess(const std::wstring& output);

}  // namespace mirq
