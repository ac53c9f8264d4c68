#include "download/ResourceDownloader.h"

#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "BuildConfig.h"
#include "device/ModelTable.h"
#include "download/BackgroundFileWriter.h"
#include "download/Digest.h"
#include "download/HttpExchange.h"
#include "download/ServiceAnswer.h"
#include "download/UrlQuery.h"
#include "log/logger.h"
#include "progress/TransferStatus.h"
#include "util/Raii.h"
#include "util/Utils.h"

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

CResourceDownloader::CResourceDownloader() : m_serviceUrl(MIRQ_SERVICE_URL), m_serviceKey(BuiltInServiceKey()) {}

CResourceDownloader::~CResourceDownloader() { Reset(); }

void CResourceDownloader::Configure(wchar_t* proxy, wchar_t* bypass, unsigned long flags, int modelId) {
    if (IsSupportedModelId(m_modelId)) {
        delete[] proxy;
        delete[] bypass;
        return;
    }
    delete[] m_bypass;
    delete[] m_proxy;
    m_bypass = bypass;
    m_proxy = proxy;
    m_sessionFlags = flags;
    m_accessType = proxy ? INTERNET_OPEN_TYPE_PROXY : INTERNET_OPEN_TYPE_DIRECT;
    m_modelId = modelId;
}

void CResourceDownloader::Reset() {
    m_modelId = -1;
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
    const SendResult sent = SendHttpRequest(h, Session(), service, L"POST", kRequestFlags, L"",
                                            WideToOem(BuildUrlRequest(m_modelId, flashType, asked)), what);
    if (insecure) *insecure = sent == SendResult::Insecure;
    if (sent != SendResult::Sent) return std::string();
    const long long status = QueryNumber(h.request, HTTP_QUERY_STATUS_CODE);
    MIRQ_LOG(status == 200 ? kLogInfo : kLogWarning, L"http", what + L": status " + std::to_wstring(status));
    if (status != 200) return std::string();

    // Read to the end of the answer: it may arrive in several pieces.
    std::string answer;
    std::vector<char> block(4096);
    for (;;) {
        DWORD got = 0;
        if (!InternetReadFile(h.request, block.data(), static_cast<DWORD>(block.size()), &got)) return std::string();
        if (got == 0) break;
        answer.append(block.data(), got);
        if (answer.size() >= kMaxAnswerBytes) break;
    }
    return answer;
}

// Whole: a long address must not cut off what comes after it.
std::wstring CResourceDownloader::QueryDownloadUrl(int flashType) { return DecodeAnsi(QueryAnswer(flashType)); }

