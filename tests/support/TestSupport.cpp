#include "TestSupport.h"

#include <winsock2.h>
#include <windows.h>
#include <wininet.h>
#include <shlwapi.h>

#include <zlib.h>


#include <cstdio>
#include <fstream>
#include <sstream>

#include "download/ResourceDownloader.h"
#include "download/ServiceAnswer.h"


namespace mirqtest {

std::string ReadBytes(const std::wstring& path, bool* ok) {
    std::ifstream in(path.c_str(), std::ios::binary);
    if (ok) *ok = in.good();
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out << bytes;
    return out.good();
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::wstring> ListDir(const std::wstring& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    std::wstring pattern = dir;
    if (pattern.empty() || pattern.back() != L'\\') pattern += L'\\';
    HANDLE h = FindFirstFileW((pattern + L"*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        std::wstring name = fd.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return names;
}

void RemoveTree(const std::wstring& dir) {
    std::wstring d = dir;
    while (!d.empty() && d.back() == L'\\') d.pop_back();
    for (const std::wstring& name : ListDir(d)) {
        std::wstring p = d + L"\\" + name;
        DWORD a = GetFileAttributesW(p.c_str());
        if (a & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(p);
        else {
            SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(p.c_str());
        }
    }
    RemoveDirectoryW(d.c_str());
}

int RunProcess(const std::wstring& exe, const std::wstring& args, unsigned long limitMs) {
    std::wstring cmd = L"\"" + exe + L"\" " + args;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &si, &pi))
        return -1;
    DWORD code = (DWORD)-1;
    if (WaitForSingleObject(pi.hProcess, limitMs) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
    else TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return (int)code;
}

std::string MakeContent(size_t size, unsigned seed) {
    std::string s(size, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = (char)(x >> 16);
    }
    return s;
}

namespace {
void Put16(std::string& out, unsigned v) { out += (char)(v & 0xFF); out += (char)((v >> 8) & 0xFF); }
void Put32(std::string& out, unsigned long v) { Put16(out, v & 0xFFFF); Put16(out, (v >> 16) & 0xFFFF); }

std::string RawDeflate(const std::string& data) {
    z_stream z = {};
    deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, (uLong)data.size()), '\0');
    z.next_in = (Bytef*)data.data();
    z.avail_in = (uInt)data.size();
    z.next_out = (Bytef*)&out[0];
    z.avail_out = (uInt)out.size();
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}
}  // namespace

std::string MakeZip(const std::vector<std::pair<std::string, std::string>>& entries, bool deflate) {
    std::string body, central;
    for (const auto& e : entries) {
        const std::string packed = deflate ? RawDeflate(e.second) : e.second;
        const unsigned long crc = crc32(0, (const Bytef*)e.second.data(), (uInt)e.second.size());
        const unsigned long offset = (unsigned long)body.size();
        std::string fields;  // version, flags, method, time, date, crc, sizes, name length
        Put16(fields, 20); Put16(fields, 0); Put16(fields, deflate ? 8 : 0); Put16(fields, 0); Put16(fields, 0x21);
        Put32(fields, crc); Put32(fields, (unsigned long)packed.size()); Put32(fields, (unsigned long)e.second.size());
        Put16(fields, (unsigned)e.first.size());
        Put32(body, 0x04034b50); body += fields; Put16(body, 0); body += e.first + packed;
        Put32(central, 0x02014b50); Put16(central, 20); central += fields;
        Put16(central, 0); Put16(central, 0); Put16(central, 0); Put16(central, 0); Put32(central, 0);
        Put32(central, offset); central += e.first;
    }
    std::string zip = body + central;
    Put32(zip, 0x06054b50); Put16(zip, 0); Put16(zip, 0);
    Put16(zip, (unsigned)entries.size()); Put16(zip, (unsigned)entries.size());
    Put32(zip, (unsigned long)central.size()); Put32(zip, (unsigned long)body.size()); Put16(zip, 0);
    return zip;
}

uint32_t ReadLe(const std::string& data, size_t at, int bytes) {
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(data[at + i]);
    return value;
}

std::wstring RealZip(const wchar_t* name) { return GetSandbox().binDir + L"..\\zips\\" + name; }

void WriteLe32(std::string& data, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) data[at + i] = static_cast<char>(value >> (8 * i));
}

std::string MakePackage(size_t payloadSize, unsigned seed, const std::string& device) {
    const std::string script = "assert(getprop(\"ro.product.device\") == \"" + device +
                               "\" || getprop(\"ro.build.product\") == \"" + device + "\");\nui_print(\"Mirq\");\n";
    // The system it installs, named as full packages name it.
    const std::string build = "ro.build.id=MIRQ" + std::to_string(seed) + "\nro.build.display.id=MirqROM " +
                              std::to_string(seed) + "\nro.build.date.utc=" + std::to_string(1400000000 + seed) +
                              "\nro.build.version.release=4.4." + std::to_string(seed) + "\n";
    return MakeZip({{"META-INF/com/google/android/update-binary", MakeContent(4000, seed + 1)},
                    {kUpdaterScriptName, script},
                    {"system/build.prop", build},
                    {"system/app/payload.bin", MakeContent(payloadSize, seed)}});
}

std::string MakeRecoveryImage(size_t size, unsigned seed) {
    const unsigned long page = 2048;
    const unsigned long pages = static_cast<unsigned long>(size / page) - 1;  // after the header's
    std::string header = "ANDROID!";
    for (unsigned long field : {(pages / 2) * page - 100, 0x10008000ul, (pages - pages / 2) * page - 50,
                                0x11000000ul, 0ul, 0x10f00000ul, 0x10000100ul, page})
        Put32(header, field);
    std::string image = MakeContent(size, seed);
    image.replace(0, header.size(), header);
    return image;
}

std::wstring CSimPhone::AdbPath() { return GetSandbox().base + L"\\tools\\adb.exe"; }

void CSimPhone::Install() {
    CreateDirectoryW((GetSandbox().base + L"\\tools").c_str(), nullptr);
    CopyFileW((GetSandbox().binDir + L"adb.exe").c_str(), AdbPath().c_str(), FALSE);
}

void CSimPhone::Uninstall() { DeleteFileW(AdbPath().c_str()); }

namespace {
std::wstring PhoneDir() { return GetSandbox().base + L"\\tools\\phone\\"; }
// One argument as the C runtime reads it back: quotes escaped, backslashes before them doubled.
std::wstring Quote(const std::string& s) {
    std::wstring out = L"\"";
    size_t slashes = 0;
    for (wchar_t c : Utf8ToWide(s)) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
        slashes = 0;
        out += c;
    }
    return out + std::wstring(slashes * 2, L'\\') + L"\"";
}
}  // namespace

