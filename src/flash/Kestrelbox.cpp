// The ROM package flasher: package to the SD card, command script to the
// cache partition, reboot into recovery.
#include <windows.h>

#include <cstdio>

#include "adb/AdbManager.h"
#include "flash/FlashSequence.h"
#include "flash/Flasher.h"
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

namespace {

const wchar_t* const kRemoteFolder = L"/sdcard/mirq";
const wchar_t* const kRemotePackage = L"/sdcard/mirq/update.zip";
const wchar_t* const kRemoteScript = L"/cache/recovery/extendedcommand";

class CCommonKestrelbox : public IKestrelbox {
public:
    using IKestrelbox::IKestrelbox;

    bool PrepareFile() override { return PathExists(m_path); }

    bool PushFile() override { return ReplaceRemoteFile(m_path, kRemoteFolder, kRemotePackage); }

    bool WriteRecoveryScript(bool keepData) override {
        const std::wstring temp = GetTempDirectory();
        if (!PathExists(temp)) return false;
        const std::wstring local = temp + L"extendedcommand";
        const char* script = keepData ? kUpgradeScript : kWipeScript;
        if (FILE* file = _wfopen(local.c_str(), L"wb")) {
            fwrite(script, 1, strlen(script), file);
            fclose(file);
        }
        bool pushed = CAdbManager::GetInstance()->Push(local, kRemoteScript);
        DeleteFileW(local.c_str());
        return pushed;
    }
};

}  // namespace

bool IKestrelbox::RebootToRecovery() {
    CAdbManager::GetInstance()->Reboot(L"recovery");
    return true;
}

int IKestrelbox::Flash(bool keepData) {
    const FlashStep steps[4] = {[this] { return PrepareFile(); }, [this] { return PushFile(); },
                                [this, keepData] { return WriteRecoveryScript(keepData); },
                                [this] { return RebootToRecovery(); }};
    return RunFlashSequence(steps, [this](int p, const std::wstring& t) { ReportProgress(p, t); }, kRomFlashCodes);
}

IKestrelbox* CreateKestrelbox(int modelId, const std::wstring& romPath) {
    if (modelId < 0 || modelId > 11) return nullptr;
    return new CCommonKestrelbox(modelId, romPath);
}

}  // namespace mirq
