#pragma once
// Readings of adb's trimmed standard output. Pure functions.
#include <map>
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
// An emulator by its serial: "emulator-PORT", or a TCP address on this PC
// ("127.0.0.1:PORT", "localhost:PORT") where emulators connect their adb.
bool IsEmulatorSerial(const std::wstring& serial);
// The devices that count for the check: with a device listed that is no
// emulator, the emulators are left aside (named in `aside`); with emulators
// alone, all of them (a phone may reach adb over TCP too).
std::vector<CDeviceEntry> SetEmulatorsAside(const std::vector<CDeviceEntry>& devices, std::vector<std::wstring>& aside);

// Removes the lines a client prints when it (re)starts the server or replaces
// an out-of-date one; true when a replacement was announced.
bool StripServerRestartLines(std::wstring& text);

// The lines of a text, split at LF; their trailing CRs dropped unless kept
// (a value that holds a line break keeps it as its own command gives it).
std::vector<std::wstring> Lines(const std::wstring& text, bool keepCr = false);

// What a client's error text says about the connection.
enum class ConnectionProblem { None, ManyDevices, Offline, Unauthorized };
ConnectionProblem ConnectionProblemIn(const std::wstring& errors);

// "getprop" with no argument, read as the phone writes it: a property starts
// a line as "[key]: [", and its value ends at the first "]" that ends a
// line, so a value holding line breaks (even a line that looks like a
// property of its own) is one value. Each value as "getprop KEY" alone gives
// it: trimmed, inner line breaks kept.
std::map<std::wstring, std::wstring> ParsePropertyList(const std::wstring& output);
// Splits the answer of commands joined by "echo SEPARATOR" at the lines that
// are exactly the separator (a token the program made for that reading).
std::vector<std::wstring> SplitAtSeparator(const std::wstring& output, const std::wstring& separator);
// Whether "get-state" (standard output, standard error) says the phone has
// left: "unknown" or another mode than "device" (recovery, offline, ...), or
// that it is not found. A client that fails without saying so tells nothing.
bool PhoneHasLeft(const std::wstring& state, const std::wstring& errors);

bool DevicesOutputHasDevice(const std::wstring& output);
bool IdOutputIsRoot(const std::wstring& output);
bool LsOutputEchoes(const std::wstring& output, const std::wstring& path);
// What "ls PATH" of one file says: it is there (the path echoed), it is not
// (the shell's "No such file or directory"), or nothing that tells (no
// answer at all included).
enum class RemotePresence { Present, Absent, Unknown };
RemotePresence LsPresence(const std::wstring& output, const std::wstring& path);
// Whether a client's words (either stream) say a push failed. No words prove
// a success: a refused push has a summary of its own ("0 files pushed ...
// (N bytes in S)"), and old clients printed nothing on standard output.
bool PushOutputReportsFailure(const std::wstring& output);
// The size from "ls -l" of one regular file: the number just before its date,
// "2011-12-07 10:00" (toolbox, toybox) or "Dec  7 10:00" / "Dec  7  2011"
// (busybox, which also prints a link count); -1 for a line it cannot read.
long long LsLongSize(const std::wstring& output);
// The size of the named file among the lines of several "ls -l" (toolbox
// names the file, toybox gives its path); -1 when no line lists it.
long long LsLongSizeOf(const std::wstring& output, const std::wstring& path);
// The status that "; echo rc=$?" printed on the output's last line; -1 when missing.
int ShellExitStatus(const std::wstring& output);
bool StartServerOutputIsSuccess(const std::wstring& output);
// The battery's charge in percent: "level:" x 100 / "scale:" of "dumpsys
// battery", else a bare number on a line of its own (the capacity file);
// -1 when neither is there.
int BatteryPercentIn(const std::wstring& output);
// The bytes "df PATH" shows free, as a lower bound, in the layouts of the
// phones' shells: "P: 7929M total, 1234M used, 6695M available (...)" (each
// size cut down to a whole unit), Android 4's table with rounded tenths
// ("6.5G") and toybox's 1K-blocks table; -1 when it cannot be read.
long long DfFreeBytes(const std::wstring& output);

}  // namespace mirq
