#pragma once
// One HTTP exchange through WinINet: the request sent over a session of its
// own (TLS for https addresses, no certificate error ignored), its headers,
// and its body read on a thread of its own.
#include <windows.h>
#include <wininet.h>

#include <memory>
#include <string>
#include <vector>

#include "download/UrlQuery.h"
#include "util/StopToken.h"

namespace mirq {

// The three handles of one exchange, closed in request, connection, session order.
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

// How the session is opened (the downloader's settings).
struct HttpSession {
    const wchar_t* agent;
    DWORD accessType;
    const wchar_t* proxy;
    const wchar_t* bypass;
    DWORD flags;
};

// Sent: the answer's headers are there. Insecure: a certificate WinINet
// does not trust (unknown CA, wrong name, expired, revoked, unchecked) or an
// https address redirected to http; nothing of the answer is read.
enum class SendResult { Sent, Failed, Insecure };

// Opens the handles into `h` and sends the request; `what` names it in the log.
SendResult SendHttpRequest(CHttpHandles& h, const HttpSession& session, const UrlParts& url, const wchar_t* verb,
                           DWORD flags, const std::wstring& headers, const std::string& body, const std::wstring& what);
// A plain GET through the system's proxy settings, as the downloads go: the
// answer's status, or -1 when nothing answered. An address that ends at its
// host (a home page) asks for "/".
long long SendPlainGet(CHttpHandles& h, const std::wstring& url);
// Whether a WinINet error says the connection could not be trusted.
bool IsCertificateError(DWORD error);
// Lets WinINet hold this many connections to one server at once, for this process (older versions allow
// 2 to an HTTP/1.1 server and 4 to a 1.0 one, and queue the rest); a higher limit is kept.
void AllowConnectionsPerServer(DWORD connections);

// A numeric header (status code, content length); -1 when missing or not a whole number.
long long QueryNumber(HINTERNET request, DWORD info);
std::wstring QueryText(HINTERNET request, DWORD info);
// A small body read to its end (it may come in several pieces), at most
// `limit` bytes; empty when a read fails.
std::string ReadSmallBody(HINTERNET request, size_t limit);

// Reads the body of an open request on a thread of its own and hands the
// blocks over. The downloading thread waits for a block at most a moment at
// a time, so a stop takes effect at once even while the server is silent (a
// blocked read is not cut short by closing its handle everywhere); the
// reading thread owns the handles and ends by itself once its read returns,
// at the latest after the receive timeout.
class CBodyReader {
public:
    enum Result { kBlock, kEnd, kFailed, kStopped };

    // With a limit, no more than that many bytes are asked for: WinINet fills
    // a read whole before it returns, so a server that declares more than the
    // file and holds the connection would keep the last bytes back.
    explicit CBodyReader(CHttpHandles&& handles, long long limit = -1);
    ~CBodyReader();
    CBodyReader(const CBodyReader&) = delete;
    CBodyReader& operator=(const CBodyReader&) = delete;

    // The next block of the body (swapped into `block`).
    Result Next(std::vector<char>& block, const CStopToken& stop);

private:
    struct State;
    static void Pump(State& state);
    std::shared_ptr<State> m_state;
};

}  // namespace mirq
