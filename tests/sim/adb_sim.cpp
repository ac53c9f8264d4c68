// Simulated phone: a Windows console program built as adb.exe. It answers adb
// command lines the way real clients do, for one phone whose state lives in
// the folder "phone" beside this executable:
//   phone\state.txt    switches and server state (key=value)
//   phone\props.txt    system properties (key=value, UTF-8)
//   phone\fs\...       the phone's file system ("/sdcard/x" -> fs\sdcard\x)
//   phone\exec.txt     phone paths made executable (chmod with an octal mode)
//   phone\recovery.img the recovery partition
//   phone\journal.txt  every command line received, one per line (UTF-8)
//   phone\pushing.txt  "<pid> <phone path>" and the local path while a slow push writes its file
// Test hooks, not journaled: "sim-reset <profile>", "sim-set <key> <value>",
// "sim-prop <key> <value>". Switches: connected, rooted (1, 0, groups), push_style
// (old, mid, v2016, current, notime, fail: refused), push_fail_path / push_cut (the phone goes half-way) /
// push_garble (other bytes of the same size) =<part of the remote path>, push_linger_ms (a stopped
// push's server goes on sending for so long), shell_protocol=v2, rm_fails, hang=<verb>, slow_verb and
// slow_ms, pieces, daemon_msgs=old, appear_after_restart,
// unplug_on=<start of a command line> (the cable comes out as it arrives),
// second_device_on / offline_on=<start of a command line> (an emulator
// appears, the phone goes offline, as it arrives), hang_after_output=<start of
// a command line> (it answers, then never ends), push_partial=1 (half the file
// arrives; the client says nothing of it on standard output), chmod_fails, flash_image_fails,
// flash_image_verbose=<bytes of progress lines>, flash_image_ms (how long it writes), mute_on=<start of a command line>
// (that command's answer never arrives: empty standard output),
// ls_style=toybox, device_state (device, offline, unauthorized, authorizing, connecting, recovery), offline_until_restart,
// extra_device=<serial> (a second device attached), serial=S (the phone's own), server_fails=1 (the server
// cannot start: another program holds its port), server_replaced (another
// program's server, replaced by every command), reboot_gone_ms (how long a
// rebooting phone is away before it is back in recovery; "never"), reboot_ignored=1
// (the phone stays); with a command script on it the recovery installs the
// card's package as a recovery does: listed as recovery for recovery_ms, it
// writes last_install and last_log, takes the script away and boots the
// system, away for boot_ms, which then has the package's system/build.prop
// (a package without one: a newer date); install=fails (back with the old
// system, last_install saying 0), install=stays (on the error's screen, in
// recovery), install=gone (never back), install=unauthorized (back, not trusting this PC), install=noscript (the
// recovery runs no script: back with the old system, the script still there), recovery_as_device=1 (the
// recovery lists itself as a device and getprop answers its own build), last_install=none (the recovery
// writes none), unauthorized_ms (back, not trusting this PC for that long), boot_completed_ms (listed as a
// device that long before sys.boot_completed is 1), battery_level/battery_scale (dumpsys battery; battery_level=none:
// no battery service), df_style (toolbox2, toolbox4, toybox) and sdcard_free
// (bytes free on /sdcard), push_rate (bytes a second: the pushed file grows
// on the phone as it arrives; with push_rate_path, only for remote paths
// holding it), sdcard_size (the card's room in all: what its files leave is
// free, df shows it, and a push that does not fit is refused with "No space
// left on device"; sdcard_held_on_rm=1: a file removed from it keeps its room,
// as one another app holds open does), ls_style=busybox, shell_cut_after=<command> (the cable
// comes out once the shell has answered that command: nothing more arrives),
// crash_after_on=<start of a command line> (the client crashes once the
// command's output is out), crash_on=<start of a command line> (the client crashes: no output, exit
// code 0xC0000005). "-s SERIAL" picks the phone; the switches that name the
// start of a command line match it without the serial.
#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::wstring g_dir;  // ...\phone\ (with trailing backslash)

std::string ToUtf8(const std::wstring& w) {
    if (w.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), (int)w.size(), nullptr, 0, nullptr, nullptr);
    std::string s(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), (int)w.size(), &s[0], n, nullptr, nullptr);
    return s;
}

std::wstring FromUtf8(const std::string& s) {
    if (s.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), (int)s.size(), nullptr, 0);
    std::wstring w(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.c_str(), (int)s.size(), &w[0], n);
    return w;
}

std::string FromAcp(const std::wstring& w) {
    int n = WideCharToMultiByte(CP_ACP, 0, w.c_str(), (int)w.size(), nullptr, 0, nullptr, nullptr);
    std::string s(n, '\0');
    if (n) WideCharToMultiByte(CP_ACP, 0, w.c_str(), (int)w.size(), &s[0], n, nullptr, nullptr);
    return s;
}

