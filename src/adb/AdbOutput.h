#pragma once
// Readings of adb's trimmed standard output. Pure functions.
#include <string>

namespace mirq {

bool DevicesOutputHasDevice(const std::wstring& output);
bool IdOutputIsRoot(const std::wstring& output);
bool LsOutputEchoes(const std::wstring& output, const std::wstring& path);
// A client's push summary; empty output proves nothing (old clients and
// failures alike print nothing on standard output) and gives false.
bool PushOutputIsSuccess(const std::wstring& output);
// The size from "ls -l" of one regular file, toolbox or toybox layout (the
// number just before the date); -1 for anything else.
long long LsLongSize(const std::wstring& output);
// The status that "; echo rc=$?" printed on the output's last line; -1 when missing.
int ShellExitStatus(const std::wstring& output);
bool StartServerOutputIsSuccess(const std::wstring& output);

}  // namespace mirq
