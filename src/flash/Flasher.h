#pragma once
// The two kinds of flasher: ROM packages (IKestrelbox) and recovery images
// (IRecoveryFlasher). Each runs the shared four-step sequence over its own steps.
#include <memory>
#include <string>

#include "adb/Serial.h"
#include "device/ModelCatalogue.h"
#include "download/ResourceDownloader.h"
#include "progress/ProgressListener.h"
#include "util/StopToken.h"

namespace mirq {

// What a flasher's run ends with: 0, the failing step, or stopped.
enum FlashStepCode {
    kFlashOk = 0,
    kRomPrepareFailed = 50,  // the package is not there
    kRomPushFailed = 51,
    kRomScriptFailed = 52,
    kRomRebootFailed = 53,
    kRomFlashStopped = 54,
    kRecoveryImageFailed = 100,  // no image, or none could be downloaded
    kRecoveryPushFailed = 101,
    kRecoveryToolFailed = 102,
    kRecoveryWriteFailed = 103,
    kRecoveryFlashStopped = 104,
};

class IKestrelbox : public CProgressReporter {
public:
    // Every command goes to the phone of the serial (empty: the only device
    // attached). The model id names a row of the catalogue given, which says
    // what script the phone's recovery reads.
    IKestrelbox(int modelId, const std::wstring& path, const CSerial& serial, CatalogueRef catalogue)
        : m_path(path), m_modelId(modelId), m_serial(serial), m_catalogue(std::move(catalogue)) {}
    virtual ~IKestrelbox() = default;

    virtual bool PrepareFile() = 0;
    virtual bool PushFile() = 0;
    virtual bool WriteRecoveryScript(bool keepData) { return false; }
    // True once the client reported no error and the phone has left.
    virtual bool RebootToRecovery();
    virtual void ReportProgress(int percent, const std::wstring& text) { NotifyListener(percent, text); }

    // kFlashOk, a kRom... step code, or kRomFlashStopped. A run that does not
    // end in the reboot takes its recovery script off the phone.
    int Flash(bool keepData, const CStopToken& stop = CStopToken::Never());

protected:
    std::wstring m_path;
    int m_modelId;
    CSerial m_serial;
    CatalogueRef m_catalogue;
    const CStopToken* m_stop = &CStopToken::Never();  // the running Flash's, for its steps
    bool m_scriptMayBeOnPhone = false;  // set once the script push was tried
};

class IRecoveryFlasher : public CProgressReporter {
public:
    IRecoveryFlasher(int modelId, const std::wstring& path, const CSerial& serial, CatalogueRef catalogue)
        : m_path(path), m_modelId(modelId), m_serial(serial), m_catalogue(std::move(catalogue)) {}
    virtual ~IRecoveryFlasher() = default;

    virtual bool PrepareFile() = 0;
    virtual bool PushFile() = 0;
    virtual bool InstallFlashTool() = 0;
    virtual bool FlashRecoveryImage() = 0;
    virtual void ReportProgress(int percent, const std::wstring& text) { NotifyListener(percent, text); }

    // kFlashOk, a kRecovery... step code, or kRecoveryFlashStopped.
    int Flash(const CStopToken& stop = CStopToken::Never());

    const std::wstring& GetPath() const { return m_path; }

protected:
    std::wstring m_path;
    int m_modelId;
    CSerial m_serial;
    CatalogueRef m_catalogue;
    const CStopToken* m_stop = &CStopToken::Never();  // the running Flash's, for its steps
};

// The flashers for a row of the catalogue, whatever its id; null where the
// catalogue has no row for the id (and, for the package, no row of a script
// this program knows to write), and no recovery flasher for a phone that
// keeps its own recovery. The serial names the phone the device check found.
std::unique_ptr<IKestrelbox> CreateKestrelbox(const CatalogueRef& catalogue, int modelId, const std::wstring& romPath,
                                              const CSerial& serial);
std::unique_ptr<IRecoveryFlasher> CreateRecoveryFlasher(const CatalogueRef& catalogue, int modelId,
                                                        const std::wstring& imagePath, const CSerial& serial);
// The same for the built-in phones (a package flasher for any id up to 11);
// the forms without a serial are for the only device attached.
std::unique_ptr<IKestrelbox> CreateKestrelbox(int modelId, const std::wstring& romPath, const CSerial& serial);
std::unique_ptr<IRecoveryFlasher> CreateRecoveryFlasher(int modelId, const std::wstring& imagePath,
                                                        const CSerial& serial);
inline std::unique_ptr<IKestrelbox> CreateKestrelbox(int modelId, const std::wstring& romPath) {
    return CreateKestrelbox(modelId, romPath, CSerial::OnlyDevice());
}
inline std::unique_ptr<IRecoveryFlasher> CreateRecoveryFlasher(int modelId, const std::wstring& imagePath) {
    return CreateRecoveryFlasher(modelId, imagePath, CSerial::OnlyDevice());
}

// Where the package goes on the phone, and the card that holds it.
constexpr const wchar_t* kPhoneCard = L"/sdcard";
constexpr const wchar_t* kPhonePackage = L"/sdcard/mirq/update.zip";
constexpr const wchar_t* kPhoneRecoveryImage = L"/sdcard/mirq/recovery.img";
// The phone-side tool that writes the recovery partition, installed with the program.
std::wstring FlashToolPath();
// The model's recovery image at the path, downloaded when there is none or
// when it is not the one its kept signed answer names (checked every time). A
// file that is no boot image (an error page saved in its place) must never
// reach the recovery partition: it is deleted, so that the next attempt
// downloads it again, and the outcome is Failed.
DownloadOutcome ObtainRecoveryImage(const CatalogueRef& catalogue, int modelId, const std::wstring& path,
                                    const CStopToken& stop);
// The image with its kept answer (an image without one cannot be flashed).
void RemoveRecoveryImage(const std::wstring& path);

// Takes a recovery command script of an earlier, unfinished flash off the
// phone; false unless the phone confirmed it is gone.
bool RemoveRecoveryScript(const CSerial& serial, ScriptKind kind = ScriptKind::ExtendedCommand);
// Both kinds: a recovery of either kind may run at the phone's next boot into
// it (one flashed since, or left by another tool).
bool RemoveRecoveryScripts(const CSerial& serial);
// Where a recovery of that kind reads its commands.
const wchar_t* RecoveryScriptPath(ScriptKind kind);
// Whether a model's recovery image comes from the service and is written
// with flash_image (else the phone keeps its own recovery).
bool NeedsRecoveryImage(const CModelRows& catalogue, int modelId);
// Takes the package and the recovery image an earlier flash left on the card
// off it, so that the room they held is there for what comes; false unless
// the phone confirmed both gone.
bool RemoveEarlierCopies(const CSerial& serial);

// The recovery command scripts, exactly as the phone's recovery reads them:
// extendedcommand's, and openrecoveryscript's.
extern const char kWipeScript[];
extern const char kUpgradeScript[];
extern const char kOpenWipeScript[];
extern const char kOpenUpgradeScript[];

}  // namespace mirq