std::string ReadAll(const std::wstring& path, bool* ok = nullptr) {
    std::ifstream in(path.c_str(), std::ios::binary);
    if (ok) *ok = in.good();
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteAll(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out << bytes;
}

using KeyValues = std::map<std::string, std::string>;

// key=value lines (a build.prop's too: CRs dropped, # comments skipped).
KeyValues ParseKv(const std::string& text) {
    KeyValues kv;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t eq = line.find('=');
        if (eq != std::string::npos && line[0] != '#') kv[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return kv;
}

KeyValues LoadKv(const wchar_t* name) { return ParseKv(ReadAll(g_dir + name)); }

void SaveKv(const wchar_t* name, const KeyValues& kv) {
    std::string out;
    for (auto& p : kv) out += p.first + "=" + p.second + "\n";
    WriteAll(g_dir + name, out);
}

KeyValues g_state;
std::string State(const char* key) { return g_state.count(key) ? g_state[key] : std::string(); }
void SetState(const char* key, const std::string& v) {
    g_state[key] = v;
    SaveKv(L"state.txt", g_state);
}

bool g_muted = false;  // this command's answer never reaches the client

void WriteTo(DWORD which, const std::string& text) {
    HANDLE h = GetStdHandle(which);
    DWORD written = 0;
    if (g_muted && which == STD_OUTPUT_HANDLE) return;
    if (State("pieces") == "1" && which == STD_OUTPUT_HANDLE) {
        // Output in several writes with pauses, as a slow client produces it.
        for (size_t at = 0; at < text.size(); at += 7) {
            std::string part = text.substr(at, 7);
            WriteFile(h, part.data(), (DWORD)part.size(), &written, nullptr);
            FlushFileBuffers(h);
            Sleep(20);
        }
        return;
    }
    WriteFile(h, text.data(), (DWORD)text.size(), &written, nullptr);
}
void Out(const std::string& t) { WriteTo(STD_OUTPUT_HANDLE, t); }
void Err(const std::string& t) { WriteTo(STD_ERROR_HANDLE, t); }
// The classic Windows client ended shell output lines in CR CR LF. With the
// shell protocol (shell_protocol=v2) lines end in LF, the command's errors
// come on standard error and its exit status is passed on.
bool ShellV2() { return State("shell_protocol") == "v2"; }
void ShellLine(const std::string& t) { Out(t + (ShellV2() ? "\n" : "\r\r\n")); }
void ShellErr(const std::string& t) {
    if (ShellV2()) Err(t + "\n");
    else ShellLine(t);
}

std::wstring FsPath(const std::string& phonePath) {
    std::wstring p = g_dir + L"fs";
    for (wchar_t c : FromUtf8(phonePath)) p += (c == L'/') ? L'\\' : c;
    while (!p.empty() && p.back() == L'\\') p.pop_back();
    return p;
}

bool Exists(const std::wstring& p) { return GetFileAttributesW(p.c_str()) != INVALID_FILE_ATTRIBUTES; }

long long FileSize(const std::wstring& p) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(p.c_str(), GetFileExInfoStandard, &data) || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return -1;
    return static_cast<long long>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

// The bytes of every file under a folder of the phone's.
long long UsedUnder(const std::wstring& dir) {
    long long used = 0;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return 0;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) used += UsedUnder(dir + L"\\" + name);
        else used += static_cast<long long>(fd.nFileSizeHigh) << 32 | fd.nFileSizeLow;
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return used;
}

// Bytes free on the card: what its files leave of sdcard_size, else sdcard_free as it is set.
long long CardFree() {
    if (!State("sdcard_size").empty())
        return std::max(0LL, atoll(State("sdcard_size").c_str()) - UsedUnder(g_dir + L"fs\\sdcard") -
                                 atoll(State("sdcard_held").c_str()));
    const std::string freeText = State("sdcard_free");
    return freeText.empty() ? 6695 * (1LL << 20) : atoll(freeText.c_str());
}


void MakeParents(const std::wstring& path) {
    for (size_t i = g_dir.size(); i < path.size(); ++i)
        if (path[i] == L'\\') CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
}

std::set<std::string> LoadExec() {
    std::set<std::string> s;
    std::istringstream in(ReadAll(g_dir + L"exec.txt"));
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) s.insert(line);
    return s;
}

void RemoveTree(const std::wstring& dir) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring p = dir + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(p);
            else DeleteFileW(p.c_str());
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryW(dir.c_str());
}

struct Profile {
    const char* name;
    const char* rooted;
    const char* props;
};

// Property values as these phones report them.
const Profile kProfiles[] = {
    {"blade", "1",
     "ro.product.brand=ZTE\nro.product.model=Blade\nro.product.device=blade\n"
     "ro.product.manufacturer=ZTE\nro.build.version.release=2.2.2\nro.bootloader=unknown\n"
     "ril.sw_ver=P729BB01\nro.build.description=blade-user 2.2.2 FRG83G eng.zte.20110325 release-keys\n"
     "ril.IMEI=864367010054321\nro.serialno=\n"},
    {"nexus_one", "1",
     "ro.product.brand=google\nro.product.model=Nexus One\nro.product.device=passion\n"
     "ro.product.manufacturer=HTC\nro.build.version.release=2.3.6\nro.bootloader=0.35.0017\n"
     "ro.build.description=passion-user 2.3.6 GRK39F 189904 release-keys\nro.serialno=HT0A1P800426\n"},
    {"nexus_s", "1",
     "ro.product.brand=google\nro.product.model=Nexus S\nro.product.device=crespo\n"
     "ro.product.manufacturer=samsung\nro.build.version.release=2.3.4\nro.bootloader=I9020XXJK1\n"
     "ril.sw_ver=I9020XXKD1\nro.build.description=soju-user 2.3.4 GRJ22 121341 release-keys\n"
     "ro.serialno=3233A90D1A2B00EC\n"},
    {"htc_desire", "1",
     "ro.product.brand=htc_wwe\nro.product.model=HTC Desire\nro.product.device=bravo\n"
     "ro.product.manufacturer=HTC\nro.build.version.release=2.2\nro.bootloader=0.93.0001\n"
     "ril.sw_ver=32.49.00.32U_5.11.05.27\nro.build.description=2.29.405.5 CL293415 release-keys\n"
     "ril.barcode=SH05XPL01234\nro.serialno=SH05XPL01234\n"},
    {"oneplus_one", "1",  // listed by the service's catalogue alone; its recovery reads openrecoveryscript
     "ro.product.brand=oneplus\nro.product.model=A0001\nro.product.device=bacon\n"
     "ro.product.manufacturer=OnePlus\nro.build.version.release=4.4.4\nro.bootloader=unknown\n"
     "ro.build.description=bacon-user 4.4.4 KTU84Q XNPH44S release-keys\nro.serialno=5e0cd7c4\n"},
    {"unsupported", "1",
     "ro.product.brand=samsung\nro.product.model=GT-I9000\nro.product.device=GT-I9000\n"
     "ro.product.manufacturer=samsung\nro.build.version.release=2.2\nro.bootloader=unknown\n"
     "ril.sw_ver=I9000XXJPO\nro.build.description=GT-I9000-user 2.2 FROYO XXJPO release-keys\n"
     "ro.serialno=3534B4E3A1D100EC\n"},
    {"unrooted", "0",
     "ro.product.brand=google\nro.product.model=Nexus S\nro.product.device=crespo\n"
     "ro.product.manufacturer=samsung\nro.build.version.release=2.3.4\nro.bootloader=I9020XXJK1\n"
     "ril.sw_ver=I9020XXKD1\nro.build.description=soju-user 2.3.4 GRJ22 121341 release-keys\n"
     "ro.serialno=3233A90D1A2B0777\n"},
};

