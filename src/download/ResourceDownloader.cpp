#include "download/ResourceDownloader.h"

#include <windows.h>
#include <wininet.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "BuildConfig.h"
#include "device/ModelTable.h"
#include "download/BackgroundFileWriter.h"
#include "download/Md5.h"
#include "download/UrlQuery.h"
#include "log/logger.h"
#include "progress/TransferStatus.h"
#include "util/Raii.h"
#include "util/Thread.h"
#include "util/Utils.h"

namespace mirq {

namespace {

const INTERNET_PORT kServicePort = 8080;
const wchar_t* const kAgent = L"OTA_Service";
const wchar_t* const kQueryPath = L"ota/ota/geturl.action";
const wchar_t* const kHttp10 = L"HTTP/1.0";
const DWORD kRequestFlags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI;
const DWORD kReportIntervalMs = 500;
const double kDefaultImageSize = 4194304.0;
const double kDefaultPackageSize = 94371840.0;
// The query answer is small; reading stops here whatever the server sends.
const size_t kMaxAnswerBytes = 64 * 1024;
// A server that stops answering ends the exchange as failed after this long.
const DWORD kNetworkTimeoutMs = 30000;
const DWORD kStopPollMs = 100;

// Closes the three handles of one exchange in request, connection, session order.
struct CHttpHandles {
    HINTERNET session = nullptr, connection = nullptr, request = nullptr;
    CHttpHandles() = default;
    CHttpHandles(const CHttpHandles&) = delete;
    CHttpHandles& operator=(CHttpHandles&& other) {
        std::swap(session, other.session);
        std::swap(connection, other.connection);
        std::swap(request, other.request);
        return *this;
    }
    ~CHttpHandles() {
        if (request) InternetCloseHandle(request);
        if (connection) InternetCloseHandle(connection);
        if (session) InternetCloseHandle(session);
    }
};

// Reads the body of an open request on a thread of its own and hands the
// blocks over. The downloading thread waits for a block at most a moment at
// a time, so a stop takes effect at once even while the server is silent (a
// blocked read is not cut short by closing its handle everywhere); the
// reading thread owns the handles and ends by itself once its read returns,
// at the latest after the receive timeout.
class CBodyReader {
public:
    enum Result { kBlock, kEnd, kFailed, kStopped };

    explicit CBodyReader(CHttpHandles&& handles) : m_state(std::make_shared<State>()) {
        m_state->handles = std::move(handles);
        std::shared_ptr<State> state = m_state;
        CThread pump([state] { Pump(*state); });
        if (!pump.Started()) m_state->ended = m_state->failed = true;
        pump.Detach();
    }
    ~CBodyReader() {
        std::lock_guard<std::mutex> hold(m_state->lock);
        m_state->quit = true;
        m_state->changed.notify_all();
    }
    CBodyReader(const CBodyReader&) = delete;
    CBodyReader& operator=(const CBodyReader&) = delete;

    // The next block of the body (swapped into `block`).
    Result Next(std::vector<char>& block, const CStopToken& stop) {
        std::unique_lock<std::mutex> hold(m_state->lock);
        for (;;) {
            if (!m_state->blocks.empty()) {
                block.swap(m_state->blocks.front());
                m_state->blocks.pop_front();
                m_state->changed.notify_all();
                return kBlock;
            }
            if (m_state->ended) return m_state->failed ? kFailed : kEnd;
            if (stop.Requested()) return kStopped;
            m_state->changed.wait_for(hold, std::chrono::milliseconds(kStopPollMs));
        }
    }

private:
    struct State {
        std::mutex lock;
        std::condition_variable changed;
        std::deque<std::vector<char>> blocks;
        bool ended = false, failed = false, quit = false;
        CHttpHandles handles;
    };

    static void Pump(State& state) {
        for (;;) {
            {
                std::unique_lock<std::mutex> hold(state.lock);
                state.changed.wait(hold, [&] { return state.quit || state.blocks.size() < kQueuedBlocks; });
                if (state.quit) break;
            }
            std::vector<char> block(kReadSize);
            DWORD got = 0;
            const BOOL ok = InternetReadFile(state.handles.request, block.data(), kReadSize, &got);
            std::lock_guard<std::mutex> hold(state.lock);
            if (!ok || got == 0) {
                state.ended = true;
                state.failed = !ok;
                state.changed.notify_all();
                break;
            }
            block.resize(got);
            state.blocks.push_back(std::move(block));
            state.changed.notify_all();
        }
        // The handles close here, on this thread, when the last owner lets go.
    }

