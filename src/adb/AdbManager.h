#pragma once
// The only road to the phone: runs adb.exe through a one-line batch file and
// reads back its standard output.
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "adb/Serial.h"
#include "adb/AdbOutput.h"
#include "util/StopToken.h"
#include "util/Utils.h"

namespace mirq {

// Limits of one adb command: ordinary ones end within a minute; a push gets
// two minutes plus a second per MiB (USB 1.1 speeds of the oldest phones).
constexpr unsigned long kCommandLimitMs = 60 * 1000;
constexpr unsigned long kPushBaseLimitMs = 120 * 1000;
constexpr unsigned long kPushMsPerMiB = 1000;
// How often a running push's file is measured on the phone.
constexpr unsigned long kPushPollMs = 1000;
constexpr unsigned long kPushPollLimitMs = 5000;
// The adb server needs a moment after it has been stopped or started.
constexpr unsigned long kServerSettleMs = 500;
// A phone told to reboot leaves the device list within a second or two.
constexpr unsigned long kLeaveLimitMs = 15 * 1000;
constexpr unsigned long kLeavePollMs = 250;

// What the phone's storage card holds room for: bytes surely free (-1 when
// the phone's answer could not be read) and the sizes of files there (-1: none).
struct StorageReading {
    long long freeBytes;
    std::vector<long long> fileBytes;
};

// What one command tells of a phone: every property, and whether adb has
// root there; not read when the command failed, or its answer was cut short
// (no separator after the properties: the cable was pulled between the two).
struct PhoneReading {
    bool read = false;
    std::map<std::wstring, std::wstring> properties;
    bool rooted = false;
    std::wstring Property(const std::wstring& key) const {
        auto it = properties.find(key);
        return it == properties.end() ? std::wstring() : it->second;
    }
};

// The battery's charge in percent (-1: the phone does not tell) and the storage card.
struct PowerAndStorage {
    int batteryPercent;
    StorageReading storage;
};

class CAdbManager {
public:
    static CAdbManager* GetInstance();
    virtual ~CAdbManager() = default;

    void Reset();
    // Runs adb with the verb and arguments, for the phone of the serial
    // ("-s SERIAL"; empty: the only device attached); returns its trimmed
    // standard output. Commands run one at a time in the process (the one
    // exception: a push's size poll, see Push); each is ended after its limit,
    // or at once when the watched stop is requested.
    std::wstring RunAdbCommand(const std::wstring& verb, const std::wstring& args);
    std::wstring RunAdbCommand(const std::wstring& verb, const std::wstring& args, unsigned long limitMs,
                               const WaitWatch& watch, const CSerial& serial);
    // How the last command ended: only a finished command's output is read.
    RunResult LastRunResult() const { return m_lastRun; }
    // The exit status adb returned for the last command; -1 unless it finished.
    // Old clients return 0 whatever happened; current ones 1 on an error; a
    // crash leaves its exception code (0xC0000005, negative as a long).
    long LastExitStatus() const { return m_lastStatus; }
    // Whether the last command finished with status 0: anything else failed.
    bool LastSucceeded() const { return m_lastRun == RunResult::Finished && m_lastStatus == 0; }
    // Stops the adb server and sweeps output files left by earlier runs.
    void KillServerAndCleanUp();