int Reset(const std::string& name) {
    const Profile* profile = nullptr;
    for (const Profile& p : kProfiles)
        if (name == p.name) profile = &p;
    if (!profile) {
        Err("unknown profile " + name + "\n");
        return 2;
    }
    RemoveTree(g_dir.substr(0, g_dir.size() - 1));
    CreateDirectoryW(g_dir.c_str(), nullptr);
    for (const wchar_t* d : {L"fs", L"fs\\sdcard", L"fs\\data", L"fs\\cache", L"fs\\cache\\recovery", L"fs\\system"})
        CreateDirectoryW((g_dir + d).c_str(), nullptr);
    // The system the phone runs before any flash.
    WriteAll(g_dir + L"props.txt", std::string(profile->props) +
                                       "ro.build.date.utc=1301097600\nro.build.id=FACTORY\nro.build.display.id=FACTORY\n");
    MakeParents(g_dir + L"fs\\sys\\class\\power_supply\\battery\\capacity");
    WriteAll(g_dir + L"fs\\sys\\class\\power_supply\\battery\\capacity", "85\n");
    g_state.clear();
    g_state["profile"] = name;
    g_state["connected"] = "1";
    g_state["rooted"] = profile->rooted;
    g_state["server"] = "1";
    g_state["push_style"] = "current";
    SaveKv(L"state.txt", g_state);
    WriteAll(g_dir + L"journal.txt", "");
    return 0;
}

long long NowMs() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<long long>((static_cast<unsigned long long>(now.dwHighDateTime) << 32 | now.dwLowDateTime) / 10000);
}

// adbd drops what a push cut short (its client ended) had written. With
// push_linger_ms the server first goes on sending what it already holds for
// that long: the file is back (whole) at every command until then.
void DropCutPush() {
    bool ok = false;
    const std::string pushing = ReadAll(g_dir + L"pushing.txt", &ok);
    const size_t gap = pushing.find(' '), newline = pushing.find('\n');
    if (!ok || gap == std::string::npos || newline == std::string::npos) return;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, strtoul(pushing.c_str(), nullptr, 10));
    const bool running = process && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    if (process) CloseHandle(process);
    if (running) return;
    const std::wstring target = FsPath(pushing.substr(gap + 1, newline - gap - 1));
    const std::string linger = State("push_linger_ms");
    if (!linger.empty()) {
        if (State("linger_until").empty()) SetState("linger_until", std::to_string(NowMs() + atoll(linger.c_str())));
        WriteAll(target, ReadAll(FromUtf8(pushing.substr(newline + 1))));
        if (NowMs() < atoll(State("linger_until").c_str())) return;
        SetState("linger_until", "");
    } else {
        DeleteFileW(target.c_str());
    }
    DeleteFileW((g_dir + L"pushing.txt").c_str());
}

unsigned Le(const std::string& b, size_t at, int bytes) {
    unsigned v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
    return v;
}

// An entry of a zip by its central directory, stored or deflated; false when there is none.
bool ZipEntry(const std::string& zip, const std::string& name, std::string& out) {
    const size_t end = zip.rfind(std::string("PK\x05\x06", 4));
    if (end == std::string::npos || end + 22 > zip.size()) return false;
    for (size_t at = Le(zip, end + 16, 4), n = Le(zip, end + 10, 2); n-- > 0 && at + 46 <= zip.size();) {
        const size_t nameLength = Le(zip, at + 28, 2), skip = 46 + nameLength + Le(zip, at + 30, 2) + Le(zip, at + 32, 2);
        if (zip.compare(at + 46, nameLength, name) == 0) {
            const size_t local = Le(zip, at + 42, 4), packed = Le(zip, at + 20, 4), size = Le(zip, at + 24, 4);
            const size_t data = local + 30 + Le(zip, local + 26, 2) + Le(zip, local + 28, 2);
            if (Le(zip, at + 10, 2) == 0) {
                out = zip.substr(data, size);
                return out.size() == size;
            }
            out.assign(size, '\0');
            z_stream z = {};
            z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zip.data() + data));
            z.avail_in = static_cast<uInt>(packed);
            z.next_out = reinterpret_cast<Bytef*>(&out[0]);
            z.avail_out = static_cast<uInt>(size);
            const bool ok = inflateInit2(&z, -MAX_WBITS) == Z_OK && inflate(&z, Z_FINISH) == Z_STREAM_END;
            inflateEnd(&z);
            return ok;
        }
        at += skip;
    }
    return false;
}

