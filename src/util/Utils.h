#pragma once
// Text, path and process helpers shared by the device bridge and its neighbours.
#include <functional>
#include <string>

#include "util/Text.h"

struct _FILETIME;

namespace mirq {

// Bytes of the ANSI code page -> UTF-16. Uses at most the first 1021 bytes.
std::wstring AnsiToWide(const std::string& bytes);
// The same for text of any length (a command's whole output).
std::wstring DecodeAnsi(const std::string& bytes);
// UTF-16 -> bytes of the OEM code page. Uses at most the first 1022 characters.
std::string WideToOem(const std::wstring& text);
// A path as the OEM and ANSI code pages (the batch line's, adb's arguments) write it exactly: the path
// itself, else its short (8.3) name; empty when neither can be written.
std::wstring OemExactPath(const std::wstring& path);
// Whether text comes through the OEM and ANSI code pages in use unchanged.
bool IsOemExact(const std::wstring& text);
std::string IntToString(int value);
std::wstring Utf8ToWide(const std::string& bytes);
std::string WideToUtf8(const std::wstring& text);

bool GetCurrentDir(std::wstring& out);
// The current directory captured at first use, kept for the life of the process.
std::wstring GetBaseDirectory();
// Where the program keeps what it makes (temp\ and log\): the base directory,
// or %LOCALAPPDATA%\Mirq when that cannot be written (a read-only share, an
// old install under Program Files). Decided at first use.
std::wstring GetDataDirectory();
// The PC's date, UTC, as YYYY-MM-DD: what a signed document's last day is compared with.
std::wstring TodayUtc();
// The user's temporary-files directory (ends in a backslash), empty on failure.
std::wstring GetTempDirectory();
std::wstring GetAdbPath();
bool IsAdbPresent();
bool PathExists(const std::wstring& path);
// An existing file that is not a folder.
bool IsRegularFile(const std::wstring& path);
// Size in bytes of a regular file; -1 for a folder or a missing file.
long long RegularFileSize(const std::wstring& path);
// A small file's bytes as they are (at most `limit`; empty when it cannot be read).
std::string ReadBinaryFile(const std::wstring& path, size_t limit = 1 << 20);
// Room on the volume that holds the path's folder; -1 when the system does not say.
long long FreeBytesBeside(const std::wstring& path);
// The root of that volume ("D:\\", "\\\\server\\share\\"); the folder itself when the system does not say.
std::wstring VolumeOf(const std::wstring& path);
// Creates or replaces the file with the bytes; false when not all were written.
bool WriteBinaryFile(const std::wstring& path, const std::string& bytes);
// The same written beside it first, flushed to the disk and moved over it:
// a write cut short, or the power lost, leaves the file as it was. `error`
// gets the system's error code of a failure (the write's or the rename's).
bool ReplaceFileWith(const std::wstring& path, const std::string& bytes, unsigned long* error = nullptr);

// Default limit of one hidden program started through the shell.
constexpr unsigned long kRunWaitLimitMs = 20 * 60 * 1000;

enum class RunResult { NotStarted, Finished, TimedOut, Stopped };

// What else a wait for a started program watches: an event that ends the
// program at once (a stop request), and a routine called about every tickMs
// while it runs (it runs on the waiting thread, so keep it short).
struct WaitWatch {
    void* stop = nullptr;  // an event HANDLE
    std::function<void()> onTick;
    unsigned long tickMs = 1000;
};
// Starts a file hidden through the shell and waits for it to end. When the
// limit passes, the started process and everything it started are ended.
RunResult RunAndWaitFor(const std::wstring& file, const std::wstring& params,
                        unsigned long limitMs);
bool RunAndWait(const std::wstring& file, const std::wstring& params);
// Runs a batch file with the system's cmd.exe (hidden, no window), not through
// the shell's file association, and waits as RunAndWaitFor does.
// With an error path, standard error of cmd.exe (and of what it starts) goes to that file.
// A finished batch's exit code goes to exitCode when given.
RunResult RunBatchAndWait(const std::wstring& batchPath, unsigned long limitMs, const std::wstring& errorPath = L"",
                          const WaitWatch& watch = WaitWatch(), unsigned long* exitCode = nullptr);
// Whether a command's processes are put into a job of their own (true, the
// default). Where that cannot be done (the program already inside a job that
// forbids nesting, as launchers on older Windows do) only processes created
// after the command are ended; false runs that way everywhere (for tests).
void UseJobObjects(bool use);
// The image name of a running process ("adb.exe"); empty when there is none.
std::wstring ProcessImageName(unsigned long pid);
// The full path of a running process's image; empty where Windows does not
// give it (no right to ask, or before Vista).
std::wstring ProcessImagePath(unsigned long pid);
// Ends a process and, first, every process below it created no earlier than
// notBefore (a process's recorded parent may be a dead one whose id was reused).
void TerminateProcessTree(unsigned long pid, const _FILETIME& notBefore);

}  // namespace mirq