void CSimPhone::Reset(const char* profile) { RunProcess(AdbPath(), L"sim-reset " + Utf8ToWide(profile)); }

void CSimPhone::Set(const char* key, const std::string& value) {
    RunProcess(AdbPath(), L"sim-set " + Utf8ToWide(key) + L" " + Quote(value));
}

void CSimPhone::ReleasePush() { WriteBytes(PhoneDir() + L"push_release", ""); }

void CSimPhone::Prop(const char* key, const std::string& value) {
    RunProcess(AdbPath(), L"sim-prop " + Utf8ToWide(key) + L" " + Quote(value));
}

std::string CSimPhone::RecoveryRan(const char* script) { return ReadBytes(PhoneDir() + L"ran_" + Utf8ToWide(script)); }

std::vector<std::string> CSimPhone::RawJournal() {
    std::vector<std::string> lines;
    std::istringstream in(ReadBytes(PhoneDir() + L"journal.txt"));
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::vector<std::string> CSimPhone::Journal() {
    std::vector<std::string> lines = RawJournal();
    for (std::string& line : lines)
        if (line.compare(0, 4, "-s \"") == 0 && line.find("\" ", 4) != std::string::npos)
            line = line.substr(line.find("\" ", 4) + 2);
    return lines;
}

void CSimPhone::ClearJournal() { WriteBytes(PhoneDir() + L"journal.txt", ""); }

std::wstring CSimPhone::PhoneFile(const std::string& phonePath) {
    std::wstring p = PhoneDir() + L"fs";
    for (wchar_t c : Utf8ToWide(phonePath)) p += (c == L'/') ? L'\\' : c;
    return p;
}

std::string CSimPhone::ReadPhoneFile(const std::string& phonePath, bool* ok) {
    return ReadBytes(PhoneFile(phonePath), ok);
}

void CSimPhone::WritePhoneFile(const std::string& phonePath, const std::string& bytes) {
    std::wstring p = PhoneFile(phonePath);
    for (size_t i = PhoneDir().size(); i < p.size(); ++i)
        if (p[i] == L'\\') CreateDirectoryW(p.substr(0, i).c_str(), nullptr);
    WriteBytes(p, bytes);
}

bool CSimPhone::PhoneFileExists(const std::string& phonePath) { return FileExists(PhoneFile(phonePath)); }

std::string CSimPhone::RecoveryPartition(bool* ok) { return ReadBytes(PhoneDir() + L"recovery.img", ok); }

std::string CSimPhone::StateValue(const char* key) {
    std::istringstream in(ReadBytes(PhoneDir() + L"state.txt"));
    std::string line, prefix = std::string(key) + "=";
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0) return line.substr(prefix.size());
    return std::string();
}