// The recovery runs its command script: the package on the card installed
// (its build.prop becomes the system's), last_install and last_log written,
// the script taken away, the system booted; or an install that fails.
void Install() {
    const std::string mode = State("install");
    const std::string boot = State("boot_ms").empty() ? "300" : State("boot_ms");
    SetState("in_recovery", "");
    if (mode == "noscript") {  // nothing run, nothing written: the system boots as it was
        SetState("connected", "0");
        SetState("system_at", std::to_string(atoll(State("install_at").c_str()) + atoll(boot.c_str())));
        return;
    }
    std::string zip = ReadAll(FsPath("/sdcard/mirq/update.zip")), prop;
    const bool ok = mode != "fails" && mode != "stays" && !zip.empty();
    std::string log = "Starting recovery\n";
    // What it ran, for the tests: the script goes (a recovery takes it away) and its words stay.
    for (const char* name : {"extendedcommand", "openrecoveryscript"}) {
        const std::wstring script = FsPath(std::string("/cache/recovery/") + name);
        WriteAll(g_dir + L"ran_" + std::wstring(name, name + strlen(name)), ReadAll(script));
        if (Exists(script)) log += std::string("Running /cache/recovery/") + name + ":\n" + ReadAll(script) + "\n";
    }
    log += "-- Installing: /sdcard/mirq/update.zip\nFinding update package...\nOpening update package...\n";
    for (int i = 0; i < 24; ++i) log += "I:Verifying block " + std::to_string(i) + "\n";  // as long as a real one
    if (ok) {
        KeyValues props = LoadKv(L"props.txt");
        if (ZipEntry(zip, "system/build.prop", prop)) {
            for (const auto& p : ParseKv(prop)) props[p.first] = p.second;
        } else {
            props["ro.build.date.utc"] = std::to_string(atoll(props["ro.build.date.utc"].c_str()) + 86400);
        }
        SaveKv(L"props.txt", props);
        log += "Installing update...\nInstall from sdcard complete.\n";
    } else {
        log += "Installing update...\nassert failed: getprop(\"ro.product.device\") == \"?\"\nE:Error in /sdcard/mirq/update.zip\n(Status 7)\nInstallation aborted.\n";
    }
    if (State("last_install") != "none")
        WriteAll(FsPath("/cache/recovery/last_install"), "/sdcard/mirq/update.zip\n" + std::string(ok ? "1" : "0") + "\n");
    WriteAll(FsPath("/cache/recovery/last_log"), log);
    if (mode == "stays") {
        SetState("in_recovery", "1");
        return;
    }
    for (const char* script : {"/cache/recovery/extendedcommand", "/cache/recovery/openrecoveryscript"})
        DeleteFileW(FsPath(script).c_str());
    SetState("connected", "0");
    SetState("system_at", std::to_string(atoll(State("install_at").c_str()) + atoll(boot.c_str())));
}

// A phone that rebooted is back, in recovery, once its time away has passed;
// one with a command script then installs and boots its system. The time
// away counts from the first command that finds it away: it cannot be back
// before anyone saw it leave, however slowly commands come.
void ComeBackIfDue() {
    if (!State("away_ms").empty()) {
        const long long back = NowMs() + atoll(State("away_ms").c_str());
        SetState("back_at", std::to_string(back));
        const bool script = Exists(FsPath("/cache/recovery/extendedcommand")) || Exists(FsPath("/cache/recovery/openrecoveryscript"));
        if (script && State("rebooted") == "recovery") {
            const std::string recovery = State("recovery_ms").empty() ? "300" : State("recovery_ms");
            SetState("install_at", std::to_string(back + atoll(recovery.c_str())));
        }
        SetState("away_ms", "");
        return;
    }
    const std::string backAt = State("back_at"), installAt = State("install_at");
    if (!backAt.empty() && NowMs() >= atoll(backAt.c_str())) {
        SetState("back_at", "");
        SetState("connected", "1");
        SetState("in_recovery", "1");
        SetState("device_state", State("recovery_as_device") == "1" ? "device" : "recovery");
    }
    if (!installAt.empty() && State("back_at").empty() && NowMs() >= atoll(installAt.c_str())) {
        Install();  // the system's time counts from the install's, whenever this is asked
        SetState("install_at", "");
    }
    const std::string systemAt = State("system_at");  // set by the install just now, maybe
    if (!systemAt.empty() && NowMs() >= atoll(systemAt.c_str())) {
        SetState("system_at", "");
        if (State("install") == "gone") return;
        SetState("connected", "1");
        const bool untrusted = State("install") == "unauthorized" || !State("unauthorized_ms").empty();
        SetState("device_state", untrusted ? "unauthorized" : "device");
        if (!State("unauthorized_ms").empty())
            SetState("trusted_at", std::to_string(NowMs() + atoll(State("unauthorized_ms").c_str())));
        SetState("boot_completed_at", std::to_string(NowMs() + atoll(State("boot_completed_ms").c_str())));
    }
    const std::string trustedAt = State("trusted_at");  // the user allowed USB debugging on the phone
    if (!trustedAt.empty() && NowMs() >= atoll(trustedAt.c_str())) {
        SetState("trusted_at", "");
        SetState("unauthorized_ms", "");
        SetState("device_state", "device");
    }
}