    static const DWORD kReadSize = 64 * 1024;
    static const size_t kQueuedBlocks = 16;
    std::shared_ptr<State> m_state;
};

// A numeric header (status code, content length) read as text; -1 when
// missing or not a whole number (lengths past 2 GiB included).
long long QueryNumber(HINTERNET request, DWORD info) {
    wchar_t buf[32] = {};
    DWORD size = sizeof(buf);  // 64 bytes
    if (!HttpQueryInfoW(request, info, buf, &size, nullptr)) return -1;
    return ParseLength(buf);
}

bool EndsWithImg(const std::wstring& path) {
    return path.size() >= 4 && path.compare(path.size() - 4, 4, L".img") == 0;
}

}  // namespace

CResourceDownloader* CResourceDownloader::GetInstance() {
    static CResourceDownloader* instance = new CResourceDownloader();
    return instance;
}

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

void CResourceDownloader::ReportProgress(int percent, const std::wstring& text) { NotifyListener(percent, text); }

namespace {

// Set on the session and again on each request: some WinINet versions do not
// hand a session's receive timeout down to its requests.
void SetTimeouts(HINTERNET handle) {
    DWORD timeout = kNetworkTimeoutMs;
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
        InternetSetOptionW(handle, option, &timeout, sizeof(timeout));
}

}  // namespace

void* CResourceDownloader::OpenSession() const {
    HINTERNET session = InternetOpenW(kAgent, m_accessType, m_proxy, m_bypass, m_sessionFlags);
    if (session) SetTimeouts(session);
    return session;
}

std::wstring CResourceDownloader::QueryDownloadUrl(int flashType) {
    CHttpHandles h;
    h.session = OpenSession();
    if (!h.session) return std::wstring();
    h.connection = InternetConnectW(h.session, MIRQ_SERVICE_HOST, kServicePort, nullptr, nullptr,
                                    INTERNET_SERVICE_HTTP, 0, 0);
    if (!h.connection) return std::wstring();
    h.request = HttpOpenRequestW(h.connection, L"POST", kQueryPath, kHttp10, nullptr, nullptr, kRequestFlags, 0);
    if (!h.request) return std::wstring();
    SetTimeouts(h.request);

    std::string body = WideToOem(BuildUrlRequest(m_modelId, flashType));
    if (!HttpSendRequestW(h.request, nullptr, 0, &body[0], static_cast<DWORD>(body.size()))) return std::wstring();
    const long long status = QueryNumber(h.request, HTTP_QUERY_STATUS_CODE);
    MIRQ_LOG(status == 200 ? kLogInfo : kLogWarning, L"http",
             L"POST " + std::wstring(kQueryPath) + L" (flash type " + std::to_wstring(flashType) + L"): status " +
                 std::to_wstring(status));
    if (status != 200) return std::wstring();

    // Read to the end of the answer: it may arrive in several pieces.
    std::string answer;
    std::vector<char> block(4096);
    for (;;) {
        DWORD got = 0;
        if (!InternetReadFile(h.request, block.data(), static_cast<DWORD>(block.size()), &got)) return std::wstring();
        if (got == 0) break;
        answer.append(block.data(), got);
        if (answer.size() >= kMaxAnswerBytes) break;
    }
    // Whole: a long address must not cut off the checksum after it.
    return DecodeAnsi(answer);
}

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
    CStdFile file(_wfopen(path.c_str(), L"wb"));
    const std::string text =
        WideToUtf8(info.url) + "\n" + WideToUtf8(info.validator) + "\n" + std::to_string(info.total) + "\n";
    return file && fwrite(text.data(), 1, text.size(), file.get()) == text.size() && file.Close() == 0;
}

std::wstring QueryText(HINTERNET request, DWORD info) {
    wchar_t buf[256] = {};
    DWORD size = sizeof(buf) - sizeof(wchar_t);
    return HttpQueryInfoW(request, info, buf, &size, nullptr) ? std::wstring(buf) : std::wstring();
}

// "bytes A-B/T" of a 206: A, and T (-1 when "*"); false when it does not parse.
bool ReadContentRange(const std::wstring& text, long long& first, long long& total) {
    long long last = -1;
    wchar_t star = 0;
    if (swscanf(text.c_str(), L"bytes %lld-%lld/%lld", &first, &last, &total) == 3) return last == total - 1;
    total = -1;
    return swscanf(text.c_str(), L"bytes %lld-%lld/%lc", &first, &last, &star) == 3 && star == L'*';
}