namespace {

// What arrived of an interrupted download stays beside the target ("<target>.part"),
// with what identifies the remote file it came from ("<target>.part.info":
// the address, a strong validator of the file (ETag, else Last-Modified) and
// its whole size), so that the next download of the same file asks only for the rest.
struct CPartialInfo {
    std::wstring url, validator;
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
HashResult HashFile(const std::wstring& path, long long length, CFileChecksums& sums, const CStopToken& stop) {
    CStdFile file(_wfopen(path.c_str(), L"rb"));
    if (!file) return HashResult::Failed;
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

}  // namespace

DownloadOutcome CResourceDownloader::Download(const std::wstring& url, const std::wstring& localPath,
                                              const ExpectedFile& expected, const CStopToken& stop) {
    UrlParts address;
    if (!SplitUrl(url, address)) return DownloadOutcome::Failed;

    // Written beside the target and moved over it only when complete and
    // checked, so a failed or stopped download leaves an earlier file as it was.
    const std::wstring partPath = localPath + L".part";
    const std::wstring infoPath = partPath + L".info";
    const CPartialInfo earlier = ReadPartialInfo(infoPath);
    long long have = earlier.url == url && !earlier.validator.empty() ? RegularFileSize(partPath) : -1;
    auto forgetPart = [&] {
        DeleteFileW(partPath.c_str());
        DeleteFileW(infoPath.c_str());
    };
    auto dropPart = [&](const wchar_t* why) {
        MIRQ_LOG(kLogWarning, L"http", L"GET " + url + L": the kept part " + why + L"; removed");
        forgetPart();
        have = -1;
    };
    // A part that cannot be the start of the announced file is not kept.
    if (have >= 0 && expected.size >= 0 && (have > expected.size || (earlier.total >= 0 && earlier.total != expected.size)))
        dropPart(L"is not of the announced length");
    if (have > 0 && have == earlier.total) {
        // All of it arrived before, but the target could not be replaced
        // then: checked again and moved, nothing fetched.
        CFileChecksums sums(expected);
        const HashResult hashed = HashFile(partPath, have, sums, stop);
        if (hashed == HashResult::Stopped) return DownloadOutcome::Stopped;
        if (hashed == HashResult::Done && sums.Match()) {
            const bool moved = MoveIntoPlace(partPath, localPath);
            MIRQ_LOG(moved ? kLogInfo : kLogWarning, L"http",
                     L"GET " + url + L": the whole part kept before " +
                         (moved ? L"moved into place" : L"still cannot replace the target (in use)"));
            if (moved) DeleteFileW(infoPath.c_str());
            return moved ? DownloadOutcome::Ok : DownloadOutcome::TargetInUse;
        }
        dropPart(L"differs from the checksums");
    }
    if (have < 0 || (earlier.total >= 0 && have >= earlier.total)) have = 0;  // nothing left to ask for
    // The kept start goes into the checksums before the request: a long hash
    // must not keep a server waiting.
    std::unique_ptr<CFileChecksums> sums(new CFileChecksums(expected));
    if (have > 0 && sums->Any()) {
        const HashResult hashed = HashFile(partPath, have, *sums, stop);
        if (hashed == HashResult::Stopped) return DownloadOutcome::Stopped;
        if (hashed == HashResult::Failed) have = 0;
    }
    // Whatever is kept no longer describes what comes: start over from nothing.
    auto startOver = [&](CHttpHandles& open, const wchar_t* why) {
        MIRQ_LOG(kLogWarning, L"http", L"GET " + url + L": " + why + L"; starting over");
        {
            CHttpHandles closed;
            open = std::move(closed);  // closed here, before the new request
        }
        forgetPart();
        return Download(url, localPath, expected, stop);
    };

    CHttpHandles h;
    // The rest only, and only of the same file: a changed file comes whole (200).
    const std::wstring headers =
        have > 0 ? L"Range: bytes=" + std::to_wstring(have) + L"-\r\nIf-Range: " + earlier.validator + L"\r\n" : L"";
    const SendResult sent =
        SendHttpRequest(h, Session(), address, L"GET", kRequestFlags | INTERNET_FLAG_RELOAD, headers, "", L"GET " + url);
    if (sent == SendResult::Insecure) return DownloadOutcome::Insecure;
    if (sent != SendResult::Sent) return DownloadOutcome::Failed;
    const long long status = QueryNumber(h.request, HTTP_QUERY_STATUS_CODE);
    if (status == 416 && have > 0) return startOver(h, L"the kept part is not smaller than the file");
    if (status != 200 && !(status == 206 && have > 0)) {
        MIRQ_LOG(kLogWarning, L"http", L"GET " + url + L": status " + std::to_wstring(status));
        return DownloadOutcome::Failed;
    }
    if (status == 200 && have > 0) {  // no range support, or the file changed: start over
        have = 0;
        sums.reset(new CFileChecksums(expected));
    }

    const long long declared = QueryNumber(h.request, HTTP_QUERY_CONTENT_LENGTH);
    // The announced length is the file's: a server that declares or sends
    // more is not read past it.
    long long total = expected.size >= 0 ? expected.size : declared > 0 ? have + declared : -1;
    // A weak ETag says only that two files are alike: no validator for a range.
    CPartialInfo identity{url, QueryText(h.request, HTTP_QUERY_ETAG), total};
    if (identity.validator.compare(0, 2, L"W/") == 0) identity.validator.clear();
    if (identity.validator.empty()) identity.validator = QueryText(h.request, HTTP_QUERY_LAST_MODIFIED);
    if (status == 206) {
        // Only the rest of the very file kept: a range elsewhere, of another
        // length or of another file (a proxy that ignores If-Range) would
        // splice two files together.
        long long first = -1, whole = -1;
        if (!ReadContentRange(QueryText(h.request, HTTP_QUERY_CONTENT_RANGE), first, whole) || first != have ||
            (whole >= 0 && earlier.total >= 0 && whole != earlier.total) || (whole >= 0 && total >= 0 && whole != total))
            return startOver(h, L"the range sent is not the rest of the kept part");
        if (identity.validator != earlier.validator) return startOver(h, L"the range sent is of another file");
        if (whole >= 0) total = identity.total = whole;
    }
    const double expectedBytes = total > 0 ? total : (EndsWithImg(localPath) ? kDefaultImageSize : kDefaultPackageSize);

    FILE* file = _wfopen(partPath.c_str(), have > 0 ? L"ab" : L"wb");
    if (!file) {
        DeleteFileW(infoPath.c_str());
        return DownloadOutcome::Failed;
    }
    // Only now does the part hold what the description says (nothing yet, or the kept start).
    if (identity.validator.empty() || !WritePartialInfo(infoPath, identity)) DeleteFileW(infoPath.c_str());
    // The checksums are computed beside the writes, each on a thread of its own: off the reading path.
    CBackgroundFileWriter writer(file, sums->Observers());
    CBodyReader reader(std::move(h));

    std::vector<char> block;
    DWORD lastReport = GetTickCount();
    CSpeedMeter speed;
    speed.Add(lastReport, 0);
    const unsigned long long resumedAt = have;
    unsigned long long received = resumedAt;
    bool whole = false, stopped = false;
    for (;;) {
        const CBodyReader::Result next = reader.Next(block, stop);
        if (next == CBodyReader::kEnd) {
            // A server that closes before the length it declared or was announced with sent a truncated file.
            whole = total <= 0 || received >= static_cast<unsigned long long>(total);
            break;
        }
        stopped = next == CBodyReader::kStopped;
        if (next != CBodyReader::kBlock) break;  // failed, timed out or stopped
        bool complete = false;
        if (expected.size >= 0 && received + block.size() >= static_cast<unsigned long long>(expected.size)) {
            if (received + block.size() > static_cast<unsigned long long>(expected.size))
                MIRQ_LOG(kLogWarning, L"http", L"GET " + url + L": the server sends more than the announced " +
                                                   std::to_wstring(expected.size) + L" bytes; cut off there");
            block.resize(static_cast<size_t>(expected.size - received));
            complete = true;
        }
        received += block.size();
        if (!writer.Write(block.data(), block.size())) break;  // disk full
        if (complete) {
            whole = true;
            break;
        }
        const DWORD now = GetTickCount();
        if (now - lastReport > kReportIntervalMs) {
            speed.Add(now, received - resumedAt);
            int percent = static_cast<int>(received * 90.0 / expectedBytes + 10.0);
            const double rate = speed.BytesPerSecond();
            const double left = total > 0 && rate > 0 ? (total - static_cast<long long>(received)) / rate : -1;
            ReportProgress(percent > 100 ? 100 : percent, FormatDownloadStatus(rate, left));
            lastReport = now;
            if (stop.Requested()) {
                stopped = true;
                break;
            }
        }
    }
    if (!writer.Finish()) whole = false;
    // A file that arrived whole but is not the one announced is no better than a broken one.
    const bool checksumFailed = whole && !sums->Match();
    bool ok = whole && !checksumFailed;
    const bool inUse = ok && !MoveIntoPlace(partPath, localPath);
    ok = ok && !inUse;
    MIRQ_LOG(ok ? kLogInfo : kLogWarning, L"http",
             L"GET " + url + L": status " + std::to_wstring(status) + L", " + std::to_wstring(received - resumedAt) +
                 L" bytes" + (resumedAt ? L" after " + std::to_wstring(resumedAt) + L" kept" : L"") +
                 (ok ? L", complete" : inUse ? L", complete but the target is in use; kept"
                  : stopped ? (stop.ForExit() ? L", stopped by the exit; kept" : L", stopped")
                  : checksumFailed ? L", differs from its checksums; removed" : L", broken off"));
    // What arrived is kept for the next attempt when the link broke, when the
    // program is closing, and when all of it is here but the target could not
    // be replaced; a stop by the user or a wrong checksum leave nothing behind.
    if (inUse && identity.total < 0) {
        identity.total = static_cast<long long>(received);  // its whole length, now known
        if (!WritePartialInfo(infoPath, identity)) DeleteFileW(infoPath.c_str());
    }
    const bool keep = !ok && (inUse || (stopped ? stop.ForExit() : !whole)) && PathExists(infoPath);
    if (!ok && !keep) DeleteFileW(partPath.c_str());
    if (!keep) DeleteFileW(infoPath.c_str());
    if (ok) return DownloadOutcome::Ok;
    if (inUse) return DownloadOutcome::TargetInUse;
    if (checksumFailed) return DownloadOutcome::ChecksumFailed;
    return stopped ? DownloadOutcome::Stopped : DownloadOutcome::Failed;
}

DownloadOutcome CResourceDownloader::Fetch(int flashType, const std::wstring& localPath, const CStopToken& stop) {
    if (!IsSupportedModelId(m_modelId)) return DownloadOutcome::Failed;
    ReportProgress(0, L"ROM下载中...");
    if (stop.Requested()) return DownloadOutcome::Stopped;
    bool insecure = false;
    AnswerAsked asked{kModelTable[m_modelId].queryName, flashType, L""};
    const std::string answer = QueryAnswer(flashType, &insecure, &asked.nonce);
    ServiceAnswer named;
    const AnswerCheck check = ReadServiceAnswer(answer, m_serviceKey, asked, named);
    const bool refused = !answer.empty() && check != AnswerCheck::Verified && check != AnswerCheck::NotVerified;
    if (!answer.empty())
        MIRQ_LOG(refused ? kLogWarning : kLogInfo, L"http", L"the answer for flash type " + std::to_wstring(flashType) +
                                                                 L": " + DescribeAnswerCheck(check));
    DownloadOutcome outcome = insecure ? DownloadOutcome::Insecure
                              : refused ? DownloadOutcome::AnswerRefused
                                        : DownloadOutcome::Failed;
    if (outcome == DownloadOutcome::Failed && IsFetchableUrl(named.url)) {
        ReportProgress(10, L"");
        if (stop.Requested()) return DownloadOutcome::Stopped;
        outcome = Download(named.url, localPath, named.file, stop);
    }
    // The image's answer stays beside it: it is checked against it again before every flash.
    if (outcome == DownloadOutcome::Ok && flashType == kFlashTypeRecovery && check == AnswerCheck::Verified &&
        !WriteBinaryFile(KeptAnswerPath(localPath), answer))
        MIRQ_LOG(kLogWarning, L"http", L"the answer for " + localPath + L" could not be kept");
    ReportProgress(100, L"");
    return outcome;
}

bool CResourceDownloader::HoldsSignedFile(int flashType, const std::wstring& path, const CStopToken& stop) {
    if (m_serviceKey.empty()) return true;  // a build without the key checks nothing it downloads either
    if (!IsSupportedModelId(m_modelId)) return false;
    ServiceAnswer named;
    const AnswerCheck check = ReadServiceAnswer(ReadBinaryFile(KeptAnswerPath(path)), m_serviceKey,
                                                AnswerAsked{kModelTable[m_modelId].queryName, flashType, L"", true}, named);
    bool same = false;
    if (check == AnswerCheck::Verified && RegularFileSize(path) == named.file.size) {
        CFileChecksums sums(named.file);
        same = HashFile(path, named.file.size, sums, stop) == HashResult::Done && sums.Match();
    }
    MIRQ_LOG(same ? kLogInfo : kLogWarning, L"http",
             path + (check != AnswerCheck::Verified ? L": its kept answer " + std::wstring(DescribeAnswerCheck(check))
                     : same ? L": the file its signed answer names" : L": not the file its signed answer names"));
    return same;
}

std::wstring KeptAnswerPath(const std::wstring& path) { return path + L".answer"; }

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