void Journal(const std::wstring& tail) {
    std::ofstream out((g_dir + L"journal.txt").c_str(), std::ios::binary | std::ios::app);
    out << ToUtf8(tail) << "\n";
}

// The command line as adb received it, after the program name.
std::wstring CommandTail() {
    const wchar_t* p = GetCommandLineW();
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"') ++p;
        if (*p) ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

// false when the server cannot start (server_fails=1: another program holds its port).
bool EnsureServer() {
    if (State("server_fails") == "1") {
        Err("* daemon not running; starting now at tcp:5037\ncould not read ok from ADB Server\n"
            "* failed to start daemon\nerror: cannot connect to daemon\n");
        return false;
    }
    if (State("server") == "1") return true;
    if (State("daemon_msgs") == "old") {
        Out("* daemon not running. starting it now on port 5037 *\r\n* daemon started successfully *\r\n");
    } else {
        Err("* daemon not running; starting now at tcp:5037\n* daemon started successfully\n");
    }
    SetState("server", "1");
    return true;
}

int Push(const std::vector<std::string>& a) {
    if (a.size() < 3) {
        Err("adb: usage: push requires an argument\n");
        return 1;
    }
    std::wstring local = FromUtf8(a[1]);
    const std::string& remote = a[2];
    DWORD attributes = GetFileAttributesW(local.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        Out(a[1] + "/: 0 files pushed, 0 skipped.\r\n");  // an empty folder
        return 0;
    }
    bool ok = false;
    std::string bytes = ReadAll(local, &ok);
    if (!ok) {
        Err("adb: error: cannot stat '" + a[1] + "': No such file or directory\n");
        return 1;
    }
    std::string style = State("push_style");
    auto onPath = [&remote](const char* key) {
        return !State(key).empty() && remote.find(State(key)) != std::string::npos;
    };
    if (State("push_partial") == "1") bytes.resize(bytes.size() / 2);
    std::wstring target = FsPath(remote);
    MakeParents(target);
    // A card of a given size: what does not fit beside its other files is refused, as adbd refuses it.
    if (remote.compare(0, 8, "/sdcard/") == 0 && !State("sdcard_size").empty() &&
        static_cast<long long>(bytes.size()) > CardFree() + std::max(0LL, FileSize(target))) {
        Out("adb: error: failed to copy '" + FromAcp(local) + "' to '" + remote + "': remote No space left on device\n" +
            FromAcp(local) + ": 0 files pushed, 0 skipped. 17.9 MB/s (" + std::to_string(bytes.size()) +
            " bytes in 0.080s)\n");
        return 1;
    }
    // A refused push (push_style=fail, push_fail_path), or one whose phone
    // goes away half-way (push_cut: adbd drops the part), as current clients
    // tell it: the error and a summary of nothing on standard output, status 1.
    const bool cut = onPath("push_cut");
    if (style == "fail" || onPath("push_fail_path") || cut) {
        const std::string why = cut ? "couldn't read from device" : "remote No space left on device";
        if (cut) SetState("connected", "0");
        Out("adb: error: failed to copy '" + FromAcp(local) + "' to '" + remote + "': " + why + "\n" + FromAcp(local) +
            ": 0 files pushed, 0 skipped. 17.9 MB/s (" + std::to_string(bytes.size()) + " bytes in 0.080s)\n");
        return 1;
    }
    if (onPath("push_garble") && !bytes.empty()) bytes[0] ^= 0x20;  // same size, other bytes
    const long long rate = atoll(State("push_rate").c_str());
    const std::string slowPath = State("push_rate_path");
    if (rate > 0 && (slowPath.empty() || remote.find(slowPath) != std::string::npos)) {
        // A slow cable: the file grows on the phone as it arrives.
        WriteAll(g_dir + L"pushing.txt", std::to_string(GetCurrentProcessId()) + " " + remote + "\n" + ToUtf8(local));
        HANDLE out = CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        const size_t step = static_cast<size_t>(rate / 10 > 0 ? rate / 10 : 1);
        for (size_t at = 0; at < bytes.size(); at += step) {
            // Let through (a test saw what it waited for): the rest at once.
            const bool released = Exists(g_dir + L"push_release");
            const size_t n = released ? bytes.size() - at : std::min(step, bytes.size() - at);
            DWORD written = 0;
            WriteFile(out, bytes.data() + at, static_cast<DWORD>(n), &written, nullptr);
            FlushFileBuffers(out);
            if (released) break;
            Sleep(100);
        }
        CloseHandle(out);
        DeleteFileW((g_dir + L"pushing.txt").c_str());
    } else {
        WriteAll(target, bytes);
    }
    std::string n = std::to_string(bytes.size());
    if (style == "old") Err("2114 KB/s (" + n + " bytes in 0.512s)\n");
    else if (style == "mid") Out("2114 KB/s (" + n + " bytes in 0.512s)\r\n");
    else if (style == "v2016") Out(FromAcp(local) + ": 1 file pushed. 4.2 MB/s (" + n + " bytes in 0.123s)\r\n");
    else if (style == "notime") Out(FromAcp(local) + ": 1 file pushed, 0 skipped.\r\n");
    else Out(FromAcp(local) + ": 1 file pushed, 0 skipped. 4.2 MB/s (" + n + " bytes in 0.123s)\r\n");
    return 0;
}

// "ls -l" of one path in the layout of the phone's shell: toolbox (Android 2.x,
// no link count) or toybox (ls_style=toybox).
std::string LsLong(const std::string& path) {
    const std::wstring local = FsPath(path);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(local.c_str(), GetFileExInfoStandard, &data)) return path + ": No such file or directory";
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return "";  // lists the entries; none shown here
    const std::string size = std::to_string(data.nFileSizeLow);
    const std::string name = path.substr(path.find_last_of('/') + 1);
    if (State("ls_style") == "toybox") return "-rw-rw---- 1 root sdcard_rw " + size + " 2011-12-07 10:00 " + path;
    if (State("ls_style") == "busybox")  // custom ROMs: a link count, the date as "Dec  7 10:00"
        return "-rw-rw-r--    1 system   sdcard_r " + std::string(size.size() < 9 ? 9 - size.size() : 0, ' ') + size +
               " Dec  7 10:00 " + name;
    return "-rw-rw-r-- system   sdcard_rw " + std::string(size.size() < 8 ? 8 - size.size() : 0, ' ') + size +
           " 2011-12-07 10:00 " + name;
}

