#pragma once
// Shared test support: every test process works in a sandbox of its own whose
// path holds a space, Chinese characters and a percent sign:
//   <temp>\mirq 测试 100%\<pid>\base   current (= base) directory, with tools\adb.exe
//   <temp>\mirq 测试 100%\<pid>\tmp\   the process's TMP/TEMP
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "progress/ProgressListener.h"
#include "util/Thread.h"
#include "util/Utils.h"

namespace mirqtest {

struct Sandbox {
    std::wstring root;     // ends in a backslash
    std::wstring base;     // no trailing backslash
    std::wstring temp;     // ends in a backslash
    std::wstring binDir;   // folder of the test executables (ends in a backslash)
};
const Sandbox& GetSandbox();

std::string ReadBytes(const std::wstring& path, bool* ok = nullptr);
bool WriteBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);
std::vector<std::wstring> ListDir(const std::wstring& dir);  // names, without . and ..
void RemoveTree(const std::wstring& dir);
using mirq::Utf8ToWide;
using mirq::WideToUtf8;
// Runs a program directly (no shell) and waits; returns its exit code or -1.
int RunProcess(const std::wstring& exe, const std::wstring& args, unsigned long limitMs = 30000);
// A file of the given size with varied, reproducible content.
std::string MakeContent(size_t size, unsigned seed);
// A whole zip archive of the named entries (deflated or stored); a ROM
// package as recoveries install it (update-binary, an updater script that
// asserts the device, a payload); a recovery image of `size` bytes (at least
// three 2048-byte pages: a boot image header, kernel and ramdisk).
std::string MakeZip(const std::vector<std::pair<std::string, std::string>>& entries, bool deflate = true);
std::string MakePackage(size_t payloadSize, unsigned seed, const std::string& device = "crespo");
std::string MakeRecoveryImage(size_t size, unsigned seed);
const char kUpdaterScriptName[] = "META-INF/com/google/android/updater-script";
// Little-endian fields of zip records: read `bytes` (1..4) at `at`; write 4.
uint32_t ReadLe(const std::string& data, size_t at, int bytes);
// A zip as a real tool wrote it (made at build time into tests/zips).
std::wstring RealZip(const wchar_t* name);
void WriteLe32(std::string& data, size_t at, uint32_t value);

// The simulated phone installed in the sandbox (tools\adb.exe and its state).
class CSimPhone {
public:
    static std::wstring AdbPath();
    static void Install();                 // copies the test double into base\tools
    static void Uninstall();               // removes base\tools\adb.exe
    static void Reset(const char* profile);
    static void Set(const char* key, const std::string& value);
    static void Prop(const char* key, const std::string& value);
    static void ReleasePush();  // a push slowed by push_rate lets the rest through at once
    // The command lines the phone received, without the "-s \"SERIAL\" " that names it;
    // RawJournal: as they came.
    static std::vector<std::string> Journal();
    static std::vector<std::string> RawJournal();
    static void ClearJournal();
    static std::wstring PhoneFile(const std::string& phonePath);  // local path of a phone file
    static std::string ReadPhoneFile(const std::string& phonePath, bool* ok = nullptr);
    static void WritePhoneFile(const std::string& phonePath, const std::string& bytes);
    static bool PhoneFileExists(const std::string& phonePath);
    // The command script the recovery ran ("extendedcommand", "openrecoveryscript"): empty when none.
    static std::string RecoveryRan(const char* script);
    static std::string RecoveryPartition(bool* ok = nullptr);
    static std::string StateValue(const char* key);
};

// A USB device planted in the prefix's registry while this lives, as SetupAPI
// lists a present one: "VID_xxxx&PID_xxxx", a compatible id (ADB: Prot_01,
// fastboot: Prot_03), its service (empty: no driver) and config flags.
class CPlantedUsbDevice {
public:
    CPlantedUsbDevice(const std::wstring& vidPid, const std::wstring& compatibleId, const std::wstring& service,
                      unsigned long configFlags);
    ~CPlantedUsbDevice();
    CPlantedUsbDevice(const CPlantedUsbDevice&) = delete;
    CPlantedUsbDevice& operator=(const CPlantedUsbDevice&) = delete;

private:
    std::wstring m_parent;
};

// A listener on 127.0.0.1:5037 (or the port given) while this lives that
// answers "host:version" as an adb server of that version does, or (version
// -1) accepts and says nothing, or (kAcceptsNothing) takes no connection at
// all: its queue is full, so a connect waits as on a loaded machine.
class CPortListener {
public:
    static const int kAcceptsNothing = -2;
    static const int kDrips = -3;
    explicit CPortListener(int adbVersion, unsigned short port = 5037);
    ~CPortListener();
    CPortListener(const CPortListener&) = delete;
    CPortListener& operator=(const CPortListener&) = delete;
    bool Listening() const { return m_socket != ~0u; }

private:
    unsigned int m_socket = ~0u;
    std::vector<unsigned int> m_fillers;  // the connections that fill a queue nobody takes from
    std::unique_ptr<mirq::CThread> m_thread;
};

// The proxy set in Internet Options (HKCU), as an office sets it, while this
// lives; taken away when it goes (the prefix outlives the test).
class CSystemProxy {
public:
    explicit CSystemProxy(const std::wstring& server) { Set(server); }
    ~CSystemProxy();
    void Set(const std::wstring& server);
    CSystemProxy(const CSystemProxy&) = delete;
    CSystemProxy& operator=(const CSystemProxy&) = delete;
};
// The proxy of the local service this test uses.
std::wstring ServiceProxy();

// The journal lines that start with the given prefix.
std::vector<std::string> Matching(const std::vector<std::string>& lines, const std::string& prefix);
// The last line, or "" when there is none.
inline std::string LastLine(const std::vector<std::string>& lines) { return lines.empty() ? "" : lines.back(); }

// Keeps every report, in order.
class CRecordingListener : public mirq::IProgressListener {
public:
    struct Report {
        int percent;
        std::wstring text;
        bool operator==(const Report& o) const { return percent == o.percent && text == o.text; }
    };
    void OnProgress(int percent, const std::wstring& text) override { reports.push_back({percent, text}); }
    void OnReserved(int) override {}
    std::vector<int> Percents() const {
        std::vector<int> p;
        for (const Report& r : reports) p.push_back(r.percent);
        return p;
    }
    std::vector<Report> reports;
};


// The local download service (started by ctest's fixture on 127.0.0.1:8080).
// A bare WinINet GET of the whole body; false on any failure or a status other than 200.
bool HttpGet(const std::wstring& url, std::string& body);
// /_sim/<command> of the service, e.g. "reset" or "set?short=1".
std::string ServiceControl(const std::string& command);
// The service's port: the one MIRQ_TEST_SERVICE_PORT names, else the one
// ctest handed this test out of its pool, else 8080.
int ServicePort();
std::wstring ServiceUrl(const std::wstring& path);  // http://127.0.0.1:<port>/<path>
// Points the downloader at the local service, with the build's key (its
// answers verified) or with none (taken as they come, as a build without a key does).
void UseLocalService(bool verified = true);
// The bytes the service serves at the path (a test failure when it answers otherwise).
std::string Served(const std::wstring& path);

// Resets the service's faults and log before and after each test.
class CServiceTest : public ::testing::Test {
protected:
    void SetUp() override { ServiceControl("reset"); }
    void TearDown() override { ServiceControl("reset"); }
};

}  // namespace mirqtest
