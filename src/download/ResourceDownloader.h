#pragma once
// Asks the web service for the address of a model's ROM package or recovery
// image and downloads it over HTTP or HTTPS, with throttled progress and stop
// checks. The service signs its answers: a file is used only when it is the
// one the signed answer describes.
#include <string>

#include "device/ModelCatalogue.h"
#include "download/ServiceAnswer.h"
#include "progress/ProgressListener.h"
#include "util/StopToken.h"

namespace mirq {

struct HttpSession;

// How a download ended: the file is in place; it failed (network, disk);
// it arrived whole but differs from the size or checksums it was announced
// with; it arrived whole and verified but the target could not be replaced
// (open in another program: kept for the next download); stopped; the
// service's answer failed its security checks; the server's certificate was
// not trusted (or https led to http); the target's volume has no room for
// the file (nothing asked for when that was known before, the part removed
// when a write found it). AnswerRefused and Insecure fetch nothing.
enum class DownloadOutcome { Ok, Failed, ChecksumFailed, TargetInUse, Stopped, AnswerRefused, Insecure, DiskFull };

// What a download that ended DiskFull needed and found on the volume of its target.
struct DiskShortage {
    long long needed = 0;
    long long free = 0;
    std::wstring target;
};

class CResourceDownloader : public CProgressReporter {
public:
    static CResourceDownloader* GetInstance();
    virtual ~CResourceDownloader();

    // Ignored while a model is configured; proxy and bypass are taken over
    // (allocated with new[]) and may be null. The model id names a row of
    // the catalogue given; without one, of the built-in rows.
    void Configure(wchar_t* proxy, wchar_t* bypass, unsigned long flags, int modelId, CatalogueRef catalogue);
    void Configure(wchar_t* proxy, wchar_t* bypass, unsigned long flags, int modelId) {
        Configure(proxy, bypass, flags, modelId, BuiltInRows());
    }
    void Reset();
    virtual void ReportProgress(int percent, const std::wstring& text);

    // The answer of the service to the query, as text; empty on any failure.
    std::wstring QueryDownloadUrl(int flashType);
    // The same as it came, in bytes (the signature covers bytes); `insecure`
    // is set when the connection to the service could not be trusted.
    // The query's nonce is handed out, for the answer's check.
    std::string QueryAnswer(int flashType, bool* insecure = nullptr, std::wstring* nonce = nullptr);
    // No more than the expected size is written, and the file replaces the
    // target only with the expected checksums. A requested stop ends a
    // download within a moment, even while the server is silent; what arrived
    // is kept when the stop is the program's exit.
    DownloadOutcome Download(const std::wstring& url, const std::wstring& localPath,
                             const ExpectedFile& expected = ExpectedFile(),
                             const CStopToken& stop = CStopToken::Never());
    bool DownloadFile(const std::wstring& url, const std::wstring& localPath) {
        return Download(url, localPath) == DownloadOutcome::Ok;
    }
    bool FetchRom(const std::wstring& localPath, const CStopToken& stop = CStopToken::Never(),
                  DownloadOutcome* outcome = nullptr);
    bool FetchRecovery(const std::wstring& localPath, const CStopToken& stop = CStopToken::Never(),
                       DownloadOutcome* outcome = nullptr);

    // Whether a file on disk is the one that its kept release record (beside
    // it, verified again now under the root) names for this phone: size and
    // SHA-256. Always true in a build without the key.
    bool HoldsSignedFile(int flashType, const std::wstring& path, const CStopToken& stop = CStopToken::Never());

    int GetModelId() const { return m_modelId; }
    // The room the last download found missing (DiskFull); zeros otherwise.
    DiskShortage Shortage() const { return m_shortage; }
    // Why the last answer was refused (AnswerRefused), and the last day that
    // counts for it (the record's when that ended, else the certificate's)
    // where it was read; Verified otherwise.
    AnswerCheck Refusal() const { return m_refusal; }
    const std::wstring& RefusedUntil() const { return m_refusedUntil; }
    // The service's address and public key are the build's; tests point the
    // downloader at a service of their own.
    void SetService(const std::wstring& url, const std::string& key);
    const std::wstring& ServiceUrl() const { return m_serviceUrl; }
    const std::string& ServiceKey() const { return m_serviceKey; }

    CResourceDownloader(const CResourceDownloader&) = delete;
    CResourceDownloader& operator=(const CResourceDownloader&) = delete;

private:
    CResourceDownloader();
    DownloadOutcome Fetch(int flashType, const std::wstring& localPath, const CStopToken& stop);
    // A file whose record names pieces, from every place it names at once.
    DownloadOutcome DownloadPieces(const ServiceAnswer& named, const std::wstring& localPath, const CStopToken& stop);
    HttpSession Session() const;

    int m_modelId = -1;
    CatalogueRef m_catalogue = BuiltInRows();
    wchar_t* m_proxy = nullptr;
    wchar_t* m_bypass = nullptr;
    unsigned long m_accessType = 0;  // INTERNET_OPEN_TYPE_PRECONFIG: the system's proxy settings
    unsigned long m_sessionFlags = 0;
    std::wstring m_serviceUrl;
    std::string m_serviceKey;
    DiskShortage m_shortage;
    AnswerCheck m_refusal = AnswerCheck::Verified;
    std::wstring m_refusedUntil;
};

// Where a recovery image's root-signed record is kept: beside it.
std::wstring KeptRecordPath(const std::wstring& path);

// The downloader configured for one phone while this lives (the system's
// proxy settings), and reset when it goes, however the step ends: the next download
// may be for another phone.
class CDownloaderScope {
public:
    CDownloaderScope(int modelId, CatalogueRef catalogue)
        : m_downloader(CResourceDownloader::GetInstance()) {
        m_downloader->Configure(nullptr, nullptr, 0, modelId, std::move(catalogue));
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