const long long kMiB = 1 << 20;

// Sizes as the phones' toolbox prints them. Android 2.x: whole K, M or G,
// each cut down ("%4lld" plus the unit); Android 4: tenths, rounded.
std::string Toolbox2Size(long long bytes) {
    long long n = bytes / 1024;
    char unit = 'K';
    if (n > 1024) n /= 1024, unit = 'M';
    if (n > 1024) n /= 1024, unit = 'G';
    char text[32];
    snprintf(text, sizeof(text), "%4lld%c", n, unit);
    return text;
}

std::string Toolbox4Size(long long bytes) {
    long long n = bytes * 10;
    char unit = 'K';
    if (n > 1024LL * 1024 * 10) n /= 1024, unit = 'M';
    if (n > 1024LL * 1024 * 10) n /= 1024, unit = 'G';
    const long long t = (n + 512) / 1024;
    char text[32];
    snprintf(text, sizeof(text), "%4lld.%1lld%c", t / 10, t % 10, unit);
    return text;
}

// "df PATH" of the storage card, in the layout of the phone's generation.
void Df(const std::string& path) {
    const long long total = 7929 * kMiB;
    const long long free = CardFree();
    const long long used = total - free;
    const std::string style = State("df_style");
    if (style == "toybox") {
        char line[160];
        snprintf(line, sizeof(line), "/dev/fuse      %9lld %7lld %9lld %3lld%% /storage/emulated", total / 1024,
                 used / 1024, free / 1024, used * 100 / total);
        ShellLine("Filesystem     1K-blocks    Used Available Use% Mounted on");
        ShellLine(line);
    } else if (style == "toolbox4") {
        ShellLine("Filesystem             Size   Used   Free   Blksize");
        ShellLine("/mnt/sdcard           " + Toolbox4Size(total) + " " + Toolbox4Size(used) + " " + Toolbox4Size(free) +
                  "   4096");
    } else {
        ShellLine(path + ": " + Toolbox2Size(total) + " total, " + Toolbox2Size(used) + " used, " + Toolbox2Size(free) +
                  " available (block size 32768)");
    }
}

void DumpsysBattery() {
    const std::string level = State("battery_level").empty() ? "85" : State("battery_level");
    if (level == "none") {
        ShellLine("Can't find service: battery");
        return;
    }
    const std::string scale = State("battery_scale").empty() ? "100" : State("battery_scale");
    for (const std::string& line : {std::string("Current Battery Service state:"), std::string("  AC powered: false"),
                                    std::string("  USB powered: true"), std::string("  status: 2"),
                                    std::string("  health: 2"), std::string("  present: true"), "  level: " + level,
                                    "  scale: " + scale, std::string("  voltage:4100"),
                                    std::string("  temperature: 290"), std::string("  technology: Li-ion")})
        ShellLine(line);
}

// The properties as the phone answers now: a recovery answers its own
// build and has not booted; a system has once it has finished starting.
KeyValues Properties() {
    KeyValues props = LoadKv(L"props.txt");
    if (State("in_recovery") == "1") {
        props["ro.build.date.utc"] = "1262304000";
        props["ro.build.display.id"] = "ClockworkMod Recovery 5.0.2.0";
        return props;
    }
    if (NowMs() >= atoll(State("boot_completed_at").c_str())) props["sys.boot_completed"] = "1";
    return props;
}

