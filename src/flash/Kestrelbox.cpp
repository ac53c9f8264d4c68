// The ROM package flasher: package to the SD card, command script to the
// cache partition, reboot into recovery.
#include <windows.h>

#include <cstdio>

#include "adb/AdbManager.h"
#include "device/ModelCatalogue.h"
#include "flash/FlashSequence.h"
#include "flash/Flasher.h"
#include "util/Raii.h"
#include "util/Utils.h"

namespace mirq {

const char kWipeScript[] =
    "ui_print(\"Welcome to use Mirq rom.\");\n"
    "format(\"/data\");\n"
    "format(\"/cache\");\n"
    "format(\"/sd-ext\");\n"
    "install_zip(\"/sdcard/mirq/update.zip\");";
const char kUpgradeScript[] =
    "ui_print(\"Welcome to use Mirq rom.\");\n"
    "install_zip(\"/sdcard/mirq/update.zip\");";
const char kOpenWipeScript[] = "wipe data\nwipe cache\ninstall /sdcard/mirq/update.zip\n";
const char kOpenUpgradeScript[] = "install /sdcard/mirq/update.zip\n";

const wchar_t* RecoveryScriptPath(ScriptKind kind) {
    return kind == ScriptKind::OpenRecoveryScript ? L"/cache/recovery/openrecoveryscript" : L"/cache/recovery/extendedcommand";
}

namespace {

const wchar_t* const kRemoteFolder = L"/sdcard/mirq";

// What the model's recovery is told.
const char* ScriptText(ScriptKind kind, bool keepData) {
    if (kind == ScriptKind::OpenRecoveryScript) return keepData ? kOpenUpgradeScript : kOpenWipeScript;
    return keepData ? kUpgradeScript : kWipeScript;
}

class CCommonKestrelbox : public IKestrelbox {
public:
    using IKestrelbox::IKestrelbox;

    bool PrepareFile() override { return IsRegularFile(m_path); }

    bool PushFile() override {
        return ReplaceRemoteFile(m_serial, m_path, kRemoteFolder, kPhonePackage, *m_stop, ReporterOf(this));
    }

    bool WriteRecoveryScript(bool keepData) override {
        const std::wstring temp = GetTempDirectory();
        if (!PathExists(temp)) return false;
        const ScriptKind kind = m_catalogue->Row(m_modelId).script;
        const std::wstring remote = RecoveryScriptPath(kind);
        const std::wstring local = temp + remote.substr(remote.rfind(L'/') + 1);
        const char* script = ScriptText(kind, keepData);
        CStdFile file(_wfopen(local.c_str(), L"wb"));
        const size_t length = strlen(script);
        const bool written = file && fwrite(script, 1, length, file.get()) == length && file.Close() == 0;
        m_scriptMayBeOnPhone = written;
        CAdbManager* adb = CAdbManager::GetInstance();
        // Small enough to be read back: what recovery will run is what was meant.
        const bool pushed =
            written && adb->Push(m_serial, local, remote) && adb->RemoteFileHolds(m_serial, remote, script);
        DeleteFileW(local.c_str());
        return pushed;
    }
};

}  // namespace

bool RemoveRecoveryScript(const CSerial& serial, ScriptKind kind) { return RemoveRemoteFile(serial, RecoveryScriptPath(kind)); }

bool RemoveRecoveryScripts(const CSerial& serial) {
    return RemoveRecoveryScript(serial, ScriptKind::ExtendedCommand) &&
           RemoveRecoveryScript(serial, ScriptKind::OpenRecoveryScript);
}

bool RemoveEarlierCopies(const CSerial& serial) {
    return RemoveRemoteFile(serial, kPhonePackage) && RemoveRemoteFile(serial, kPhoneRecoveryImage);
}

bool IKestrelbox::RebootToRecovery() {
    CAdbManager* adb = CAdbManager::GetInstance();
    adb->Reboot(m_serial, L"recovery");
    // An unplugged phone ends the client at once too, with its error on
    // standard error; a phone that got the command leaves the list.
    if (!adb->LastSucceeded() || !adb->LastError().empty()) return false;
    return adb->WaitUntilGone(m_serial);
}

int IKestrelbox::Flash(bool keepData, const CStopToken& stop) {
    m_scriptMayBeOnPhone = false;
    m_stop = &stop;
    const FlashStep steps[4] = {[this] { return PrepareFile(); }, [this] { return PushFile(); },
                                [this, keepData] { return WriteRecoveryScript(keepData); },
                                [this] { return RebootToRecovery(); }};
    const int code =
        RunFlashSequence(steps, ReporterOf(this), FlashCodes{kRomPrepareFailed, kRomFlashStopped}, stop);
    m_stop = &CStopToken::Never();
    // Stopped or failed with the script on the phone and no reboot: the next
    // boot into recovery would run it (and wipe the phone) for a flash that
    // did not complete.
    if (code != kFlashOk && m_scriptMayBeOnPhone) RemoveRecoveryScript(m_serial, m_catalogue->Row(m_modelId).script);
    return code;
}

std::unique_ptr<IKestrelbox> CreateKestrelbox(const CatalogueRef& catalogue, int modelId, const std::wstring& romPath,
                                              const CSerial& serial) {
    if (!catalogue->Has(modelId)) return nullptr;
    const ScriptKind kind = catalogue->Row(modelId).script;
    if (kind != ScriptKind::ExtendedCommand && kind != ScriptKind::OpenRecoveryScript) return nullptr;
    return std::unique_ptr<IKestrelbox>(new CCommonKestrelbox(modelId, romPath, serial, catalogue));
}

std::unique_ptr<IKestrelbox> CreateKestrelbox(int modelId, const std::wstring& romPath, const CSerial& serial) {
    // Ids the built-in rows lack (4 to 11) write the first kind of script.
    if (modelId < 0 || modelId > 11) return nullptr;
    return std::unique_ptr<IKestrelbox>(new CCommonKestrelbox(modelId, romPath, serial, BuiltInRows()));
}

}  // namespace mirq
