#pragma once
// The only road to the phone: runs adb.exe through a one-line batch file and
// reads back its standard output.
#include <string>

#include "util/Utils.h"

namespace mirq {

class CAdbManager {
public:
    static CAdbManager* GetInstance();
    virtual ~CAdbManager() = default;

    void Reset();
    // Runs adb with the verb and arguments; returns its trimmed standard output.
    std::wstring RunAdbCommand(const std::wstring& verb, const std::wstring& args);
    // Stops the adb server and sweeps output files left by earlier runs.
    void KillServerAndCleanUp();

    // Device operations.
    bool IsDeviceConnected();
    bool RestartServer();
    bool IsRooted();
    std::wstring GetProp(const std::wstring& key);
    std::wstring GetBrand();
    std::wstring GetModel();
    std::wstring GetDevice();
    std::wstring GetVersionRelease();
    std::wstring GetManufacturer();
    std::wstring GetBootloader();
    std::wstring GetBasebandVersion();
    std::wstring GetBuildDescription();
    std::wstring GetImei();
    std::wstring Shell(const std::wstring& command);
    bool RemoteFileExists(const std::wstring& devicePath);
    bool Push(const std::wstring& localPath, const std::wstring& devicePath);
    void Reboot(const std::wstring& target);

    const std::wstring& LastOutput() const { return m_lastOutput; }
    // How long one command may run before its processes are ended.
    void SetWaitLimit(unsigned long ms) { m_waitLimitMs = ms; }

private:
    CAdbManager() = default;
    std::wstring m_lastOutput;
    unsigned long m_waitLimitMs = kRunWaitLimitMs;
};

// Command-line building, kept free of side effects so it can be checked alone.
// cmd.exe expands percent signs inside a batch file even between quotes.
std::wstring EscapeForBatch(const std::wstring& text);
std::wstring BuildAdbCommandLine(const std::wstring& adbPath, const std::wstring& verb,
                                 const std::wstring& args, const std::wstring& outputPath);
std::wstring BuildCleanUpScript(const std::wstring& baseDir, bool baseExists,
                                const std::wstring& tempDir, bool tempExists);
// The scratch directory: the temporary directory, else the base directory.
std::wstring ScratchDirectory();

}  // namespace mirq