std::vector<std::string> Matching(const std::vector<std::string>& lines, const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& l : lines)
        if (l.compare(0, prefix.size(), prefix) == 0) out.push_back(l);
    return out;
}




bool HttpGet(const std::wstring& url, std::string& body) {
    body.clear();
    HINTERNET session = InternetOpenW(L"mirq-test", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    if (!session) return false;
    HINTERNET request = InternetOpenUrlW(session, url.c_str(), nullptr, 0,
                                         INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_RELOAD, 0);
    bool ok = false;
    if (request) {
        DWORD status = 0, size = sizeof(status);
        HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr);
        std::vector<char> block(1 << 16);
        DWORD got = 0;
        ok = status == 200;
        while (ok && InternetReadFile(request, block.data(), (DWORD)block.size(), &got) && got > 0)
            body.append(block.data(), got);
        InternetCloseHandle(request);
    }
    InternetCloseHandle(session);
    return ok;
}

int ServicePort() {
    static const int port = [] {
        wchar_t value[64] = {};
        if (GetEnvironmentVariableW(L"MIRQ_TEST_SERVICE_PORT", value, 64)) return _wtoi(value);
        // The service ctest handed this test out of its pool: "id:8082,slots:1".
        if (GetEnvironmentVariableW(L"CTEST_RESOURCE_GROUP_0_SERVICE", value, 64) && wcsncmp(value, L"id:", 3) == 0)
            return _wtoi(value + 3);
        return 8080;
    }();
    return port;
}

std::wstring ServiceUrl(const std::wstring& path) {
    return L"http://127.0.0.1:" + std::to_wstring(ServicePort()) + L"/" + path;
}

std::wstring ServiceProxy() { return L"127.0.0.1:" + std::to_wstring(ServicePort() + 100); }

namespace {
const wchar_t* const kInternetSettings = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
}

