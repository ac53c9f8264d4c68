// The worker tasks' bodies and thread routines, and the box for each result.
#include "app/Tasks.h"

#include <algorithm>

#include "BuildConfig.h"
#include "adb/AdbManager.h"
#include "device/DeviceModel.h"
#include "device/ModelCatalogue.h"
#include "download/CatalogueService.h"
#include "download/ResourceDownloader.h"
#include "download/UrlQuery.h"
#include "flash/FlashReadiness.h"
#include "flash/InstallFollower.h"
#include "flash/Flasher.h"
#include "flash/PackageCheck.h"
#include "log/logger.h"
#include "util/Raii.h"
#include "util/Utils.h"

namespace mirq {

namespace {

int IdentifiedModel() { return CDeviceModel::GetInstance()->GetModelId(); }

// A flash step that failed because of the connection says so, not "re-plug".
int FlashFailure(int result) {
    const int problem = ConnectionProblemCode();
    return problem != kCheckOk ? problem : result;
}

// Passes a task's calls on to its host, noting the root state the display
// was given, so that the end of the task need not ask the phone again.
class CRootNotingHost : public ITaskHost {
public:
    explicit CRootNotingHost(ITaskHost& host) : m_host(host) {}
    void ShowDeviceInfo(bool rooted) override {
        m_rootKnown = true;
        m_rooted = rooted;
        m_host.ShowDeviceInfo(rooted);
    }
    void ResetDeviceInfo() override {  // nothing known of a phone: no root either
        m_rootKnown = true;
        m_rooted = false;
        m_host.ResetDeviceInfo();
    }
    std::unique_ptr<IProgressListener> OpenProgress(int span) override { return m_host.OpenProgress(span); }
    void ReportFlashError(int flashStep) override { m_host.ReportFlashError(flashStep); }
    void ReportMessageDetail(const std::wstring& text) override { m_host.ReportMessageDetail(text); }
    CatalogueRef LatestCatalogue() override { return m_host.LatestCatalogue(); }

