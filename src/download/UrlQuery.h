#pragma once
// Pure pieces of the download service: the request document, reading the
// address out of the answer, splitting an address, the local recovery image.
#include <string>

namespace mirq {

std::wstring BuildUrlRequest(int modelId, int flashType);
std::wstring ExtractFlashUrl(const std::wstring& answer);
// The checksum the service may send beside the address: <md5> with 32 hex
// digits, returned in lower case; empty when absent or malformed.
std::wstring ExtractMd5(const std::wstring& answer);
bool SplitUrl(const std::wstring& url, std::wstring& host, int& port, std::wstring& objectPath);
// base\temp\recovery_<deviceKey>.img; creates the temp folder.
std::wstring RecoveryImagePath(int modelId);
// True when the project home page can be reached.
bool CheckServiceConnection();
bool CheckServiceConnection(const std::wstring& url);
// A decimal number as a standard string-to-integer conversion reads it.
int ParseDecimal(const std::wstring& text);

}  // namespace mirq
