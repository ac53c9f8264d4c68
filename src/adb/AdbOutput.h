#pragma once
// Readings of adb's trimmed standard output. Pure functions.
#include <string>

#include <vector>

namespace mirq {

// One line of "adb devices": serial and state ("device", "offline", "unauthorized", ...).
struct CDeviceEntry {
    std::wstring serial;
    std::wstring state;
    bool operator==(const CDeviceEntry& other) const { return serial == other.serial && state == other.state; }
};
// The device lines after the list's header; daemon messages before it and
// blank lines are passed over.
std::vector<CDeviceEntry> ParseDevicesList(const std::wstring& output);

// Removes the lines a client prints when it (re)starts the server or replaces
// an out-of-date one; true when a replacement was announced.
bool StripServerRestartLines(std::wstring& text);

// What a client's error text says about the connection.
enum class ConnectionProblem { None, ManyDevices, Offline, Unauthorized };
ConnectionProblem ConnectionProblemIn(const std::wstring& errors);

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
