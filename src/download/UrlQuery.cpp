#include "download/UrlQuery.h"

#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>

#include "BuildConfig.h"
#include "download/HttpExchange.h"
#include "download/SignedRecords.h"
#include "device/ModelCatalogue.h"
#include "util/XmlDocument.h"
#include "progress/TransferStatus.h"
#include "util/Utils.h"

namespace mirq {

std::wstring BuildUrlRequest(const CModelRows& catalogue, int modelId, int flashType, const std::wstring& nonce) {
    if (!catalogue.Has(modelId)) return std::wstring();
    return std::wstring(L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>") + L"<root><phonemode>" + EscapeXmlText(catalogue.Row(modelId).phonemode) +
           L"</phonemode><flashtype>" + std::to_wstring(flashType) + L"</flashtype>" +
           (nonce.empty() ? L"" : L"<nonce>" + nonce + L"</nonce>") + L"</root>";
}

std::wstring BuildUrlRequest(int modelId, int flashType) { return BuildUrlRequest(*BuiltInRows(), modelId, flashType); }

std::wstring ExtractFlashUrl(const std::wstring& answer) {
    const std::wstring open = L"<flashurl>", close = L"</flashurl>";
    size_t start = answer.find(open);
    if (start == std::wstring::npos) return std::wstring();
    size_t end = answer.find(close);
    if (end == std::wstring::npos) return std::wstring();
    if (end <= start + open.size()) return std::wstring();
    return answer.substr(start + open.size(), end - start - open.size());
}

namespace {

// The text of the first <name>...</name> of an answer taken unverified.
bool ElementText(const std::wstring& text, const std::wstring& name, std::wstring& value) {
    const std::wstring open = L"<" + name + L">", close = L"</" + name + L">";
    const size_t start = text.find(open);
    if (start == std::wstring::npos) return false;
    const size_t end = text.find(close, start + open.size());
    if (end == std::wstring::npos) return false;
    value = text.substr(start + open.size(), end - start - open.size());
    return true;
}

}  // namespace

std::wstring ExtractMd5(const std::wstring& answer) {
    std::wstring value;
    return ElementText(answer, L"md5", value) ? HexDigits(value, 32) : std::wstring();
}

std::wstring FormatDownloadStatus(double bytesPerSecond, double secondsLeft) {
    return FormatTransferStatus(L"ROM下载中...", bytesPerSecond, secondsLeft);
}

long long ParseLength(const std::wstring& text) { return ParseDigits(Trimmed(text), 18); }

bool SplitUrl(const std::wstring& url, UrlParts& parts) {
    if (url.empty()) return false;
    parts.secure = url.compare(0, 8, L"https://") == 0;
    size_t scheme = url.find(L"http://");
    size_t hostStart = parts.secure ? 8 : scheme == std::wstring::npos ? 0 : scheme + 7;
    size_t slash = url.find(L'/', hostStart);
    if (slash == std::wstring::npos) return false;
    std::wstring hostPort = url.substr(hostStart, slash - hostStart);
    size_t colon = hostPort.find(L':');
    if (colon != std::wstring::npos) {
        const long long port = ParseDigits(hostPort.substr(colon + 1), 5);
        if (port < 1 || port > 65535) return false;
        parts.port = static_cast<int>(port);
        parts.host = hostPort.substr(0, colon);
    } else {
        parts.host = hostPort;
        parts.port = parts.secure ? 443 : 80;
    }
    parts.objectPath = url.substr(slash + 1);
    return !parts.objectPath.empty();
}

bool SplitUrl(const std::wstring& url, std::wstring& host, int& port, std::wstring& objectPath) {
    UrlParts parts;
    if (!SplitUrl(url, parts)) return false;
    host = parts.host;
    port = parts.port;
    objectPath = parts.objectPath;
    return true;
}

bool IsFetchableUrl(const std::wstring& url) {
    return url.compare(0, 7, L"http://") == 0 || url.compare(0, 8, L"https://") == 0;
}

std::wstring RecoveryImagePath(const CModelRows& catalogue, int modelId) {
    std::wstring folder = GetDataDirectory() + L"\\temp\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder + L"recovery_" + catalogue.Row(modelId).device + L".img";
}

std::wstring RecoveryImagePath(int modelId) { return RecoveryImagePath(*BuiltInRows(), modelId); }

bool CheckServiceConnection(const std::wstring& url) {
    // A request like the downloads' own, through the system's proxy settings:
    // a connection check of its own would go direct, where only the proxy
    // lets traffic out. Any answer means the network is there: a web site
    // that answers 503 says nothing of the download service behind it.
    CHttpHandles h;
    return SendPlainGet(h, url) > 0;
}

bool CheckServiceConnection() { return CheckServiceConnection(BuiltInHomeUrl()); }

}  // namespace mirq
