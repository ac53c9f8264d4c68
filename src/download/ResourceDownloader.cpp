#include "download/ResourceDownloader.h"

#include <windows.h>
#include <wininet.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "BuildConfig.h"
#include "app/TaskStateTable.h"
#include "device/ModelTable.h"
#include "download/BackgroundFileWriter.h"
#include "download/Md5.h"
#include "download/UrlQuery.h"
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

// A numeric header (status code, content length) read as text; -1 when missing.
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
        std::thread([state] { Pump(*state); }).detach();
    }
    ~CBodyReader() {
        std::lock_guard<std::mutex> hold(m_state->lock);
        m_state->quit = true;
        m_state->changed.notify_all();
    }
    CBodyReader(const CBodyReader&) = delete;
    CBodyReader& operator=(const CBodyReader&) = delete;

    // The next block of the body (swapped into `block`).
    Result Next(std::vector<char>& block) {
        std::unique_lock<std::mutex> hold(m_state->lock);
        for (;;) {
            if (!m_state->blocks.empty()) {
                block.swap(m_state->blocks.front());
                m_state->blocks.pop_front();
                m_state->changed.notify_all();
                return kBlock;
            }
            if (m_state->ended) return m_state->failed ? kFailed : kEnd;
            if (StopRequested()) return kStopped;
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

int QueryNumber(HINTERNET request, DWORD info) {
    wchar_t buf[32] = {};
    DWORD size = sizeof(buf);  // 64 bytes
    if (!HttpQueryInfoW(request, info, buf, &size, nullptr)) return -1;
    return ParseDecimal(buf);
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
    if (QueryNumber(h.request, HTTP_QUERY_STATUS_CODE) != 200) return std::wstring();

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
    return AnsiToWide(answer);
}

bool CResourceDownloader::DownloadFile(const std::wstring& url, const std::wstring& localPath,
                                       const std::wstring& expectedMd5) {
    std::wstring host, objectPath;
    int port = 0;
    if (!SplitUrl(url, host, port, objectPath)) return false;

    CHttpHandles h;
    h.session = OpenSession();
    if (!h.session) return false;
    h.connection = InternetConnectW(h.session, host.c_str(), static_cast<INTERNET_PORT>(port), nullptr, nullptr,
                                    INTERNET_SERVICE_HTTP, 0, 0);
    if (!h.connection) return false;
    const wchar_t* accept[] = {L"*/*", nullptr};
    h.request = HttpOpenRequestW(h.connection, L"GET", objectPath.c_str(), kHttp10, nullptr, accept, kRequestFlags, 0);
    if (!h.request) return false;
    SetTimeouts(h.request);
    if (!HttpSendRequestW(h.request, nullptr, 0, nullptr, 0)) return false;
    if (QueryNumber(h.request, HTTP_QUERY_STATUS_CODE) != 200) return false;

    const int declared = QueryNumber(h.request, HTTP_QUERY_CONTENT_LENGTH);
    double expected = declared > 0 ? declared : (EndsWithImg(localPath) ? kDefaultImageSize : kDefaultPackageSize);

    // Written beside the target and moved over it only when complete, so a
    // failed or stopped download leaves an earlier file as it was.
    const std::wstring partPath = localPath + L".part";
    FILE* file = _wfopen(partPath.c_str(), L"wb");
    if (!file) return false;
    CBackgroundFileWriter writer(file);
    CMd5 md5;
    CBodyReader reader(std::move(h));

    std::vector<char> block;
    DWORD lastReport = GetTickCount();
    unsigned long long received = 0;
    bool ok = false;
    for (;;) {
        const CBodyReader::Result next = reader.Next(block);
        if (next == CBodyReader::kEnd) {
            // A server that closes before its declared length sent a truncated file.
            ok = declared <= 0 || received >= static_cast<unsigned long long>(declared);
            break;
        }
        if (next != CBodyReader::kBlock) break;  // failed, timed out or stopped
        received += block.size();
        if (!expectedMd5.empty()) md5.Update(block.data(), block.size());
        if (!writer.Write(block.data(), block.size())) break;  // disk full
        if (GetTickCount() - lastReport > kReportIntervalMs) {
            int percent = static_cast<int>(received * 90.0 / expected + 10.0);
            ReportProgress(percent > 100 ? 100 : percent, L"");
            lastReport = GetTickCount();
            if (StopRequested()) break;
        }
    }
    if (!writer.Finish()) ok = false;
    // A file that arrived whole but differs from what the service announced is no better than a broken one.
    if (ok && !expectedMd5.empty()) ok = md5.HexDigest() == expectedMd5;
    if (ok) ok = MoveFileExW(partPath.c_str(), localPath.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
    if (!ok) DeleteFileW(partPath.c_str());
    return ok;
}

bool CResourceDownloader::Fetch(int flashType, const std::wstring& localPath) {
    if (!IsSupportedModelId(m_modelId)) return false;
    ReportProgress(0, L"ROM下载中...");
    if (StopRequested()) return false;
    const std::wstring answer = QueryDownloadUrl(flashType);
    const std::wstring url = ExtractFlashUrl(answer);
    bool ok = false;
    if (url.compare(0, 7, L"http://") == 0) {
        ReportProgress(10, L"");
        if (StopRequested()) return false;
        ok = DownloadFile(url, localPath, ExtractMd5(answer));
    }
    ReportProgress(100, L"");
    return ok;
}

bool CResourceDownloader::FetchRom(const std::wstring& localPath) { return Fetch(kFlashTypeRom, localPath); }

bool CResourceDownloader::FetchRecovery(const std::wstring& localPath) {
    return Fetch(kFlashTypeRecovery, localPath);
}

}  // namespace mirq
