#include "download/HttpExchange.h"

#include <chrono>
#include <condition_variable>
#include <cwchar>
#include <deque>
#include <mutex>

#include "log/logger.h"
#include "util/Thread.h"
#include "util/Utils.h"

namespace mirq {

namespace {

// A server that stops answering ends the exchange as failed after this long.
const DWORD kNetworkTimeoutMs = 30000;
const DWORD kStopPollMs = 100;
const DWORD kReadSize = 64 * 1024;
const size_t kQueuedBlocks = 16;
const wchar_t* const kHttp10 = L"HTTP/1.0";

// Set on the session and again on each request: some WinINet versions do not
// hand a session's receive timeout down to its requests.
void SetTimeouts(HINTERNET handle) {
    DWORD timeout = kNetworkTimeoutMs;
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
        InternetSetOptionW(handle, option, &timeout, sizeof(timeout));
}

// The address the request ended at, after any redirects.
std::wstring FinalUrl(HINTERNET request) {
    wchar_t buf[INTERNET_MAX_URL_LENGTH] = {};
    DWORD size = sizeof(buf) - sizeof(wchar_t);
    return InternetQueryOptionW(request, INTERNET_OPTION_URL, buf, &size) ? std::wstring(buf) : std::wstring();
}

// Not in every SDK's wininet.h.
const DWORD kClientAuthNotSetUp = 12046;      // ERROR_INTERNET_CLIENT_AUTH_NOT_SETUP
const DWORD kFortezzaLoginNeeded = 12054;     // ERROR_INTERNET_FORTEZZA_LOGIN_NEEDED
const DWORD kCertWeakSignature = 12062;       // ERROR_INTERNET_SEC_CERT_WEAK_SIGNATURE
// A proxy that asks for a client certificate, or that could not carry the secure connection.
const DWORD kClientAuthCertNeededProxy = 12187;  // ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED_PROXY
const DWORD kSecureFailureProxy = 12188;         // ERROR_INTERNET_SECURE_FAILURE_PROXY
const long kProxyAuthenticationRequired = 407;

// The proxy a session goes through, as WinINet took it from the settings; empty when direct.
std::wstring SessionProxy(HINTERNET session) {
    DWORD size = 0;
    InternetQueryOptionA(session, INTERNET_OPTION_PROXY, nullptr, &size);
    if (size == 0) return std::wstring();
    std::vector<char> buffer(size);
    if (!InternetQueryOptionA(session, INTERNET_OPTION_PROXY, buffer.data(), &size)) return std::wstring();
    const INTERNET_PROXY_INFO* info = reinterpret_cast<const INTERNET_PROXY_INFO*>(buffer.data());
    if (info->dwAccessType != INTERNET_OPEN_TYPE_PROXY || !info->lpszProxy) return std::wstring();
    return DecodeAnsi(reinterpret_cast<const char*>(info->lpszProxy));
}

std::wstring ThroughProxy(HINTERNET session) {
    const std::wstring proxy = session ? SessionProxy(session) : std::wstring();
    return proxy.empty() ? std::wstring() : L" through the proxy " + proxy;
}

}  // namespace

void AllowConnectionsPerServer(DWORD connections) {
    for (DWORD option : {INTERNET_OPTION_MAX_CONNS_PER_SERVER, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER}) {
        DWORD now = 0, size = sizeof(now);
        if (!InternetQueryOptionW(nullptr, option, &now, &size) || now < connections)
            InternetSetOptionW(nullptr, option, &connections, sizeof(connections));
    }
}

bool IsCertificateError(DWORD error) {
    switch (error) {
    case kClientAuthNotSetUp:
    case kFortezzaLoginNeeded:
    case kCertWeakSignature:
    case kClientAuthCertNeededProxy:
    case kSecureFailureProxy:
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR:
    case ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED:
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_CERT_NO_REV:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
    case ERROR_INTERNET_SEC_INVALID_CERT:
    case ERROR_INTERNET_SEC_CERT_REVOKED: return true;
    default: return false;
    }
}

SendResult SendHttpRequest(CHttpHandles& h, const HttpSession& session, const UrlParts& url, const wchar_t* verb,
                           DWORD flags, const std::wstring& headers, const std::string& body, const std::wstring& what) {
    h.session = InternetOpenW(session.agent, session.accessType, session.proxy, session.bypass, session.flags);
    if (!h.session) return SendResult::Failed;
    SetTimeouts(h.session);
    h.connection = InternetConnectW(h.session, url.host.c_str(), static_cast<INTERNET_PORT>(url.port), nullptr,
                                    nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    if (!h.connection) return SendResult::Failed;
    const wchar_t* anyType[] = {L"*/*", nullptr};
    // No SECURITY_FLAG_IGNORE_*: every certificate error ends the exchange.
    h.request = HttpOpenRequestW(h.connection, verb, url.objectPath.c_str(), kHttp10, nullptr, wcscmp(verb, L"GET") == 0 ? anyType : nullptr,
                                 flags | (url.secure ? INTERNET_FLAG_SECURE : 0), 0);
    if (!h.request) return SendResult::Failed;
    SetTimeouts(h.request);
    if (!HttpSendRequestW(h.request, headers.empty() ? nullptr : headers.c_str(), static_cast<DWORD>(headers.size()),
                          body.empty() ? nullptr : const_cast<char*>(body.data()), static_cast<DWORD>(body.size()))) {
        const DWORD error = GetLastError();
        const bool insecure = IsCertificateError(error);
        MIRQ_LOG(kLogWarning, L"http", what + ThroughProxy(h.session) +
                                           (insecure ? L": no secure connection, WinINet error " : L": no answer, WinINet error ") +
                                           std::to_wstring(error));
        return insecure ? SendResult::Insecure : SendResult::Failed;
    }
    if (QueryNumber(h.request, HTTP_QUERY_STATUS_CODE) == kProxyAuthenticationRequired)
        MIRQ_LOG(kLogWarning, L"http", what + ThroughProxy(h.session) + L": the proxy asks for credentials (407)");
    // What was asked over TLS is never taken over plain HTTP.
    const std::wstring ended = url.secure ? FinalUrl(h.request) : L"";
    if (url.secure && ended.compare(0, 8, L"https://") != 0) {
        MIRQ_LOG(kLogWarning, L"http", what + L": redirected from https to " + ended + L"; refused");
        return SendResult::Insecure;
    }
    return SendResult::Sent;
}

long long SendPlainGet(CHttpHandles& h, const std::wstring& url) {
    UrlParts parts;
    if (!SplitUrl(url, parts) && !SplitUrl(url + L"/", parts)) return -1;
    const HttpSession session{L"OTA_Service", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0};
    if (SendHttpRequest(h, session, parts, L"GET", INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI | INTERNET_FLAG_RELOAD,
                        L"", "", L"GET " + url) != SendResult::Sent)
        return -1;
    return QueryNumber(h.request, HTTP_QUERY_STATUS_CODE);
}

long long QueryNumber(HINTERNET request, DWORD info) {
    wchar_t buf[32] = {};
    DWORD size = sizeof(buf);  // 64 bytes
    if (!HttpQueryInfoW(request, info, buf, &size, nullptr)) return -1;
    return ParseLength(buf);
}

std::wstring QueryText(HINTERNET request, DWORD info) {
    wchar_t buf[256] = {};
    DWORD size = sizeof(buf) - sizeof(wchar_t);
    return HttpQueryInfoW(request, info, buf, &size, nullptr) ? std::wstring(buf) : std::wstring();
}

std::string ReadSmallBody(HINTERNET request, size_t limit) {
    std::string body;
    std::vector<char> block(4096);
    for (;;) {
        DWORD got = 0;
        if (!InternetReadFile(request, block.data(), static_cast<DWORD>(block.size()), &got)) return std::string();
        if (got == 0) break;
        body.append(block.data(), got);
        if (body.size() >= limit) break;
    }
    return body;
}

struct CBodyReader::State {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::vector<char>> blocks;
    bool ended = false, failed = false, quit = false;
    CHttpHandles handles;
    long long left = -1;  // bytes still to ask for; -1: to the end
};

CBodyReader::CBodyReader(CHttpHandles&& handles, long long limit) : m_state(std::make_shared<State>()) {
    m_state->handles = std::move(handles);
    m_state->left = limit;
    std::shared_ptr<State> state = m_state;
    CThread pump([state] { Pump(*state); });
    if (!pump.Started()) m_state->ended = m_state->failed = true;
    pump.Detach();
}

CBodyReader::~CBodyReader() {
    std::lock_guard<std::mutex> hold(m_state->lock);
    m_state->quit = true;
    m_state->changed.notify_all();
}

CBodyReader::Result CBodyReader::Next(std::vector<char>& block, const CStopToken& stop) {
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

void CBodyReader::Pump(State& state) {
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(state.lock);
            state.changed.wait(hold, [&] { return state.quit || state.blocks.size() < kQueuedBlocks; });
            if (state.quit) break;
        }
        const DWORD want = state.left >= 0 && state.left < kReadSize ? static_cast<DWORD>(state.left) : kReadSize;
        std::vector<char> block(want);
        DWORD got = 0;
        const BOOL ok = want > 0 && InternetReadFile(state.handles.request, block.data(), want, &got);
        std::lock_guard<std::mutex> hold(state.lock);
        if (want == 0 || !ok || got == 0) {  // the end, or all that was asked for came
            state.ended = true;
            state.failed = want > 0 && !ok;
            state.changed.notify_all();
            break;
        }
        block.resize(got);
        if (state.left > 0) state.left -= got;
        state.blocks.push_back(std::move(block));
        state.changed.notify_all();
    }
    // The handles close here, on this thread, when the last owner lets go.
}

}  // namespace mirq