    // Device operations. Each names its phone by the serial the device check
    // found (empty: the only device attached), so that a device attached
    // meanwhile (an emulator starting, a second phone charging) changes nothing.
    bool IsDeviceConnected();
    bool RestartServer();
    bool IsRooted(const CSerial& serial);
    // Every property and the root state in one command.
    PhoneReading ReadPhone(const CSerial& serial);
    std::wstring Shell(const CSerial& serial, const std::wstring& command);
    // The same ended at once by a requested stop (a wait that must answer a stop within a second).
    PhoneReading ReadPhone(const CSerial& serial, const CStopToken& stop);
    std::wstring Shell(const CSerial& serial, const std::wstring& command, const CStopToken& stop);
    std::vector<CDeviceEntry> ListDevices(const CStopToken& stop);
    // Runs a shell command and returns its exit status; -1 when unknown.
    int ShellStatus(const CSerial& serial, const std::wstring& command);
    bool RemoteFileExists(const CSerial& serial, const std::wstring& devicePath);
    // Whether a file is on the phone; Unknown unless the phone said so.
    RemotePresence RemoteFilePresence(const CSerial& serial, const std::wstring& devicePath);
    // The battery, the free space of a folder and the sizes of files in it, in one command.
    PowerAndStorage ReadPowerAndStorage(const CSerial& serial, const std::wstring& folder,
                                        const std::vector<std::wstring>& files);
    // The free space of a folder alone; -1 when the answer could not be read.
    long long ReadFreeSpace(const CSerial& serial, const std::wstring& folder);
    // Size of a regular file on the phone from "ls -l"; -1 when there is none
    // or the line cannot be read.
    long long RemoteFileSize(const CSerial& serial, const std::wstring& devicePath);
    // True only when the phone holds a file of the local size: the client's
    // words (an error, "0 files pushed", a non-zero status) can only make a
    // push fail. With a stop token the push ends at once when a stop is
    // requested, and what arrived is removed until the phone says it is gone;
    // with a progress routine, the file's size on the phone is measured about
    // every second while the push runs.
    typedef std::function<void(long long onPhone, long long total)> PushProgress;
    bool Push(const CSerial& serial, const std::wstring& localPath, const std::wstring& devicePath,
              const CStopToken* stop = nullptr, const PushProgress& progress = nullptr);
    // Whether a file on the phone holds exactly these bytes (read back whole;
    // line ends as the shell's pty turned them are taken back).
    bool RemoteFileHolds(const CSerial& serial, const std::wstring& devicePath, const std::string& bytes);
    // Removes a file until the phone says it is not there, within the limit;
    // false when that was never said.
    bool RemoveUntilGone(const CSerial& serial, const std::wstring& devicePath, unsigned long limitMs);
    void Reboot(const CSerial& serial, const std::wstring& target);
    // After a reboot: true once the phone says it has left ("unknown", another
    // mode such as recovery or offline, "not found"), polled until the leave
    // limit. A client that fails without saying so (a crash) tells nothing.
    bool WaitUntilGone(const CSerial& serial);

    const std::wstring& LastOutput() const { return m_lastOutput; }
    // What the client wrote on standard error for the last command (its own errors).
    const std::wstring& LastError() const { return m_lastError; }
    // The attached devices as "devices" lists them.
    std::vector<CDeviceEntry> ListDevices();
    // Commands in a row whose client found the server out of date and replaced
    // it: two or more mean another program keeps starting its own server.
    int ServerReplacedInARow() const { return m_serverReplacedInARow; }
    // How long an ordinary command, and a push before its per-MiB allowance,
    // may run; how long a rebooted phone may take to leave.
    void SetWaitLimits(unsigned long commandMs, unsigned long pushBaseMs, unsigned long leaveMs = kLeaveLimitMs);
    unsigned long PushLimitMs(long long bytes) const;

private:
    CAdbManager() = default;
    // The size of a file on the phone while a push writes it, through files
    // of its own; -1 when the phone did not tell.
    long long PushedSoFar(const CSerial& serial, const std::wstring& devicePath, void* stop) const;
    // The last command's standard error as lines to read after its output:
    // a shell command's errors come there with the shell protocol.
    std::wstring ErrorLines() const { return m_lastError.empty() ? std::wstring() : L"\n" + m_lastError; }
    std::recursive_mutex m_lock;  // one command (or multi-command operation) at a time
    std::wstring m_lastOutput;
    std::wstring m_lastError;
    int m_serverReplacedInARow = 0;
    RunResult m_lastRun = RunResult::NotStarted;
    long m_lastStatus = -1;
    unsigned long m_commandLimitMs = kCommandLimitMs;
    unsigned long m_pushBaseLimitMs = kPushBaseLimitMs;
    unsigned long m_leaveLimitMs = kLeaveLimitMs;
};

// Command-line building, kept free of side effects so it can be checked alone.
// cmd.exe expands percent signs inside a batch file even between quotes.
std::wstring EscapeForBatch(const std::wstring& text);
// The serial, when there is one, comes first and quoted: a phone names
// itself, and its name must not reach cmd.exe as words of its own.
std::wstring BuildAdbCommandLine(const std::wstring& adbPath, const std::wstring& verb, const std::wstring& args,
                                 const std::wstring& outputPath, const CSerial& serial);
// Whether a serial can be named on a command line (no quote, no control character).
bool IsUsableSerial(const std::wstring& serial);
std::wstring BuildCleanUpScript(const std::wstring& baseDir, bool baseExists,
                                const std::wstring& tempDir, bool tempExists);
// The scratch directory: the temporary directory, else the base directory.
std::wstring ScratchDirectory();

}  // namespace mirq