    // Whether adb has root on the identified phone (which decides the flash
    // button): as this task's check found it, else as the last one did (a
    // download asks nothing of the phone).
    bool Rooted() {
        if (!m_rootKnown) m_rooted = IdentifiedModel() >= 0 && CDeviceModel::GetInstance()->IsRooted();
        return m_rooted;
    }

private:
    ITaskHost& m_host;
    bool m_rootKnown = false;
    bool m_rooted = false;
};

typedef int (*TaskBody)(ITaskHost& host, const TaskInput& input);

DWORD RunTaskThread(void* param, TaskBody body, const wchar_t* name) {
    std::unique_ptr<TaskStart> start(static_cast<TaskStart*>(param));
    if (!start || !start->host) return 1;
    MIRQ_LOG(kLogInfo, L"task", std::wstring(name) + L" started");
    CRootNotingHost host(*start->host);
    const int result = body(host, start->input);
    // The root check runs here, on the worker: no adb command on the window's thread.
    const bool rooted = host.Rooted();
    SendMessageW(start->window, WM_TASK_FINISHED, result, rooted);
    return 0;
}

int DeviceCheckBody(ITaskHost& host, const TaskInput& input) {
    CatalogueRef catalogue = input.catalogue;
    return RunDeviceCheckTask(host, *input.stop, 100, nullptr, &catalogue);
}

const std::wstring kUnsupportedText = std::wstring(L"该型号手机暂不支持，具体信息请关注") + BuiltInHomeUrl() + L"MirqROM论坛！";
const wchar_t* const kToolsDownloadFailed = L"云端辅助工具下载失败，请保证网络连接良好后重新刷机！";
const wchar_t* const kReplugUsb = L"请重新插拔USB线，保证手机与PC的连接良好后重新刷机！";

const wchar_t* const kRebootFailed = L"手机未能重启进入Recovery，请重新插拔USB线后重新刷机！";

bool IsFailedStep(int flashStep, FlashStepCode first, FlashStepCode last) {
    return flashStep >= first && flashStep <= last;
}

const long long kMiB = 1 << 20;
const unsigned long kCatalogueWaitMs = 5000;
// How long a phone in recovery may take to run a system again: a first boot can take 15 minutes.
const unsigned long kInstallWaitMs = MIRQ_INSTALL_WAIT_S * 1000ul;
// A look every 2 s; a short wait looks more often, so that the verdict is not late by a large share of it.
const unsigned long kInstallPollMs = std::min(2000ul, kInstallWaitMs / 6);

// The box texts that name what the readiness check found.
std::wstring RefusalText(const ReadinessReport& report) {
    switch (report.verdict) {
    case Readiness::WrongDevice: {
        std::wstring names;
        for (const std::wstring& name : report.packageDevices) names += (names.empty() ? L"" : L"/") + name;
        return L"该ROM包适用于" + names + L"，与当前手机（" + report.phoneDevice + L"）不符，请选择本机型号的ROM包！";
    }
    case Readiness::LowBattery:
        return L"手机电量过低（" + std::to_wstring(report.batteryPercent) + L"%），请充电至50%以上后再刷机！";
    case Readiness::NoSpace:
        return L"手机存储卡空间不足（需要" + std::to_wstring((report.neededBytes + kMiB - 1) / kMiB) + L" MB，可用" +
               std::to_wstring(report.freeBytes / kMiB) + L" MB），请清理存储卡后重新刷机！";
    default: return L"";
    }
}

// The device check's results after which nothing is known of a phone: no
// adb, no phone, a reading cut short, a connection that is not one phone ready.
bool NothingKnownOfAPhone(int result) {
    return result == kCheckNoAdb || result == kCheckNoDevice || result == kCheckReadFailed || IsConnectionProblem(result);
}

// Why the service's answer was refused, in the box's words.
std::wstring RefusalText(AnswerCheck check, const std::wstring& until) {
    switch (check) {
    case AnswerCheck::CertificateEnded:
    case AnswerCheck::RecordEnded:
        return std::wstring(check == AnswerCheck::RecordEnded ? L"服务器给出的发布记录" : L"服务器的证书") + L"已于" + until +
               L"到期，或者电脑的日期不正确（电脑的日期是" + TodayUtc() + L"）。没有下载任何文件，请确认电脑的日期正确后重试！";
    case AnswerCheck::OtherPlace: return L"下载地址不在发布记录中";
    case AnswerCheck::KeyWithdrawn: return L"服务器的密钥已被撤销";
    case AnswerCheck::CertificateRefused: return L"服务器的证书不是发布密钥签发的";
    case AnswerCheck::RecordRefused: return L"ROM包的发布记录不是发布密钥签名的";
    case AnswerCheck::OlderRecord: return L"服务器给出的版本比本机已见过的旧";
    case AnswerCheck::OtherQuery: return L"不是对本次请求的回答";
    case AnswerCheck::OtherPhone:
    case AnswerCheck::OtherFile: return L"回答针对的是其他机型或文件";
    case AnswerCheck::NotOk: return L"服务器没有该机型的文件";
    case AnswerCheck::NoSignature:
    case AnswerCheck::BadSignature: return L"签名无效";
    default: return L"回答的格式不正确";
    }
}

// The task's result for a download that did not bring its file; a full
// volume is told with what it needed and had, a refused answer with why.
int DownloadFailure(DownloadOutcome outcome, ITaskHost* host = nullptr) {
    if (outcome == DownloadOutcome::AnswerRefused && host) {
        const CResourceDownloader* downloader = CResourceDownloader::GetInstance();
        const std::wstring why = RefusalText(downloader->Refusal(), downloader->RefusedUntil());
        const bool ended = downloader->Refusal() == AnswerCheck::CertificateEnded || downloader->Refusal() == AnswerCheck::RecordEnded;
        host->ReportMessageDetail(ended
                                      ? why
                                      : L"服务器的回答未通过安全验证（" + why + L"），没有下载任何文件，请稍后重试！");
    }
    if (outcome == DownloadOutcome::DiskFull && host) {
        // The room as it is now, when it is told: a removed part gave some back.
        const DiskShortage shortage = CResourceDownloader::GetInstance()->Shortage();
        const long long free = FreeBytesBeside(shortage.target);
        host->ReportMessageDetail(L"磁盘" + VolumeOf(shortage.target) + L"空间不足（需要" +
                                  std::to_wstring((shortage.needed + kMiB - 1) / kMiB) + L" MB，可用" +
                                  std::to_wstring((free < 0 ? shortage.free : free) / kMiB) + L" MB），请清理磁盘后重新下载！");
    }
    switch (outcome) {
    case DownloadOutcome::DiskFull: return kTaskDiskFull;
    case DownloadOutcome::ChecksumFailed: return kTaskDownloadChecksumFailed;
    case DownloadOutcome::TargetInUse: return kTaskDownloadTargetInUse;
    case DownloadOutcome::AnswerRefused: return kTaskAnswerRefused;
    case DownloadOutcome::Insecure: return kTaskInsecureConnection;
    default: return kTaskDownloadFailed;
    }
}

bool IsSecurityRefusal(DownloadOutcome outcome) {
    return outcome == DownloadOutcome::AnswerRefused || outcome == DownloadOutcome::Insecure;
}

// The recovery image that goes to the card with the package; none for a
// phone that keeps its own recovery.
std::wstring ImageForTheCard(const CModelRows& catalogue, int modelId) {
    return NeedsRecoveryImage(catalogue, modelId) ? RecoveryImagePath(catalogue, modelId) : L"";
}

// The model's recovery image, downloaded when there is none: its size counts
// on the card, and a failed download stops the flash before it starts.
int CheckRecoveryImage(ITaskHost& host, const CatalogueRef& catalogue, int modelId, const std::wstring& imagePath,
                       const CStopToken& stop) {
    const DownloadOutcome outcome = ObtainRecoveryImage(catalogue, modelId, imagePath, stop);
    if (outcome == DownloadOutcome::Ok) return kTaskOk;
    if (outcome == DownloadOutcome::Stopped || stop.Requested()) return kTaskStopped;
    if (IsSecurityRefusal(outcome) || outcome == DownloadOutcome::DiskFull) return DownloadFailure(outcome, &host);
    host.ReportFlashError(kRecoveryImageFailed);
    return kTaskRecoveryFlashFailed;
}

// Everything that would stop a flash half-way is found before anything on
// the phone changes: a damaged package, one that installs nothing or is for
// another phone, a missing tool or recovery image, a flat battery, a full card.
int CheckFlashCanStart(ITaskHost& host, const TaskInput& input, const CatalogueRef& catalogue, int modelId,
                       const CSerial& serial, RomContents& contents) {
    const CStopToken& stop = *input.stop;
    {
        std::unique_ptr<IProgressListener> listener = host.OpenProgress(0);
        listener->OnProgress(0, L"正在校验ROM包...");
        const PackageCheck package =
            CheckRomPackage(input.romPath, [&stop](uint64_t, uint64_t) { return !stop.Requested(); }, &contents);
        if (package == PackageCheck::Stopped || stop.Requested()) return kTaskStopped;
        if (package != PackageCheck::Ok) return kTaskBadPackage;
    }
    std::unique_ptr<IProgressListener> listener = host.OpenProgress(0);
    listener->OnProgress(0, L"正在检查手机状态...");
    const std::wstring imagePath = ImageForTheCard(*catalogue, modelId);
    if (!imagePath.empty() && IsRegularFile(FlashToolPath())) {  // without the tool the check below says so, before any download
        const int image = CheckRecoveryImage(host, catalogue, modelId, imagePath, stop);
        if (image != kTaskOk) return image;
    }
    const ReadinessReport report = CheckFlashReadiness(serial, input.romPath, contents, imagePath, stop);
    if (stop.Requested()) return kTaskStopped;
    const std::wstring detail = RefusalText(report);
    if (!detail.empty()) host.ReportMessageDetail(detail);
    switch (report.verdict) {
    case Readiness::Ready: return kTaskOk;
    case Readiness::UnwritablePath: return kTaskUnwritablePath;
    case Readiness::NotARom: return kTaskNotARom;
    case Readiness::NoFlashTool: return kTaskNoFlashTool;
    case Readiness::WrongDevice: return kTaskWrongDevice;
    case Readiness::LowBattery: return kTaskLowBattery;
    case Readiness::NoSpace: return kTaskNoSpace;
    case Readiness::Stopped: break;
    }
    return kTaskStopped;
}

}  // namespace

int RunDeviceCheckTask(ITaskHost& host, const CStopToken& stop, int span, CSerial* serial, CatalogueRef* catalogue) {
    CDeviceChecker* checker = CDeviceChecker::GetInstance();
    CAttachedListener listener(host.OpenProgress(span), checker);
    CatalogueRef used = catalogue && *catalogue ? *catalogue : BuiltInRows();
    int result = checker->Check(stop, serial, *used);
    // A phone the catalogue in use does not know may be in the service's,
    // still on its way at launch: waited for a moment, then the phone is
    // identified again from this reading, no command sent.
    if (result == kCheckUnsupported && catalogue) {
        WaitForCatalogue(kCatalogueWaitMs, stop);
        const CatalogueRef latest = host.LatestCatalogue();
        if (latest && latest != used && CDeviceModel::GetInstance()->Identify(*latest) >= 0) {
            used = latest;
            result = kCheckOk;
        }
        *catalogue = used;
    }
    if (!checker->Detail().empty()) host.ReportMessageDetail(checker->Detail());
    // A phone read before reports only 5 and 10; its slice still ends complete,
    // so the next reporter's slice starts where the plan puts it.
    if (result == kCheckOk || result == kCheckUnsupported) listener.get()->OnProgress(100, L"");
    // kCheckOk means an identified phone.
    if (result == kCheckOk) host.ShowDeviceInfo(CDeviceModel::GetInstance()->IsRooted());  // read with the rest
    else if (result == kCheckUnsupported || NothingKnownOfAPhone(result))
        host.ResetDeviceInfo();
    return result;
}

int RunDownloadTask(ITaskHost& host, const TaskInput& input) {
    const CStopToken& stop = *input.stop;
    const int id = IdentifiedModel();
    if (!input.catalogue->Has(id)) return kTaskUnsupported;
    CDownloaderScope downloader(id, input.catalogue);
    // A phone that keeps its own recovery needs no image.
    const bool needsImage = NeedsRecoveryImage(*input.catalogue, id);
    DownloadOutcome image = DownloadOutcome::Ok, package = DownloadOutcome::Failed;
    if (needsImage) {
        // The earlier image goes first: a failed download must not leave it to be flashed.
        const std::wstring imagePath = RecoveryImagePath(*input.catalogue, id);
        RemoveRecoveryImage(imagePath);
        CAttachedListener listener(host.OpenProgress(20), downloader.get());
        downloader->FetchRecovery(imagePath, stop, &image);
    }
    if (stop.Requested()) return kTaskStopped;
    // A service that cannot be trusted for the image is not asked for the
    // package, nor is a volume asked to hold it that could not hold the image.
    if (IsSecurityRefusal(image) || image == DownloadOutcome::DiskFull) return DownloadFailure(image, &host);
    CAttachedListener listener(host.OpenProgress(needsImage ? 80 : 100), downloader.get());
    downloader->FetchRom(input.romPath, stop, &package);
    if (stop.Requested()) return kTaskStopped;
    if (package != DownloadOutcome::Ok) return DownloadFailure(package, &host);
    return image == DownloadOutcome::Ok ? kTaskDownloaded : kTaskImageDownloadFailed;
}

int RunFlashTask(ITaskHost& host, const TaskInput& input) {
    const CStopToken& stop = *input.stop;
    host.ReportFlashError(kFlashOk);
    CSerial serial = CSerial::OnlyDevice();
    CatalogueRef catalogue = input.catalogue;
    const int check = RunDeviceCheckTask(host, stop, 20, &serial, &catalogue);
    if (NothingKnownOfAPhone(check)) return check;
    if (stop.Requested()) return kTaskStopped;
    const int id = IdentifiedModel();
    if (id < 0) return kTaskUnsupported;  // no flasher serves an unidentified phone
    // Every flasher the flash needs exists before anything on the phone
    // changes: one missing half-way would leave a recovery written and no
    // package, or a package and no reboot.
    std::unique_ptr<IRecoveryFlasher> recovery = CreateRecoveryFlasher(catalogue, id, L"", serial);
    std::unique_ptr<IKestrelbox> package = CreateKestrelbox(catalogue, id, input.romPath, serial);
    if (!package) return kTaskUnsupported;  // (no recovery flasher: the phone keeps its own recovery)
    RomContents contents;
    const int ready = CheckFlashCanStart(host, input, catalogue, id, serial, contents);
    if (ready != kTaskOk) return ready;
    // A script left by an earlier, unfinished attempt would wipe the phone
    // at its next boot into recovery, whatever happens now (either kind: the
    // phone's recovery may have been another). The earlier package and image
    // go too, before anything is pushed: the room they held was counted for
    // what comes, and the card is read again without them.
    if (!RemoveRecoveryScripts(serial) || !RemoveEarlierCopies(serial)) {
        host.ReportFlashError(kRomPushFailed);
        return kTaskRomFlashFailed;
    }
    const ReadinessReport room = CheckRoomNow(serial, input.romPath, ImageForTheCard(*catalogue, id));
    if (room.verdict == Readiness::NoSpace) {
        host.ReportMessageDetail(RefusalText(room));
        return kTaskNoSpace;
    }

    int step = kFlashOk;
    const bool recoveryRuns = recovery != nullptr;
    if (recovery) {
        CAttachedListener listener(host.OpenProgress(20), recovery.get());
        step = recovery->Flash(stop);
        host.ReportFlashError(step);
        // The flasher goes first, then a pause for the phone (cut short by a
        // stop), then the listener.
        listener.Detach();
        recovery.reset();
        WaitForSingleObject(stop.Event(), 1000);
    }
    // A failure of its own is told even with a stop pending: a half-written recovery partition must be said.
    if (step == kRecoveryFlashStopped) return kTaskStopped;
    if (step != kFlashOk) return FlashFailure(kTaskRecoveryFlashFailed);
    if (stop.Requested()) return kTaskStopped;

    CInstallFollower follower(serial, kInstallWaitMs, kInstallPollMs);
    follower.NoteBefore(CDeviceChecker::GetInstance()->LastReading());  // as this task's check read it
    {
        CAttachedListener listener(host.OpenProgress(recoveryRuns ? 60 : 80), package.get());
        step = package->Flash(input.keepData, stop);
        host.ReportFlashError(step);
    }
    if (step == kRomFlashStopped) return kTaskStopped;
    if (step != kFlashOk) return FlashFailure(kTaskRomFlashFailed);
    // The phone has left for recovery with the package: followed until it
    // runs a system again, and told by what it booted.
    PhoneReading after;
    const InstallVerdict verdict = follower.Follow(ReadExpectedBuild(contents), host.OpenProgress(0).get(), stop, after);
    if (after.read) {
        // The window shows what the phone runs now.
        CDeviceChecker::GetInstance()->RecordAfresh(after, *catalogue);
        host.ShowDeviceInfo(after.rooted);
    }
    switch (verdict) {
    case InstallVerdict::NewSystem:
        host.ReportMessageDetail(SystemReading::From(after).name);
        return kTaskFlashed;
    case InstallVerdict::OldSystem: return kTaskSystemNotUpdated;
    case InstallVerdict::SameBuild:
        host.ReportMessageDetail(SystemReading::From(after).name);
        return kTaskSameBuild;
    case InstallVerdict::ScriptNotRun: return kTaskScriptNotRun;
    case InstallVerdict::InRecovery: return kTaskStayedInRecovery;
    case InstallVerdict::Unauthorized: return kTaskBackUnauthorized;
    case InstallVerdict::NotBack: return kTaskNotBack;
    case InstallVerdict::Stopped: break;
    }
    return kTaskWaitStopped;
}

// The PC does not sleep while a download or a flash runs (the wait for the
// phone included): a sleep would cut a download and count as time waited.
class CKeepAwake {
public:
    CKeepAwake() { SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED); }
    ~CKeepAwake() { SetThreadExecutionState(ES_CONTINUOUS); }
    CKeepAwake(const CKeepAwake&) = delete;
    CKeepAwake& operator=(const CKeepAwake&) = delete;
};