// One command of the phone's shell; returns its exit status.
int ShellCommand(const std::vector<std::string>& a) {
    std::string cmd = a.size() > 0 ? a[0] : "";
    std::string arg = a.size() > 1 ? a[1] : "";
    if (cmd == "id") {
        std::string r = State("rooted");
        if (r == "1") ShellLine("uid=0(root) gid=0(root)");
        else if (r == "groups") ShellLine("uid=0(root) gid=0(root) groups=1003(graphics),1004(input)");
        else ShellLine("uid=2000(shell) gid=2000(shell) groups=1003(graphics),1004(input),1007(log),1011(adb),1015(sdcard_rw),3003(inet)");
    } else if (cmd == "getprop" && a.size() == 1) {
        // Every property, sorted by name, as toolbox and toybox list them.
        for (const auto& prop : Properties()) ShellLine("[" + prop.first + "]: [" + prop.second + "]");
    } else if (cmd == "getprop") {
        KeyValues props = Properties();
        ShellLine(props.count(arg) ? props[arg] : "");
    } else if (cmd == "ls" && arg == "-l" && a.size() > 2) {
        std::string line = LsLong(a[2]);
        const bool found = line.find("No such file") == std::string::npos;
        if (!found) ShellErr(line);
        else if (!line.empty()) ShellLine(line);
        return found ? 0 : 1;
    } else if (cmd == "ls") {
        bool found = Exists(FsPath(arg));
        if (found) ShellLine(arg);
        else ShellErr(arg + ": No such file or directory");
        return found ? 0 : 1;
    } else if (cmd == "cat") {
        bool ok = false;
        std::string bytes = ReadAll(FsPath(arg), &ok);
        if (ok) Out(bytes);
        else ShellErr(arg + ": No such file or directory");
        return ok ? 0 : 1;
    } else if (cmd == "df") {
        Df(arg);
    } else if (cmd == "dumpsys" && arg == "battery") {
        DumpsysBattery();
    } else if (cmd == "rm") {
        if (State("sdcard_held_on_rm") == "1" && arg.compare(0, 8, "/sdcard/") == 0)
            SetState("sdcard_held", std::to_string(atoll(State("sdcard_held").c_str()) + std::max(0LL, FileSize(FsPath(arg)))));
        if (State("rm_fails") == "1") ShellErr("rm failed for " + arg + ", Permission denied");
        else if (!DeleteFileW(FsPath(arg).c_str())) ShellErr("rm failed for " + arg + ", No such file or directory");
        else return 0;
        return 1;
    } else if (cmd == "mkdir") {
        if (Exists(FsPath(arg))) {
            ShellErr("mkdir failed for " + arg + ", File exists");
            return 1;
        }
        CreateDirectoryW(FsPath(arg).c_str(), nullptr);
    } else if (cmd == "chmod" && a.size() > 2) {
        // Toolbox's chmod takes octal modes only.
        const std::string& path = a[2];
        if (arg.empty() || arg.find_first_not_of("01234567") != std::string::npos) {
            ShellErr("Bad mode");
            return 10;
        }
        if (!Exists(FsPath(path))) {
            ShellErr("Unable to chmod " + path + ": No such file or directory");
            return 10;
        }
        if (State("chmod_fails") == "1") {
            ShellErr("Unable to chmod " + path + ": Operation not permitted");
            return 10;
        }
        std::set<std::string> exec = LoadExec();
        if (strtol(arg.c_str(), nullptr, 8) & 0111) exec.insert(path);
        else exec.erase(path);
        std::string out;
        for (auto& e : exec) out += e + "\n";
        WriteAll(g_dir + L"exec.txt", out);
    } else if (cmd == "/data/mirq/flash_image") {
        std::string image = a.size() > 2 ? a[2] : "";
        if (!Exists(FsPath(cmd))) {
            ShellErr("/system/bin/sh: " + cmd + ": not found");
            return 127;
        } else if (!LoadExec().count(cmd)) {
            ShellErr("/system/bin/sh: " + cmd + ": permission denied");
            return 126;
        } else if (arg != "recovery" || !Exists(FsPath(image))) {
            ShellErr("error opening " + image + ": No such file or directory");
            return 1;
        }
        Sleep(atoi(State("flash_image_ms").c_str()));  // writing takes a while
        if (State("flash_image_fails") == "1") {
            ShellErr("error writing recovery: No space left on device");
            return 1;
        }
        // Some builds report every block they write.
        for (long long left = atoll(State("flash_image_verbose").c_str()); left > 0; left -= 24)
            ShellLine("flash_image: wrote block");
        WriteAll(g_dir + L"recovery.img", ReadAll(FsPath(image)));
    } else {
        ShellErr("/system/bin/sh: " + cmd + ": not found");
        return 127;
    }
    return 0;
}

// adb of this generation hands the words to the phone's shell, which runs
// commands separated by ";" and passes no exit status back: "echo rc=$?" does.
int Shell(const std::vector<std::string>& a) {
    std::vector<std::string> words(a.begin() + 1, a.end());
    std::vector<std::string> command;
    int status = 0;
    for (size_t i = 0; i <= words.size(); ++i) {
        bool end = i == words.size();
        if (!end) {
            std::string w = words[i];
            bool separator = !w.empty() && w.back() == ';';
            if (separator) w.pop_back();
            if (!w.empty()) command.push_back(w);
            end = separator;
        }
        if (!end || command.empty()) continue;
        const bool cut = !State("shell_cut_after").empty() && command[0] == State("shell_cut_after");
        if (command[0] == "echo") {
            std::string line;
            for (size_t k = 1; k < command.size(); ++k) {
                std::string w = command[k];
                size_t at = w.find("$?");
                if (at != std::string::npos) w.replace(at, 2, std::to_string(status));
                line += (k > 1 ? " " : "") + w;
            }
            ShellLine(line);
            status = 0;
        } else {
            status = ShellCommand(command);
        }
        command.clear();
        if (cut) {  // the cable comes out: nothing more reaches the client
            SetState("connected", "0");
            return ShellV2() ? 1 : 0;
        }
    }
    return ShellV2() ? status : 0;
}

std::string PhoneSerial() {
    if (!State("serial").empty()) return State("serial");  // what cheap phones call themselves: blanks, a backslash
    KeyValues props = LoadKv(L"props.txt");
    return props["ro.serialno"].empty() ? "SIM0001" : props["ro.serialno"];
}

// Another program's server of a different version: each command of ours
// replaces it, and it comes back before the next.
void AnnounceReplacedServer() {
    if (State("daemon_msgs") == "old") Out("adb server is out of date.  killing...\r\n* daemon started successfully *\r\n");
    else Err("adb server version (40) doesn't match this client (41); killing...\n* daemon started successfully\n");
}

