#pragma once
// Asks the web service for the address of a model's ROM package or recovery
// image and downloads it over HTTP, with throttled progress and stop checks.
#include <string>

#include "progress/ProgressListener.h"
#include "util/StopToken.h"

namespace mirq {

// How a download ended: the file is in place; it failed (network, disk);
// it arrived whole but differs from the service's checksum; it arrived whole
// and verified but the target could not be replaced (open in another
// program: kept for the next download); stopped.
enum class DownloadOutcome { Ok, Failed, ChecksumFailed, TargetInUse, Stopped };

class CResourceDownloader : public CProgressReporter {
public:
    static CResourceDownloader* GetInstance();
    virtual ~CResourceDownloader();

    // Ignored while a model is configured; proxy and bypass are taken over
    // (allocated with new[]) and may be null.
    void Configure(wchar_t* proxy, wchar_t* bypass, unsigned long flags, int modelId);
    void Reset();
    virtual void ReportProgress(int percent, const std::wstring& text);

    std::wstring QueryDownloadUrl(int flashType);
    // With a checksum (32 lower-case hex digits), a file whose MD5 differs
    // fails. A requested stop ends a download within a moment, even while
    // the server is silent; what arrived is kept when the stop is the
    // program's exit. DownloadFile is true for DownloadOutcome::Ok.
    DownloadOutcome Download(const std::wstring& url, const std::wstring& localPath,
                             const std::wstring& expectedMd5 = L"", const CStopToken& stop = CStopToken::Never());
    bool DownloadFile(const std::wstring& url, const std::wstring& localPath, const std::wstring& expectedMd5 = L"",
                      const CStopToken& stop = CStopToken::Never());
    bool FetchRom(const std::wstring& localPath, const CStopToken& stop = CStopToken::Never(),
                  DownloadOutcome* outcome = nullptr);
    bool FetchRecovery(const std::wstring& localPath, const CStopToken& stop = CStopToken::Never());

    int GetModelId() const { return m_modelId; }

    CResourceDownloader(const CResourceDownloader&) = delete;
    CResourceDownloader& operator=(const CResourceDownloader&) = delete;

private:
    CResourceDownloader() = default;
    DownloadOutcome Fetch(int flashType, const std::wstring& localPath, const CStopToken& stop);
    void* OpenSession() const;

    int m_modelId = -1;
    wchar_t* m_proxy = nullptr;
    wchar_t* m_bypass = nullptr;
    unsigned long m_accessType = 1;  // INTERNET_OPEN_TYPE_DIRECT
    unsigned long m_sessionFlags = 0;
};

// The downloader configured for one phone while this lives (direct, no
// proxy), and reset when it goes, however the step ends: the next download
// may be for another phone.
class CDownloaderScope {
public:
    explicit CDownloaderScope(int modelId) : m_downloader(CResourceDownloader::GetInstance()) {
        m_downloader->Configure(nullptr, nullptr, 0, modelId);
    }
    ~CDownloaderScope() { m_downloader->Reset(); }
    CResourceDownloader* operator->() const { return m_downloader; }
    CResourceDownloader* get() const { return m_downloader; }

    CDownloaderScope(const CDownloaderScope&) = delete;
    CDownloaderScope& operator=(const CDownloaderScope&) = delete;

private:
    CResourceDownloader* m_downloader;
};

}  // namespace mirq
