#include "download/ResourceDownloader.h"

#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "BuildConfig.h"
#include "device/ModelCatalogue.h"
#include "download/BackgroundFileWriter.h"
#include "download/Digest.h"
#include "download/HttpExchange.h"
#include "download/PieceDownload.h"
#include "download/SeenReleases.h"
#include "download/ServiceAnswer.h"
#include "download/UrlQuery.h"
#include "log/logger.h"
#include "progress/TransferStatus.h"
#include "util/Raii.h"
#include "util/Thread.h"
#include "util/Utils.h"

#include <atomic>

namespace mirq {

namespace {

const wchar_t* const kAgent = L"OTA_Service";
const DWORD kRequestFlags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI;
const DWORD kReportIntervalMs = 500;
const double kDefaultImageSize = 4194304.0;
const double kDefaultPackageSize = 94371840.0;
// The query answer is small; reading stops here whatever the server sends.
const size_t kMaxAnswerBytes = 64 * 1024;

bool EndsWithImg(const std::wstring& path) {
    return path.size() >= 4 && path.compare(path.size() - 4, 4, L".img") == 0;
}

}  // namespace

CResourceDownloader* CResourceDownloader::GetInstance() {
    static CResourceDownloader* instance = new CResourceDownloader();
    return instance;
}

CResourceDownloader::CResourceDownloader() : m_serviceUrl(BuiltInServiceUrl()), m_serviceKey(BuiltInServiceKey()) {}

CResourceDownloader::~CResourceDownloader() { Reset(); }

void CResourceDownloader::Configure(wchar_t* proxy, wchar_t* bypass, unsigned long flags, int modelId,
                                    CatalogueRef catalogue) {
    if (m_modelId >= 0) {
        delete[] proxy;
        delete[] bypass;
        return;
    }
    delete[] m_bypass;
    delete[] m_proxy;
    m_bypass = bypass;
    m_proxy = proxy;
    m_sessionFlags = flags;
    // Without a proxy of its own, the one set in Internet Options: offices
    // and schools let traffic out only through it.
    m_accessType = proxy ? INTERNET_OPEN_TYPE_PROXY : INTERNET_OPEN_TYPE_PRECONFIG;
    m_modelId = modelId;
    m_catalogue = std::move(catalogue);
}

void CResourceDownloader::Reset() {
    m_modelId = -1;
    m_catalogue = BuiltInRows();
    delete[] m_proxy;
    delete[] m_bypass;
    m_proxy = nullptr;
    m_bypass = nullptr;
}

void CResourceDownloader::SetService(const std::wstring& url, const std::string& key) {
    m_serviceUrl = url;
    m_serviceKey = key;
}

void CResourceDownloader::ReportProgress(int percent, const std::wstring& text) { NotifyListener(percent, text); }

HttpSession CResourceDownloader::Session() const {
    return HttpSession{kAgent, m_accessType, m_proxy, m_bypass, m_sessionFlags};
}

std::string CResourceDownloader::QueryAnswer(int flashType, bool* insecure, std::wstring* nonce) {
    if (insecure) *insecure = false;
    UrlParts service;
    // A nonce of its own for each query: an answer signed for another is refused.
    const std::wstring asked = MakeNonce();
    if (nonce) *nonce = asked;
    if (!SplitUrl(m_serviceUrl, service) || asked.empty()) return std::string();
    const std::wstring what = L"POST " + service.objectPath + L" (flash type " + std::to_wstring(flashType) + L")";
    CHttpHandles h;
    const SendResult sent = SendHttpRequest(h, Session(), service, L"POST", kRequestFlags,
                                            L"Content-Type: text/xml; charset=utf-8\r\n",
                                            WideToUtf8(BuildUrlRequest(*m_catalogue, m_modelId, flashType, asked)), what);
    if (insecure) *insecure = sent == SendResult::Insecure;
    if (sent != SendResult::Sent) return std::string();
    const long long status = QueryNumber(h.request, HTTP_QUERY_STATUS_CODE);
    MIRQ_LOG(status == 200 ? kLogInfo : kLogWarning, L"http", what + L": status " + std::to_wstring(status));
    if (status != 200) return std::string();

    return ReadSmallBody(h.request, kMaxAnswerBytes);
}

// Whole: a long address must not cut off what comes after it.
std::wstring CResourceDownloader::QueryDownloadUrl(int flashType) { return DecodeAnsi(QueryAnswer(flashType)); }

namespace {

// What arrived of an interrupted download stays beside the target ("<target>.part"),
// with what identifies the file it came from ("<target>.part.info": the
// file's signed SHA-256 and size where the service's record gives them,
// else its address; a strong validator of the file (ETag, else
// Last-Modified) and its whole size), so that the next download of the same
// file asks only for the rest, wherever it is hosted by then.
struct CPartialInfo {
    std::wstring url, validator;  // url: what names the file (see above)
    long long total = -1;
};

CPartialInfo ReadPartialInfo(const std::wstring& path) {
    CPartialInfo info;
    CStdFile file(_wfopen(path.c_str(), L"rb"));
    if (!file) return info;
    char buf[4096] = {};
    const size_t got = fread(buf, 1, sizeof(buf) - 1, file.get());
    const std::string text(buf, got);
    const size_t newline = text.find('\n');
    if (newline == std::string::npos) return info;
    info.url = Utf8ToWide(text.substr(0, newline));
    const size_t second = text.find('\n', newline + 1);
    info.validator = Utf8ToWide(text.substr(newline + 1, second - newline - 1));
    if (second != std::string::npos && second + 1 < text.size() && text[second + 1] != '\n')
        info.total = atoll(text.c_str() + second + 1);  // older descriptions have no length
    return info;
}

bool WritePartialInfo(const std::wstring& path, const CPartialInfo& info) {
    return WriteBinaryFile(path, WideToUtf8(info.url) + "\n" + WideToUtf8(info.validator) + "\n" +
                                     std::to_string(info.total) + "\n");
}

// "bytes A-B/T" of a 206: A, and T (-1 when "*"); false when it does not parse.
bool ReadContentRange(const std::wstring& text, long long& first, long long& total) {
    long long last = -1;
    wchar_t star = 0;
    if (swscanf(text.c_str(), L"bytes %lld-%lld/%lld", &first, &last, &total) == 3) return last == total - 1;
    total = -1;
    return swscanf(text.c_str(), L"bytes %lld-%lld/%lc", &first, &last, &star) == 3 && star == L'*';
}

// The checksums a file must have, computed as its bytes go by.
class CFileChecksums {
public:
    explicit CFileChecksums(const ExpectedFile& expected) : m_expected(expected) {
        if (!expected.sha256.empty()) m_sha256.reset(new CDigest(DigestKind::Sha256));
        if (!expected.md5.empty()) m_md5.reset(new CDigest(DigestKind::Md5));
    }
    bool Any() const { return m_sha256 || m_md5; }
    void Update(const char* data, size_t size) {
        if (m_sha256) m_sha256->Update(data, size);
        if (m_md5) m_md5->Update(data, size);
    }
    // One observer a digest, so that each can run on a thread of its own.
    std::vector<CBackgroundFileWriter::ChunkObserver> Observers() {
        std::vector<CBackgroundFileWriter::ChunkObserver> observers;
        for (CDigest* digest : {m_sha256.get(), m_md5.get()})
            if (digest) observers.push_back([digest](const char* data, size_t size) { digest->Update(data, size); });
        return observers;
    }
    // Once every byte went by: whether they are the file announced.
    bool Match() {
        return (!m_sha256 || m_sha256->HexDigest() == m_expected.sha256) &&
               (!m_md5 || m_md5->HexDigest() == m_expected.md5);
    }

private:
    const ExpectedFile& m_expected;
    std::unique_ptr<CDigest> m_sha256, m_md5;
};

enum class HashResult { Done, Failed, Stopped };

// Feeds the first `length` bytes of a file on disk into the checksums (a
// kept part); a part of gigabytes takes its time, so the stop is watched.
HashResult HashFile(const std::wstring& path, long long length, CFileChecksums& sums, const CStopToken& stop,
                    long long from = 0) {
    CStdFile file(_wfopen(path.c_str(), L"rb"));
    if (!file || _fseeki64(file.get(), from, SEEK_SET) != 0) return HashResult::Failed;
    length -= from;
    std::vector<char> block(1 << 20);
    while (length > 0) {
        if (stop.Requested()) return HashResult::Stopped;
        const size_t want = length < static_cast<long long>(block.size()) ? static_cast<size_t>(length) : block.size();
        const size_t got = fread(block.data(), 1, want, file.get());
        if (got != want) return HashResult::Failed;
        sums.Update(block.data(), got);
        length -= got;
    }
    return HashResult::Done;
}

// The whole part over the target; false while the target is open in another
// program (an archiver, a virus scanner).
bool MoveIntoPlace(const std::wstring& partPath, const std::wstring& localPath) {
    return MoveFileExW(partPath.c_str(), localPath.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

// One download of one file, as steps: the plan (what is kept and still
// describes the file, whether the volume has room for the rest), the
// request, the transfer and the finish. A step that finds the kept part no
// longer describes what comes asks to start over from nothing, once at most.
class CDownloadRun {
public:
    CDownloadRun(CResourceDownloader& owner, const HttpSession& session, const std::wstring& url,
                 const std::wstring& localPath, const ExpectedFile& expected, const CStopToken& stop,
                 DiskShortage& shortage)
        : m_owner(owner), m_session(session), m_url(url), m_localPath(localPath), m_partPath(localPath + L".part"),
          m_infoPath(m_partPath + L".info"), m_expected(expected), m_stop(stop), m_shortage(shortage) {}

    DownloadOutcome Run() {
        if (!SplitUrl(m_url, m_address)) return DownloadOutcome::Failed;
        for (int round = 0;; ++round) {
            m_restart = false;
            DownloadOutcome outcome = DownloadOutcome::Failed;
            if (Plan(outcome) && Request(outcome)) outcome = Finish(Transfer());
            if (!m_restart) return outcome;
            if (round > 0) {
                Log(kLogWarning, L"started over once already; given up");
                return DownloadOutcome::Failed;
            }
            if (!ForgetPart()) return DownloadOutcome::Failed;
        }
    }

private:
    struct Transferred {
        bool whole = false, stopped = false, diskFull = false;
        unsigned long long received = 0;
    };

    void Log(int level, const std::wstring& what) { MIRQ_LOG(level, L"http", L"GET " + m_url + L": " + what); }

    // A file the root signed is itself by its checksum, at whatever address:
    // its kept part is resumed without the server's validator, since the
    // checksum checks the whole in the end.
    bool Signed() const { return !m_expected.sha256.empty() && m_expected.size >= 0; }
    std::wstring FileName() const {
        return Signed() ? L"sha256:" + m_expected.sha256 + L" " + std::to_wstring(m_expected.size) : m_url;
    }

    // False when the part stays (read-only, held by a virus scanner): it can
    // then never be told apart from what comes, and the download ends.
    bool ForgetPart() {
        DeleteFileW(m_partPath.c_str());
        DeleteFileW(m_infoPath.c_str());
        if (!PathExists(m_partPath)) return true;
        Log(kLogWarning, L"the kept part cannot be removed (error " + std::to_wstring(GetLastError()) + L"); given up");
        return false;
    }
    bool DropPart(const wchar_t* why) {
        Log(kLogWarning, std::wstring(L"the kept part ") + why + L"; removed");
        m_have = -1;
        return ForgetPart();
    }
    bool StartOver(const wchar_t* why) {
        Log(kLogWarning, std::wstring(why) + L"; starting over");
        CHttpHandles closed;
        m_handles = std::move(closed);  // the answer's handles close here, before anything else is asked
        m_restart = true;
        return false;
    }

    // What is kept, and room for the rest. False ends the run with `outcome`.
    bool Plan(DownloadOutcome& outcome) {
        m_earlier = ReadPartialInfo(m_infoPath);
        m_have = m_earlier.url == FileName() && (Signed() || !m_earlier.validator.empty()) ? RegularFileSize(m_partPath) : -1;
        // A part that is not the start of this file (an earlier release's, one
        // without its description) would only take room that this one needs.
        if (m_have < 0 && PathExists(m_partPath) && !DropPart(L"is not the start of this file")) return false;
        // A part that cannot be the start of the announced file is not kept.
        if (m_have >= 0 && m_expected.size >= 0 &&
            (m_have > m_expected.size || (m_earlier.total >= 0 && m_earlier.total != m_expected.size)) &&
            !DropPart(L"is not of the announced length"))
            return false;
        if (m_have > 0 && m_have == m_earlier.total) {
            // All of it arrived before, but the target could not be replaced
            // then: checked again and moved, nothing fetched.
            CFileChecksums sums(m_expected);
            const HashResult hashed = HashFile(m_partPath, m_have, sums, m_stop);
            if (hashed == HashResult::Stopped) return (outcome = DownloadOutcome::Stopped), false;
            if (hashed == HashResult::Done && sums.Match()) {
                const bool moved = MoveIntoPlace(m_partPath, m_localPath);
                Log(moved ? kLogInfo : kLogWarning, moved ? L"the whole part kept before moved into place"
                                                          : L"the whole part kept before still cannot replace the target (in use)");
                if (moved) DeleteFileW(m_infoPath.c_str());
                outcome = moved ? DownloadOutcome::Ok : DownloadOutcome::TargetInUse;
                return false;
            }
            if (!DropPart(L"differs from the checksums")) return false;
        }
        if (m_have < 0 || (m_earlier.total >= 0 && m_have >= m_earlier.total)) m_have = 0;  // nothing left to ask for
        // The kept start goes into the checksums before the request: a long
        // hash must not keep a server waiting. Given up, it is not counted.
        m_sums.reset(new CFileChecksums(m_expected));
        if (m_have > 0 && m_sums->Any()) {
            const HashResult hashed = HashFile(m_partPath, m_have, *m_sums, m_stop);
            if (hashed == HashResult::Stopped) return (outcome = DownloadOutcome::Stopped), false;
            if (hashed == HashResult::Failed) RestartChecksums();
        }
        // Nothing is asked for that the volume cannot hold.
        const long long needed = m_expected.size - m_have, free = FreeBytesBeside(m_localPath);
        if (m_expected.size >= 0 && free >= 0 && free < needed) {
            m_shortage = DiskShortage{needed, free, m_localPath};
            Log(kLogWarning, std::to_wstring(needed) + L" bytes to come, " + std::to_wstring(free) +
                                 L" free on the volume; nothing asked for");
            outcome = DownloadOutcome::DiskFull;
            return false;
        }
        return true;
    }

    void RestartChecksums() {
        m_have = 0;
        m_sums.reset(new CFileChecksums(m_expected));
    }

    // The rest only, and only of the same file: a changed file comes whole (200).
    bool Request(DownloadOutcome& outcome) {
        const std::wstring headers =
            m_have > 0 ? L"Range: bytes=" + std::to_wstring(m_have) + L"-\r\n" +
                             (Signed() ? L"" : L"If-Range: " + m_earlier.validator + L"\r\n")
                       : L"";
        const SendResult sent = SendHttpRequest(m_handles, m_session, m_address, L"GET",
                                                kRequestFlags | INTERNET_FLAG_RELOAD, headers, "", L"GET " + m_url);
        if (sent != SendResult::Sent) {
            outcome = sent == SendResult::Insecure ? DownloadOutcome::Insecure : DownloadOutcome::Failed;
            return false;
        }
        m_status = QueryNumber(m_handles.request, HTTP_QUERY_STATUS_CODE);
        if (m_status == 416 && m_have > 0) return StartOver(L"the kept part is not smaller than the file");
        if (m_status != 200 && !(m_status == 206 && m_have > 0)) {
            Log(kLogWarning, L"status " + std::to_wstring(m_status));
            return false;
        }
        if (m_status == 200 && m_have > 0) RestartChecksums();  // no range support, or the file changed

        const long long declared = QueryNumber(m_handles.request, HTTP_QUERY_CONTENT_LENGTH);
        // The announced length is the file's: a server that declares or sends
        // more is not read past it.
        m_total = m_expected.size >= 0 ? m_expected.size : declared > 0 ? m_have + declared : -1;
        // A weak ETag says only that two files are alike: no validator for a range.
        m_identity = CPartialInfo{FileName(), QueryText(m_handles.request, HTTP_QUERY_ETAG), m_total};
        if (m_identity.validator.compare(0, 2, L"W/") == 0) m_identity.validator.clear();
        if (m_identity.validator.empty()) m_identity.validator = QueryText(m_handles.request, HTTP_QUERY_LAST_MODIFIED);
        if (m_identity.validator.empty() && Signed()) m_identity.validator = L"sha256:" + m_expected.sha256;
        if (m_status == 206) {
            // Only the rest of the very file kept: a range elsewhere, of another
            // length or of another file (a proxy that ignores If-Range) would
            // splice two files together.
            long long first = -1, whole = -1;
            if (!ReadContentRange(QueryText(m_handles.request, HTTP_QUERY_CONTENT_RANGE), first, whole) ||
                first != m_have || (whole >= 0 && m_earlier.total >= 0 && whole != m_earlier.total) ||
                (whole >= 0 && m_total >= 0 && whole != m_total))
                return StartOver(L"the range sent is not the rest of the kept part");
            if (!Signed() && m_identity.validator != m_earlier.validator) return StartOver(L"the range sent is of another file");
            if (whole >= 0) m_total = m_identity.total = whole;
        }
        return true;
    }

    Transferred Transfer() {
        Transferred t;
        t.received = static_cast<unsigned long long>(m_have);
        FILE* file = _wfopen(m_partPath.c_str(), m_have > 0 ? L"ab" : L"wb");
        if (!file) {
            DeleteFileW(m_infoPath.c_str());
            return t;
        }
        // Only now does the part hold what the description says (nothing yet, or the kept start).
        if (m_identity.validator.empty() || !WritePartialInfo(m_infoPath, m_identity)) DeleteFileW(m_infoPath.c_str());
        // The checksums are computed beside the writes, each on a thread of its own: off the reading path.
        CBackgroundFileWriter writer(file, m_sums->Observers());
        CBodyReader reader(std::move(m_handles), m_expected.size >= 0 ? m_expected.size - m_have : -1);
        const double expectedBytes =
            m_total > 0 ? m_total : (EndsWithImg(m_localPath) ? kDefaultImageSize : kDefaultPackageSize);
        std::vector<char> block;
        DWORD lastReport = GetTickCount();
        CSpeedMeter speed;
        speed.Add(lastReport, 0);
        for (;;) {
            const CBodyReader::Result next = reader.Next(block, m_stop);
            if (next == CBodyReader::kEnd) {
                // A server that closes before the length it declared or was announced with sent a truncated file.
                t.whole = m_total <= 0 || t.received >= static_cast<unsigned long long>(m_total);
                break;
            }
            t.stopped = next == CBodyReader::kStopped;
            if (next != CBodyReader::kBlock) break;  // failed, timed out or stopped
            bool complete = false;
            if (m_expected.size >= 0 && t.received + block.size() >= static_cast<unsigned long long>(m_expected.size)) {
                if (t.received + block.size() > static_cast<unsigned long long>(m_expected.size))
                    Log(kLogWarning, L"the server sends more than the announced " + std::to_wstring(m_expected.size) +
                                         L" bytes; cut off there");
                block.resize(static_cast<size_t>(m_expected.size - t.received));
                complete = true;
            }
            t.received += block.size();
            if (!writer.Write(block.data(), block.size())) break;  // disk full
            if (complete) {
                t.whole = true;
                break;
            }
            const DWORD now = GetTickCount();
            if (now - lastReport > kReportIntervalMs) {
                speed.Add(now, t.received - m_have);
                const int percent = static_cast<int>(t.received * 90.0 / expectedBytes + 10.0);
                const double rate = speed.BytesPerSecond();
                const double left = m_total > 0 && rate > 0 ? (m_total - static_cast<long long>(t.received)) / rate : -1;
                m_owner.ReportProgress(percent > 100 ? 100 : percent, FormatDownloadStatus(rate, left));
                lastReport = now;
                if (m_stop.Requested()) {
                    t.stopped = true;
                    break;
                }
            }
        }
        if (!writer.Finish()) {
            t.whole = false;
            // The C library does not always say why a write failed: a volume
            // left with less room than the failed write needed is full all the
            // same. Any other failure is a broken download, not a full disk.
            const long long free = FreeBytesBeside(m_localPath);
            t.diskFull = writer.DiskFull() || (free >= 0 && free < static_cast<long long>(writer.ShortWrite()));
        }
        return t;
    }

    DownloadOutcome Finish(const Transferred& t) {
        // A file that arrived whole but is not the one announced is no better than a broken one.
        const bool checksumFailed = t.whole && !m_sums->Match();
        bool ok = t.whole && !checksumFailed;
        const bool inUse = ok && !MoveIntoPlace(m_partPath, m_localPath);
        ok = ok && !inUse;
        const unsigned long long resumedAt = static_cast<unsigned long long>(m_have);
        Log(ok ? kLogInfo : kLogWarning,
            L"status " + std::to_wstring(m_status) + L", " + std::to_wstring(t.received - resumedAt) + L" bytes" +
                (resumedAt ? L" after " + std::to_wstring(resumedAt) + L" kept" : L"") +
                (ok ? L", complete" : inUse ? L", complete but the target is in use; kept"
                 : t.diskFull ? L", the volume is full; removed"
                 : t.stopped ? (m_stop.ForExit() ? L", stopped by the exit; kept" : L", stopped")
                 : checksumFailed ? L", differs from its checksums; removed" : L", broken off"));
        // A whole, verified file that cannot replace the target is held by its
        // SHA-256, whatever validator the server gave (or none).
        if (inUse) {
            m_identity.total = static_cast<long long>(t.received);  // its whole length, now known
            if (!m_expected.sha256.empty()) m_identity.validator = L"sha256:" + m_expected.sha256;
            if (m_identity.validator.empty() || !WritePartialInfo(m_infoPath, m_identity)) DeleteFileW(m_infoPath.c_str());
        }
        // What arrived is kept for the next attempt when the link broke, when the
        // program is closing, and when all of it is here but the target could not
        // be replaced; a stop by the user, a wrong checksum or a full volume leave nothing behind.
        const bool keep = !ok && !t.diskFull && (inUse || (t.stopped ? m_stop.ForExit() : !t.whole)) && PathExists(m_infoPath);
        if (!ok && !keep) DeleteFileW(m_partPath.c_str());
        if (!keep) DeleteFileW(m_infoPath.c_str());
        if (ok) return DownloadOutcome::Ok;
        if (inUse) return DownloadOutcome::TargetInUse;
        if (checksumFailed) return DownloadOutcome::ChecksumFailed;
        if (t.diskFull) {
            // The part is gone: all of the file must come again.
            const long long free = FreeBytesBeside(m_localPath);
            m_shortage = DiskShortage{m_total >= 0 ? m_total : static_cast<long long>(t.received) + 1, free < 0 ? 0 : free,
                                      m_localPath};
            return DownloadOutcome::DiskFull;
        }
        return t.stopped ? DownloadOutcome::Stopped : DownloadOutcome::Failed;
    }

    CResourceDownloader& m_owner;
    const HttpSession m_session;
    const std::wstring& m_url;
    const std::wstring& m_localPath;
    const std::wstring m_partPath, m_infoPath;
    const ExpectedFile& m_expected;
    const CStopToken& m_stop;
    DiskShortage& m_shortage;
    UrlParts m_address;
    CPartialInfo m_earlier, m_identity;
    long long m_have = -1, m_total = -1, m_status = 0;
    std::unique_ptr<CFileChecksums> m_sums;
    CHttpHandles m_handles;
    bool m_restart = false;
};

}  // namespace

DownloadOutcome CResourceDownloader::Download(const std::wstring& url, const std::wstring& localPath,
                                              const ExpectedFile& expected, const CStopToken& stop) {
    m_shortage = DiskShortage();
    return CDownloadRun(*this, Session(), url, localPath, expected, stop, m_shortage).Run();
}

DownloadOutcome CResourceDownloader::Fetch(int flashType, const std::wstring& localPath, const CStopToken& stop) {
    if (!m_catalogue->Has(m_modelId)) return DownloadOutcome::Failed;
    ReportProgress(0, L"ROM下载中...");
    if (stop.Requested()) return DownloadOutcome::Stopped;
    bool insecure = false;
    AnswerAsked asked{m_catalogue->Row(m_modelId).phonemode, flashType, L"", m_catalogue.get()};
    const std::string answer = QueryAnswer(flashType, &insecure, &asked.nonce);
    ServiceAnswer named;
    AnswerCheck check = ReadServiceAnswer(answer, m_serviceKey, asked, named);
    if (check == AnswerCheck::Verified) {
        // A record older than one seen before is a replay: the PC is never rolled back.
        CSeenReleases seen(SeenReleasesPath());
        if (named.version < seen.Newest(asked.phonemode, flashType))
            check = AnswerCheck::OlderRecord;
        else if (unsigned long error = seen.Note(asked.phonemode, flashType, named.version))
            MIRQ_LOG(kLogWarning, L"http", L"the release seen could not be kept in " + SeenReleasesPath() + L" (error " +
                                               std::to_wstring(error) + L")");
    }
    const bool refused = !answer.empty() && check != AnswerCheck::Verified && check != AnswerCheck::NotVerified;
    m_refusal = refused ? check : AnswerCheck::Verified;
    m_refusedUntil = check == AnswerCheck::RecordEnded ? named.recordUntil : named.certificateUntil;
    if (!answer.empty())
        MIRQ_LOG(refused ? kLogWarning : kLogInfo, L"http", L"the answer for flash type " + std::to_wstring(flashType) +
                                                                 L": " + DescribeAnswerCheck(check) +
                                                                 (check == AnswerCheck::Verified ? L" (release " + std::to_wstring(named.version) +
                                                                  L", certificate until " + named.certificateUntil +
                                                                  L", record until " + named.recordUntil + L")"
                                                                : check == AnswerCheck::RecordEnded ? L" (it ended on " + named.recordUntil + L")"
                                                                                                    : L""));
    DownloadOutcome outcome = insecure ? DownloadOutcome::Insecure
                              : refused ? DownloadOutcome::AnswerRefused
                                        : DownloadOutcome::Failed;
    if (outcome == DownloadOutcome::Failed && IsFetchableUrl(named.url)) {
        ReportProgress(10, L"");
        if (stop.Requested()) return DownloadOutcome::Stopped;
        outcome = named.file.pieces.empty() ? Download(named.url, localPath, named.file, stop)
                                            : DownloadPieces(named, localPath, stop);
    }
    // The image's root-signed record stays beside it: the image is checked against it again before every flash.
    unsigned long error = 0;
    if (outcome == DownloadOutcome::Ok && flashType == kFlashTypeRecovery && check == AnswerCheck::Verified &&
        !ReplaceFileWith(KeptRecordPath(localPath), named.record, &error))
        MIRQ_LOG(kLogWarning, L"http", L"the release record of " + localPath + L" could not be kept (error " +
                                           std::to_wstring(error) + L")");
    ReportProgress(100, L"");
    return outcome;
}

namespace {

// The pieces' progress on the bar and in words: the combined speed and time
// left, the places and connections in use. The whole file's checksums follow
// its checked start on a thread of their own, so that little is left to hash
// at the end.
class CPieceProgress : public IPieceProgress {
public:
    CPieceProgress(CResourceDownloader& owner, const std::wstring& part, const ExpectedFile& file, const CStopToken& stop)
        : m_owner(owner), m_part(part), m_size(file.size), m_sums(file), m_stop(stop),
          m_hasher([this] { Follow(); }) {}
    ~CPieceProgress() { Finish(0); }
    void OnPieces(long long bytes, double bytesPerSecond, int places, int connections, long long inOrder) override {
        const double left = bytesPerSecond > 0 ? (m_size - bytes) / bytesPerSecond : -1;
        m_owner.ReportProgress(static_cast<int>(10 + bytes * 90.0 / m_size),
                               FormatDownloadStatus(bytesPerSecond, left) + L"（" + std::to_wstring(places) + L"个地址，" +
                                   std::to_wstring(connections) + L"个连接）");
        m_inOrder = inOrder;
        SetEvent(m_moved.get());
    }
    // The whole file checked (all of it hashed by now); false when it differs, could not be read or a stop came.
    bool Finish(long long whole) {
        m_inOrder = whole;
        m_last = true;
        SetEvent(m_moved.get());
        m_hasher.Join();
        return m_result == HashResult::Done && m_hashed == m_size && m_sums.Match();
    }
    bool Stopped() const { return m_result == HashResult::Stopped; }

private:
    void Follow() {
        for (;;) {
            WaitForSingleObject(m_moved.get(), INFINITE);
            // The last word first: the length it comes with was set before it.
            const bool last = m_last;
            const long long to = m_inOrder;
            if (to > m_hashed && m_result == HashResult::Done) {
                m_result = HashFile(m_part, to, m_sums, m_stop, m_hashed);
                if (m_result == HashResult::Done) m_hashed = to;
            }
            if (last) return;
        }
    }

    CResourceDownloader& m_owner;
    const std::wstring m_part;
    const long long m_size;
    CFileChecksums m_sums;
    const CStopToken& m_stop;
    CWinHandle m_moved{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    std::atomic<long long> m_inOrder{0};
    std::atomic<bool> m_last{false};
    long long m_hashed = 0;  // the hasher's
    HashResult m_result = HashResult::Done;
    CThread m_hasher;
};

}  // namespace

DownloadOutcome CResourceDownloader::DownloadPieces(const ServiceAnswer& named, const std::wstring& localPath,
                                                    const CStopToken& stop) {
    const std::wstring part = localPath + L".part", map = PieceMapPath(part);
    const PieceLayout layout{named.file.size, named.file.pieceSize, named.file.sha256, named.file.pieces};
    const auto forget = [&] {
        DeleteFileW(part.c_str());
        DeleteFileW(map.c_str());
    };
    DeleteFileW((part + L".info").c_str());  // a description of a part fetched whole names no pieces
    // Nothing is asked for that the volume cannot hold: what the part lacks of its checked pieces.
    long long needed = layout.size;
    const std::vector<bool> have = RegularFileSize(part) == layout.size ? ReadPieceMap(map, layout) : std::vector<bool>();
    for (size_t i = 0; i < have.size(); ++i) needed -= have[i] ? layout.Length(static_cast<int>(i)) : 0;
    const long long free = FreeBytesBeside(localPath);
    if (free >= 0 && free < needed) {
        m_shortage = DiskShortage{needed, free, localPath};
        MIRQ_LOG(kLogWarning, L"http", localPath + L": " + std::to_wstring(needed) + L" bytes to come, " + std::to_wstring(free) +
                                           L" free on the volume; nothing asked for");
        return DownloadOutcome::DiskFull;
    }
    CPieceProgress progress(*this, part, named.file, stop);
    std::wstring wholeFrom;
    const PiecesResult fetched = FetchPieces(Session(), named.places, layout, part, stop, progress, wholeFrom);
    if (fetched != PiecesResult::Whole) progress.Finish(0);  // its hasher lets go of the part, which may go next
    switch (fetched) {
    case PiecesResult::Whole: break;
    case PiecesResult::NoRanges:
        forget();
        return Download(wholeFrom, localPath, named.file, stop);
    case PiecesResult::Stopped:
        if (!stop.ForExit()) forget();  // what arrived is kept for the next start only when the program closes
        return DownloadOutcome::Stopped;
    case PiecesResult::DiskFull:
        forget();
        m_shortage = DiskShortage{needed, std::max(0LL, FreeBytesBeside(localPath)), localPath};
        return DownloadOutcome::DiskFull;
    case PiecesResult::Failed: return DownloadOutcome::Failed;  // the checked pieces stay for the next try
    case PiecesResult::Insecure:
        forget();
        return DownloadOutcome::Insecure;
    }
    // Every piece checked; the whole is checked too (what its hasher has not reached yet, now), and used only then.
    const bool whole = progress.Finish(layout.size);
    if (progress.Stopped()) return DownloadOutcome::Stopped;
    if (!whole) {
        MIRQ_LOG(kLogWarning, L"http", localPath + L": every piece checked, but the whole differs from its checksums; removed");
        forget();
        return DownloadOutcome::ChecksumFailed;
    }
    if (!MoveIntoPlace(part, localPath)) {
        MIRQ_LOG(kLogWarning, L"http", localPath + L": complete but the target is in use; kept");
        return DownloadOutcome::TargetInUse;
    }
    DeleteFileW(map.c_str());
    MIRQ_LOG(kLogInfo, L"http", localPath + L": " + std::to_wstring(layout.size) + L" bytes in " +
                                    std::to_wstring(layout.Count()) + L" pieces, complete");
    return DownloadOutcome::Ok;
}

bool CResourceDownloader::HoldsSignedFile(int flashType, const std::wstring& path, const CStopToken& stop) {
    if (m_serviceKey.empty()) return true;  // a build without the key checks nothing it downloads either
    if (!m_catalogue->Has(m_modelId)) return false;
    ServiceAnswer named;
    const AnswerCheck check = ReadReleaseRecord(ReadBinaryFile(KeptRecordPath(path)), m_serviceKey,
                                                m_catalogue->Row(m_modelId).phonemode, flashType, named);
    bool same = false;
    if (check == AnswerCheck::Verified && RegularFileSize(path) == named.file.size) {
        CFileChecksums sums(named.file);
        same = HashFile(path, named.file.size, sums, stop) == HashResult::Done && sums.Match();
    }
    MIRQ_LOG(same ? kLogInfo : kLogWarning, L"http",
             path + (check != AnswerCheck::Verified ? L": its kept record " + std::wstring(DescribeAnswerCheck(check))
                     : same ? L": the file its root-signed record names" : L": not the file its root-signed record names"));
    return same;
}

std::wstring KeptRecordPath(const std::wstring& path) { return path + L".release"; }

namespace {

// A fetch's outcome handed to a caller that asked for it; true for Ok.
bool Told(DownloadOutcome result, DownloadOutcome* outcome) {
    if (outcome) *outcome = result;
    return result == DownloadOutcome::Ok;
}

}  // namespace

bool CResourceDownloader::FetchRom(const std::wstring& localPath, const CStopToken& stop, DownloadOutcome* outcome) {
    return Told(Fetch(kFlashTypeRom, localPath, stop), outcome);
}

bool CResourceDownloader::FetchRecovery(const std::wstring& localPath, const CStopToken& stop,
                                        DownloadOutcome* outcome) {
    return Told(Fetch(kFlashTypeRecovery, localPath, stop), outcome);
}

}  // namespace mirq