int Run(std::vector<std::string> a) {
    std::string target;  // -s SERIAL
    if (a.size() >= 2 && a[0] == "-s") {
        target = a[1];
        a.erase(a.begin(), a.begin() + 2);
    }
    const std::string verb = a.empty() ? "" : a[0];
    if (!State("hang").empty() && State("hang") == verb) Sleep(INFINITE);
    if (!State("slow_verb").empty() && State("slow_verb") == verb) Sleep(atoi(State("slow_ms").c_str()));
    if (verb == "kill-server") {
        SetState("server", "0");
        if (State("appear_after_restart") == "1") SetState("connected", "1");
        if (State("offline_until_restart") == "1") SetState("device_state", "device");
        return 0;
    }
    if (verb == "start-server") return EnsureServer() ? 0 : 1;
    if (State("server_replaced") == "1") AnnounceReplacedServer();
    if (!EnsureServer()) return 1;
    const std::string state = State("device_state").empty() ? "device" : State("device_state");
    const std::string extra = State("extra_device");  // a second phone or an emulator
    if (verb == "devices") {
        std::string list = "List of devices attached\r\n";
        if (State("connected") == "1") list += PhoneSerial() + "\t" + state + "\r\n";
        if (!extra.empty()) list += extra + "\tdevice\r\n";
        Out(list + "\r\n");
        return 0;
    }
    const bool phone = State("connected") == "1";
    if (verb == "get-state" && target.empty() && extra.empty()) {
        Out((phone ? state : std::string("unknown")) + "\r\n");  // as clients of that generation print it
        return phone ? 0 : 1;
    }
    if (!target.empty() && (target != PhoneSerial() || !phone)) {
        if (verb == "push" && State("push_style") == "current")
            Out("adb: error: failed to get feature set: device '" + target + "' not found\n");
        else
            Err("error: device '" + target + "' not found\n");
        return 1;
    }
    if (verb == "get-state" && !target.empty()) {
        Out(state + "\r\n");
        return 0;
    }
    if (target.empty() && phone && !extra.empty()) {
        Err("error: more than one device and emulator\n");
        return 1;
    }
    if (!phone) {
        if (verb == "push" && State("push_style") == "current")
            Out("adb: error: failed to get feature set: no devices/emulators found\n");
        else
            Err("error: no devices/emulators found\n");
        return 1;
    }
    if (state == "authorizing" || state == "connecting") {
        Err("error: device still " + state + "\n");
        return 1;
    }
    if (state == "offline") {
        Err("error: device offline\n");
        return 1;
    }
    if (state == "unauthorized") {
        Err("error: device unauthorized.\nThis adb server's $ADB_VENDOR_KEYS is not set\n"
            "Try 'adb kill-server' if that seems wrong.\nOtherwise check for a confirmation dialog on your device.\n");
        return 1;
    }
    if (verb == "shell") return Shell(a);
    if (verb == "push") return Push(a);
    if (verb == "reboot") {
        SetState("rebooted", a.size() > 1 ? a[1] : "system");
        if (State("reboot_ignored") == "1") return 0;
        // The phone leaves at once and comes back in recovery some seconds
        // later, where a command script has it install the package.
        SetState("connected", "0");
        const std::string gone = State("reboot_gone_ms").empty() ? "300" : State("reboot_gone_ms");
        if (gone != "never") SetState("away_ms", gone);
        return 0;
    }
    Err("adb: unknown command " + verb + "\n");
    return 1;
}

}  // namespace

// The C runtime splits the command line: no shell32, whose loading (user32,
// gdi32 and the rest) would double the start of every command under Wine.
int wmain(int argc, wchar_t** argv) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    g_dir = self;
    g_dir = g_dir.substr(0, g_dir.find_last_of(L'\\') + 1) + L"phone\\";

    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(ToUtf8(argv[i]));

    if (!args.empty() && args[0] == "sim-reset" && args.size() == 2) return Reset(args[1]);
    g_state = LoadKv(L"state.txt");
    if (!args.empty() && args[0] == "sim-set" && args.size() >= 2) {
        SetState(args[1].c_str(), args.size() > 2 ? args[2] : "");
        return 0;
    }
    if (!args.empty() && args[0] == "sim-prop" && args.size() >= 2) {
        KeyValues props = LoadKv(L"props.txt");
        props[args[1]] = args.size() > 2 ? args[2] : "";
        SaveKv(L"props.txt", props);
        return 0;
    }
    Journal(CommandTail());
    DropCutPush();
    ComeBackIfDue();
    // The command as the switches name it: without "-s SERIAL".
    std::string line = ToUtf8(CommandTail());
    if (args.size() > 2 && args[0] == "-s") {
        const size_t verb = line.find(args[2], line.find(args[1]) + args[1].size());
        line = verb == std::string::npos ? line : line.substr(verb);
    }
    const std::string muteOn = State("mute_on");
    g_muted = !muteOn.empty() && line.compare(0, muteOn.size(), muteOn) == 0;
    auto arrives = [&line](const char* key) {
        const std::string prefix = State(key);
        if (prefix.empty() || line.compare(0, prefix.size(), prefix) != 0) return false;
        SetState(key, "");
        return true;
    };
    // What happens to the connection just as this command arrives.
    if (arrives("unplug_on")) SetState("connected", "0");
    if (arrives("second_device_on")) SetState("extra_device", "emulator-5554");
    if (arrives("offline_on")) SetState("device_state", "offline");
    const bool hangAfter = arrives("hang_after_output");
    if (arrives("crash_on")) return static_cast<int>(0xC0000005);  // an access violation: nothing printed
    const bool crashAfter = arrives("crash_after_on");
    const int status = Run(args);
    if (crashAfter) return static_cast<int>(0xC0000005);  // what it printed came, then the client died
    if (hangAfter) {
        FlushFileBuffers(GetStdHandle(STD_OUTPUT_HANDLE));
        Sleep(INFINITE);
    }
    return status;
}
