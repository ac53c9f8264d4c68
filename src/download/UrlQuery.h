#pragma once
// Pure pieces of the download service: the request document, reading the
// address out of the answer, splitting an address, the local recovery image.
#include <string>

namespace mirq {

class CModelRows;

// The query for a model of the catalogue (empty for an id it has no row
// for), sent as UTF-8: it says so, and the phonemode may be any text the
// catalogue holds. With a nonce, the query carries it (<nonce>, before
// </root>): the signed answer must name it back.
std::wstring BuildUrlRequest(const CModelRows& catalogue, int modelId, int flashType, const std::wstring& nonce = L"");
// The same for the built-in phones.
std::wstring BuildUrlRequest(int modelId, int flashType);
std::wstring ExtractFlashUrl(const std::wstring& answer);
// The checksum the service may send beside the address: <md5> with 32 hex
// digits, returned in lower case; empty when absent or malformed.
std::wstring ExtractMd5(const std::wstring& answer);
// An address split for WinINet: "https://" is fetched over TLS (port 443
// unless named), anything else as plain HTTP (port 80 unless named).
struct UrlParts {
    std::wstring host, objectPath;
    int port = 80;
    bool secure = false;
};
bool SplitUrl(const std::wstring& url, UrlParts& parts);
// The same as host, port and object path.
bool SplitUrl(const std::wstring& url, std::wstring& host, int& port, std::wstring& objectPath);
// Whether an address is one the program fetches (http or https).
bool IsFetchableUrl(const std::wstring& url);
// <data directory>\temp\recovery_<device>.img of the model's row; creates the temp folder.
std::wstring RecoveryImagePath(const CModelRows& catalogue, int modelId);
std::wstring RecoveryImagePath(int modelId);  // a built-in phone's
// The service's address and the project's home page, as the program was built.
const wchar_t* BuiltInServiceUrl();
const wchar_t* BuiltInHomeUrl();
// True when the project home page answers at all (any HTTP status).
bool CheckServiceConnection();
bool CheckServiceConnection(const std::wstring& url);
// The progress text of a download: "ROM下载中... 2.4 MB/s，剩余约 1分05秒"; no
// time left when it is not known (secondsLeft < 0), no speed before one is measured.
std::wstring FormatDownloadStatus(double bytesPerSecond, double secondsLeft);
// A length of any size (HTTP's Content-Length): digits only, at most 18; -1 otherwise.
long long ParseLength(const std::wstring& text);

}  // namespace mirq