void CSystemProxy::Set(const std::wstring& server) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kInternetSettings, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    const DWORD enable = 1;
    RegSetValueExW(key, L"ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable), sizeof(enable));
    RegSetValueExW(key, L"ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(server.c_str()),
                   static_cast<DWORD>((server.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

CSystemProxy::~CSystemProxy() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kInternetSettings, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    RegDeleteValueW(key, L"ProxyEnable");
    RegDeleteValueW(key, L"ProxyServer");
    RegCloseKey(key);
}

std::string ServiceControl(const std::string& command) {
    std::string body;
    HttpGet(ServiceUrl(L"_sim/" + Utf8ToWide(command)), body);
    return body;
}

void UseLocalService(bool verified) {
    mirq::CResourceDownloader::GetInstance()->SetService(ServiceUrl(L"ota/ota/geturl.action"),
                                                         verified ? mirq::BuiltInServiceKey() : std::string());
}

std::string Served(const std::wstring& path) {
    std::string body;
    EXPECT_TRUE(HttpGet(ServiceUrl(path), body)) << WideToUtf8(path);
    return body;
}

}  // namespace mirqtest

namespace mirqtest {

namespace {
const wchar_t* const kUsbEnum = L"System\\CurrentControlSet\\Enum\\USB\\";

void SetMultiString(HKEY key, const wchar_t* name, const std::wstring& value) {
    const std::wstring both = value + L'\0' + L'\0';
    RegSetValueExW(key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(both.c_str()),
                   static_cast<DWORD>(both.size() * sizeof(wchar_t)));
}
}  // namespace

CPlantedUsbDevice::CPlantedUsbDevice(const std::wstring& vidPid, const std::wstring& compatibleId,
                                     const std::wstring& service, unsigned long configFlags)
    : m_parent(std::wstring(kUsbEnum) + vidPid) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, (m_parent + L"\\MIRQTEST0001").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    const wchar_t kUsbClass[] = L"{36fc9e60-c465-11cf-8056-444553540000}";
    RegSetValueExW(key, L"ClassGUID", 0, REG_SZ, reinterpret_cast<const BYTE*>(kUsbClass), sizeof(kUsbClass));
    SetMultiString(key, L"HardwareID", L"USB\\" + vidPid + L"&REV_0100");
    SetMultiString(key, L"CompatibleIDs", compatibleId);
    if (!service.empty())
        RegSetValueExW(key, L"Service", 0, REG_SZ, reinterpret_cast<const BYTE*>(service.c_str()),
                       static_cast<DWORD>((service.size() + 1) * sizeof(wchar_t)));
    const DWORD flags = configFlags;
    RegSetValueExW(key, L"ConfigFlags", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&flags), sizeof(flags));
    RegCloseKey(key);
}

CPlantedUsbDevice::~CPlantedUsbDevice() { SHDeleteKeyW(HKEY_LOCAL_MACHINE, m_parent.c_str()); }

CPortListener::CPortListener(int adbVersion, unsigned short port) {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool acceptsNothing = adbVersion == kAcceptsNothing;
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(s, acceptsNothing ? 0 : 8) != 0) {
        if (s != INVALID_SOCKET) closesocket(s);
        return;
    }
    m_socket = static_cast<unsigned int>(s);
    if (acceptsNothing) {
        for (int i = 0; i < 4; ++i) {
            SOCKET filler = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            u_long nonBlocking = 1;
            ioctlsocket(filler, FIONBIO, &nonBlocking);
            connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof(address));
            m_fillers.push_back(static_cast<unsigned int>(filler));
        }
        Sleep(200);  // the queue fills
        return;
    }
    m_thread.reset(new mirq::CThread([s, adbVersion] {
        for (SOCKET client; (client = accept(s, nullptr, nullptr)) != INVALID_SOCKET; closesocket(client)) {
            char request[64] = {};
            recv(client, request, sizeof(request) - 1, 0);
            char answer[16];
            snprintf(answer, sizeof(answer), "OKAY0004%04x", adbVersion < 0 ? 0x29 : adbVersion);
            if (adbVersion == kDrips)  // a byte at a time, each before the last one's wait is over
                for (int i = 0; i < 12 && send(client, answer + i, 1, 0) == 1; ++i) Sleep(400);
            else if (adbVersion >= 0 && std::string(request).find("host:version") != std::string::npos)
                send(client, answer, 12, 0);
        }
    }));
}

CPortListener::~CPortListener() {
    for (unsigned int filler : m_fillers) closesocket(static_cast<SOCKET>(filler));
    if (Listening()) closesocket(static_cast<SOCKET>(m_socket));  // ends the accepting thread, joined next
}

}  // namespace mirqtest