// Feeds what is already on disk into the checksum of a resumed download.
bool HashFile(const std::wstring& path, CMd5& md5) {
    CStdFile file(_wfopen(path.c_str(), L"rb"));
    if (!file) return false;
    std::vector<char> block(1 << 20);
    for (size_t got; (got = fread(block.data(), 1, block.size(), file.get())) > 0;) md5.Update(block.data(), got);
    return !ferror(file.get());
}

// The whole part over the target; false while the target is open in another
// program (an archiver, a virus scanner).
bool MoveIntoPlace(const std::wstring& partPath, const std::wstring& localPath) {
    return MoveFileExW(partPath.c_str(), localPath.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

// The part's checksum, when the service gave one, as its bytes on disk say.
bool PartMatches(const std::wstring& partPath, const std::wstring& expectedMd5) {
    if (expectedMd5.empty()) return true;
    CMd5 md5;
    return HashFile(partPath, md5) && md5.HexDigest() == expectedMd5;
}

}  // namespace

bool CResourceDownloader::DownloadFile(const std::wstring& url, const std::wstring& localPath,
                                       const std::wstring& expectedMd5, const CStopToken& stop) {
    return Download(url, localPath, expectedMd5, stop) == DownloadOutcome::Ok;
}

DownloadOutcome CResourceDownloader::Download(const std::wstring& url, const std::wstring& localPath,
                                              const std::wstring& expectedMd5, const CStopToken& stop) {
    std::wstring host, objectPath;
    int port = 0;
    if (!SplitUrl(url, host, port, objectPath)) return DownloadOutcome::Failed;

    // Written beside the target and moved over it only when complete, so a
    // failed or stopped download leaves an earlier file as it was.
    const std::wstring partPath = localPath + L".part";
    const std::wstring infoPath = partPath + L".info";
    const CPartialInfo earlier = ReadPartialInfo(infoPath);
    long long have = earlier.url == url && !earlier.validator.empty() ? RegularFileSize(partPath) : -1;
    if (have > 0 && have == earlier.total) {
        // All of it arrived before, but the target could not be replaced
        // then: checked again and moved, nothing fetched.
        if (PartMatches(partPath, expectedMd5)) {
            const bool moved = MoveIntoPlace(partPath, localPath);
            MIRQ_LOG(moved ? kLogInfo : kLogWarning, L"http",
                     L"GET " + url + L": the whole part kept before " +
                         (moved ? L"moved into place" : L"still cannot replace the target (in use)"));
            if (moved) DeleteFileW(infoPath.c_str());
            return moved ? DownloadOutcome::Ok : DownloadOutcome::TargetInUse;
        }
        MIRQ_LOG(kLogWarning, L"http", L"GET " + url + L": the whole part kept before differs from the checksum");
    }
    if (have < 0 || (earlier.total >= 0 && have >= earlier.total)) have = 0;  // nothing left to ask for
    // Whatever is kept no longer describes what comes: start over from nothing.
    auto startOver = [&](CHttpHandles& open, const wchar_t* why) {
        MIRQ_LOG(kLogWarning, L"http", L"GET " + url + L": " + why + L"; starting over");
        {
            CHttpHandles closed;
            open = std::move(closed);  // closed here, before the new request
        }
        DeleteFileW(partPath.c_str());
        DeleteFileW(infoPath.c_str());
        return Download(url, localPath, expectedMd5, stop);
    };

    CHttpHandles h;
    h.session = OpenSession();
    if (!h.session) return DownloadOutcome::Failed;
    h.connection = InternetConnectW(h.session, host.c_str(), static_cast<INTERNET_PORT>(port), nullptr, nullptr,
                                    INTERNET_SERVICE_HTTP, 0, 0);
    if (!h.connection) return DownloadOutcome::Failed;
    const wchar_t* accept[] = {L"*/*", nullptr};
    h.request = HttpOpenRequestW(h.connection, L"GET", objectPath.c_str(), kHttp10, nullptr, accept,
                                 kRequestFlags | INTERNET_FLAG_RELOAD, 0);
    if (!h.request) return DownloadOutcome::Failed;
    SetTimeouts(h.request);
    // The rest only, and only of the same file: a changed file comes whole (200).
    const std::wstring headers =
        have > 0 ? L"Range: bytes=" + std::to_wstring(have) + L"-\r\nIf-Range: " + earlier.validator + L"\r\n" : L"";
    if (!HttpSendRequestW(h.request, headers.empty() ? nullptr : headers.c_str(), static_cast<DWORD>(headers.size()),
                          nullptr, 0)) {
        MIRQ_LOG(kLogWarning, L"http", L"GET " + url + L": no answer");
        return DownloadOutcome::Failed;
    }
    const long long status = QueryNumber(h.request, HTTP_QUERY_STATUS_CODE);
    if (status == 416 && have > 0) return startOver(h, L"the kept part is not smaller than the file");
    if (status != 200 && !(status == 206 && have > 0)) {
        MIRQ_LOG(kLogWarning, L"http", L"GET " + url + L": status " + std::to_wstring(status));
        return DownloadOutcome::Failed;
    }
    if (status == 200) have = 0;  // no range support, or the file changed: start over

    const long long declared = QueryNumber(h.request, HTTP_QUERY_CONTENT_LENGTH);
    long long total = declared > 0 ? have + declared : -1;
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
    double expected = total > 0 ? total : (EndsWithImg(localPath) ? kDefaultImageSize : kDefaultPackageSize);

    FILE* file = _wfopen(partPath.c_str(), have > 0 ? L"ab" : L"wb");
    if (!file) {
        DeleteFileW(infoPath.c_str());
        return DownloadOutcome::Failed;
    }
    // Only now does the part hold what the description says (nothing yet, or the kept start).
    if (identity.validator.empty() || !WritePartialInfo(infoPath, identity)) DeleteFileW(infoPath.c_str());
    CBackgroundFileWriter writer(file);
    CMd5 md5;
    if (!expectedMd5.empty() && have > 0 && !HashFile(partPath, md5)) have = -1;
    CBodyReader reader(std::move(h));

    std::vector<char> block;
    DWORD lastReport = GetTickCount();
    CSpeedMeter speed;
    speed.Add(lastReport, 0);
    const unsigned long long resumedAt = have > 0 ? have : 0;
    unsigned long long received = resumedAt;
    bool ok = false, stopped = false;
    for (;;) {
        const CBodyReader::Result next = have < 0 ? CBodyReader::kFailed : reader.Next(block, stop);
        if (next == CBodyReader::kEnd) {
            // A server that closes before its declared length sent a truncated file.
            ok = total <= 0 || received >= static_cast<unsigned long long>(total);
            break;
        }
        stopped = next == CBodyReader::kStopped;
        if (next != CBodyReader::kBlock) break;  // failed, timed out or stopped
        received += block.size();
        if (!expectedMd5.empty()) md5.Update(block.data(), block.size());
        if (!writer.Write(block.data(), block.size())) break;  // disk full
        const DWORD now = GetTickCount();
        if (now - lastReport > kReportIntervalMs) {
            speed.Add(now, received - resumedAt);
            int percent = static_cast<int>(received * 90.0 / expected + 10.0);
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
    if (!writer.Finish()) ok = false;
    // A file that arrived whole but differs from what the service announced is no better than a broken one.
    const bool whole = ok;
    if (ok && !expectedMd5.empty()) ok = md5.HexDigest() == expectedMd5;
    const bool checksumFailed = whole && !ok && !expectedMd5.empty();
    const bool inUse = ok && !MoveIntoPlace(partPath, localPath);
    ok = ok && !inUse;
    MIRQ_LOG(ok ? kLogInfo : kLogWarning, L"http",
             L"GET " + url + L": status " + std::to_wstring(status) + L", " + std::to_wstring(received - resumedAt) +
                 L" bytes" + (resumedAt ? L" after " + std::to_wstring(resumedAt) + L" kept" : L"") +
                 (ok ? L", complete" : inUse ? L", complete but the target is in use; kept"
                  : stopped ? (stop.ForExit() ? L", stopped by the exit; kept" : L", stopped")
                  : checksumFailed ? L", checksum differs" : L", broken off"));
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
    const std::wstring answer = QueryDownloadUrl(flashType);
    const std::wstring url = ExtractFlashUrl(answer);
    DownloadOutcome outcome = DownloadOutcome::Failed;
    if (url.compare(0, 7, L"http://") == 0) {
        ReportProgress(10, L"");
        if (stop.Requested()) return DownloadOutcome::Stopped;
        outcome = Download(url, localPath, ExtractMd5(answer), stop);
    }
    ReportProgress(100, L"");
    return outcome;
}

bool CResourceDownloader::FetchRom(const std::wstring& localPath, const CStopToken& stop, DownloadOutcome* outcome) {
    const DownloadOutcome result = Fetch(kFlashTypeRom, localPath, stop);
    if (outcome) *outcome = result;
    return result == DownloadOutcome::Ok;
}

bool CResourceDownloader::FetchRecovery(const std::wstring& localPath, const CStopToken& stop) {
    return Fetch(kFlashTypeRecovery, localPath, stop) == DownloadOutcome::Ok;
}

}  // namespace mirq