DWORD WINAPI DeviceCheckThread(void* start) { return RunTaskThread(start, DeviceCheckBody, L"device check"); }
DWORD WINAPI DownloadThread(void* start) {
    CKeepAwake awake;
    return RunTaskThread(start, RunDownloadTask, L"download");
}
DWORD WINAPI FlashThread(void* start) {
    CKeepAwake awake;
    return RunTaskThread(start, RunFlashTask, L"flash");
}

DWORD WINAPI CleanUpThread(void* taskThread) {
    // Stopping the server under a running flash could end it between its
    // script and its reboot: the task goes first (its every wait is bounded).
    if (taskThread) {
        CWinHandle task(static_cast<HANDLE>(taskThread));
        WaitForSingleObject(task.get(), INFINITE);
    }
    CAdbManager::GetInstance()->KillServerAndCleanUp();
    return 0;
}

TaskMessage MessageFor(int result, int flashStep, const std::wstring& detail) {
    switch (result) {
    case kTaskNoAdb: return {L"错误", L"未找到Adb工具，请重新安装一键软件客户端以恢复文件！"};
    case kTaskNoDevice:
        return {L"异常提示", L"未找到有效设备，请确认手机已连接到PC，且处于正常开机状态，并打开usb调试开关！"};
    case kTaskUnsupported: return {L"不支持该设备", kUnsupportedText.c_str()};
    case kTaskNoServer: return {L"无法连接到服务器", L"连接下载服务器失败，请确认网络设置正常后再重新尝试！"};
    case kTaskDownloaded: return {L"下载完成！", L"ROM路径已正确设置，请点击“刷机”按钮直接刷机！"};
    case kTaskDownloadFailed: return {L"下载失败", L"ROM下载失败，请确认网络连接良好后重新下载！"};
    case kTaskDownloadChecksumFailed: return {L"下载失败", L"ROM包校验失败，请重新下载！"};
    case kTaskDownloadTargetInUse:
        return {L"下载失败", L"ROM包已下载，但所选文件正被其他程序使用，请关闭该程序后重新下载！"};
    case kTaskAnswerRefused:
        return {L"下载失败", detail.empty() ? L"服务器的回答未通过安全验证，没有下载任何文件，请稍后重试！" : detail};
    case kTaskInsecureConnection: return {L"下载失败", L"无法安全连接到下载服务器（证书无效），没有下载任何文件！"};
    case kTaskDiskFull: return {L"下载失败", detail};
    case kTaskImageDownloadFailed:
        return {L"下载失败", L"ROM包已下载，但Recovery镜像下载失败，请确认网络连接良好后重新下载！"};
    case kTaskFlashed: return {L"刷机完成！", L"刷机成功，手机已启动新系统：" + detail};
    case kTaskSystemNotUpdated:
        return {L"刷机失败", L"手机已重新启动，但系统没有更新：Recovery未能安装ROM包。请查看手机屏幕上的提示后重新刷机！"};
    case kTaskStayedInRecovery:
        return {L"刷机失败", L"手机停留在Recovery中，ROM包没有安装成功。请查看手机屏幕上的提示后重新刷机！"};
    case kTaskBackUnauthorized:
        return {L"刷机提示",
                L"手机已重新启动，但没有得到USB调试授权，无法确认新系统的版本。请在手机屏幕上查看系统版本。"};
    case kTaskNotBack:
        return {L"刷机提示", L"ROM包已交给Recovery安装，但手机在" + std::to_wstring((MIRQ_INSTALL_WAIT_S + 59) / 60) +
                                 L"分钟内没有重新连接电脑（清除数据后手机的USB调试会关闭）。请查看手机屏幕，确认新系统已经启动。"};
    case kTaskWaitStopped:
        return {L"刷机提示", L"已停止等待：ROM包已交给Recovery安装，请查看手机屏幕，确认新系统已经启动。"};
    case kTaskSameBuild:
        return {L"刷机提示", L"手机已启动，系统与ROM包的版本相同（" + detail +
                                 L"），无法确认这次安装是否成功。请查看手机屏幕上的提示。"};
    case kTaskScriptNotRun: return {L"刷机失败", L"手机已重新启动，但Recovery没有运行刷机命令，ROM包没有安装。请重新刷机！"};
    case kTaskBadPackage: return {L"刷机失败", L"ROM包已损坏或不完整，请重新下载或选择其他ROM包！"};
    case kTaskNotARom: return {L"刷机失败", L"所选文件不是可刷入的ROM包，请重新选择ROM包！"};
    case kTaskUnwritablePath:
        return {L"异常提示", L"ROM包路径中含有无法识别的字符，请将ROM包移到只含中英文字符的路径后重试！"};
    case kTaskWrongDevice: return {L"刷机失败", detail};
    case kTaskLowBattery:
    case kTaskNoSpace: return {L"异常提示", detail};
    case kTaskNoFlashTool: return {L"错误", L"未找到flash_image工具，请重新安装一键软件客户端以恢复文件！"};
    case kCheckReadFailed: return {L"异常提示", kReplugUsb};  // the phone's answer was cut short
    case kCheckManyDevices: return {L"异常提示", L"检测到多部手机或模拟器，请只连接一部需要刷机的手机！"};
    case kCheckOffline: return {L"异常提示", L"手机处于离线状态，请重新插拔USB线后点击“刷新设备信息”！"};
    case kCheckUnauthorized: return {L"异常提示", L"请在手机屏幕上允许USB调试，然后点击“刷新设备信息”！"};
    case kCheckOtherAdbServer:
        // Named with its version where the server on the port answered.
        if (!detail.empty()) return {L"异常提示", detail};
        return {L"异常提示", L"其他程序（如手机助手类软件）正在使用adb服务，请关闭这些程序后点击“刷新设备信息”！"};
    case kCheckDriverMissing:
    case kCheckFastboot:
    case kCheckPortTaken: return {L"异常提示", detail};
    case kTaskRecoveryFlashFailed:
    case kTaskRomFlashFailed:
        if (flashStep == kRomPrepareFailed || flashStep == kRecoveryImageFailed)
            return {L"刷机失败", kToolsDownloadFailed};
        if (flashStep == kRomRebootFailed) return {L"刷机失败", kRebootFailed};
        if (IsFailedStep(flashStep, kRomPushFailed, kRomScriptFailed) ||
            IsFailedStep(flashStep, kRecoveryPushFailed, kRecoveryWriteFailed))
            return {L"刷机失败", kReplugUsb};
        return {nullptr, L""};
    default: return {nullptr, L""};
    }
}

}  // namespace mirq
