// The recovery image flasher: image (local copy or downloaded) to the SD card,
// flash_image to the phone, then flash_image writes the recovery partition.
#include <windows.h>

#include "adb/AdbManager.h"
#include "device/DeviceModel.h"
#include "device/ModelCatalogue.h"
#include "download/ResourceDownloader.h"
#include "download/UrlQuery.h"
#include "flash/FlashSequence.h"
#include "flash/Flasher.h"
#include "flash/PackageCheck.h"
#include "util/Utils.h"

namespace mirq {

namespace {

const wchar_t* const kRemoteFolder = L"/sdcard/mirq";
const wchar_t* const kToolFolder = L"/data/mirq";
const wchar_t* const kRemoteTool = L"/data/mirq/flash_image";

class CCommonRecoveryFlasher : public IRecoveryFlasher {
public:
    using IRecoveryFlasher::IRecoveryFlasher;

    bool PrepareFile() override {
        // The phone it was made for: the process-wide record may have been read again since.
        if (!m_catalogue->Has(m_modelId)) return false;
        if (!PathExists(m_path)) m_path = RecoveryImagePath(*m_catalogue, m_modelId);
        return ObtainRecoveryImage(m_catalogue, m_modelId, m_path, *m_stop) == DownloadOutcome::Ok;
    }

    bool PushFile() override {
        return ReplaceRemoteFile(m_serial, m_path, kRemoteFolder, kPhoneRecoveryImage, *m_stop, ReporterOf(this));
    }

    bool InstallFlashTool() override {
        if (GetBaseDirectory().empty()) return false;
        const std::wstring tool = FlashToolPath();
        if (!PathExists(tool)) return false;
        CAdbManager* adb = CAdbManager::GetInstance();
        adb->Shell(m_serial, std::wstring(L"mkdir ") + kToolFolder);
        if (!adb->Push(m_serial, tool, kRemoteTool)) return false;
        // The phones' chmod takes octal modes only ("+x" is a "Bad mode").
        return adb->ShellStatus(m_serial, std::wstring(L"chmod 755 ") + kRemoteTool) == 0;
    }

    bool FlashRecoveryImage() override {
        return CAdbManager::GetInstance()->ShellStatus(m_serial, std::wstring(kRemoteTool) + L" recovery " +
                                                                     kPhoneRecoveryImage) == 0;
    }
};

}  // namespace

bool NeedsRecoveryImage(const CModelRows& catalogue, int modelId) {
    return catalogue.Has(modelId) && catalogue.Row(modelId).recovery == RecoveryKind::FlashImage;
}

std::wstring FlashToolPath() { return GetBaseDirectory() + L"\\tools\\flash_image"; }

DownloadOutcome ObtainRecoveryImage(const CatalogueRef& catalogue, int modelId, const std::wstring& path,
                                    const CStopToken& stop) {
    CDownloaderScope downloader(modelId, catalogue);
    // Whatever lies in temp\ (an older build's, a replayed answer's, another
    // program's) goes to the recovery partition only as the service signed it.
    if (PathExists(path) && !downloader->HoldsSignedFile(kFlashTypeRecovery, path, stop)) {
        if (stop.Requested()) return DownloadOutcome::Stopped;
        RemoveRecoveryImage(path);
    }
    DownloadOutcome outcome = DownloadOutcome::Ok;
    if (!PathExists(path)) downloader->FetchRecovery(path, stop, &outcome);
    if (outcome != DownloadOutcome::Ok || IsRecoveryImage(path)) return outcome;
    RemoveRecoveryImage(path);
    return DownloadOutcome::Failed;
}

void RemoveRecoveryImage(const std::wstring& path) {
    DeleteFileW(path.c_str());
    DeleteFileW(KeptRecordPath(path).c_str());
}

int IRecoveryFlasher::Flash(const CStopToken& stop) {
    m_stop = &stop;
    const FlashStep steps[4] = {[this] { return PrepareFile(); }, [this] { return PushFile(); },
                                [this] { return InstallFlashTool(); }, [this] { return FlashRecoveryImage(); }};
    const int code =
        RunFlashSequence(steps, ReporterOf(this), FlashCodes{kRecoveryImageFailed, kRecoveryFlashStopped}, stop);
    m_stop = &CStopToken::Never();
    return code;
}

std::unique_ptr<IRecoveryFlasher> CreateRecoveryFlasher(const CatalogueRef& catalogue, int modelId,
                                                        const std::wstring& imagePath, const CSerial& serial) {
    if (!NeedsRecoveryImage(*catalogue, modelId)) return nullptr;  // the phone keeps its own recovery
    return std::unique_ptr<IRecoveryFlasher>(new CCommonRecoveryFlasher(modelId, imagePath, serial, catalogue));
}

std::unique_ptr<IRecoveryFlasher> CreateRecoveryFlasher(int modelId, const std::wstring& imagePath,
                                                        const CSerial& serial) {
    return CreateRecoveryFlasher(BuiltInRows(), modelId, imagePath, serial);
}

}  // namespace mirq
