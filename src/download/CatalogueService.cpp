#include "download/CatalogueService.h"

#include <wininet.h>

#include <atomic>
#include <memory>

#include "download/HttpExchange.h"
#include "download/ResourceDownloader.h"
#include "download/ServiceAnswer.h"
#include "log/logger.h"
#include "util/Raii.h"
#include "util/Thread.h"
#include "util/Utils.h"

namespace mirq {

namespace {

const size_t kMaxCatalogueBytes = 16 << 20;  // as the service's catalogue command allows

// The kept copy, verified again now: its bytes and what they say (version
// -1 when there is nothing usable).
struct Kept {
    std::string bytes;
    Catalogue catalogue;
};

Kept ReadKept(const std::string& key) {
    Kept kept;
    const std::string bytes = ReadBinaryFile(KeptCataloguePath(), kMaxCatalogueBytes);
    std::wstring why;
    if (!bytes.empty() && VerifyCatalogue(bytes, key, kept.catalogue, why)) {
        kept.bytes = bytes;
        return kept;
    }
    if (!bytes.empty()) MIRQ_LOG(kLogWarning, L"catalogue", L"the kept catalogue " + why + L"; not used");
    kept.catalogue = Catalogue();
    kept.catalogue.version = -1;
    return kept;
}

void Tell(ICatalogueListener& listener, const Catalogue& catalogue, const wchar_t* from) {
    MIRQ_LOG(kLogInfo, L"catalogue", std::wstring(L"version ") + std::to_wstring(catalogue.version) + L" " + from +
                                         L" in use: " + std::to_wstring(catalogue.models.size()) + L" models");
    listener.OnCatalogueArrived(catalogue);
}

// The fetch of this run.
struct Arrival {
    CWinHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};  // set once it has ended
    std::atomic<bool> started{false};
};
Arrival& TheArrival() {
    static Arrival* arrival = new Arrival();  // never deleted: the fetch may outlive the statics
    return *arrival;
}

}  // namespace

std::wstring CatalogueUrl(const std::wstring& serviceUrl) {
    const size_t slash = serviceUrl.rfind(L'/');
    return slash == std::wstring::npos ? std::wstring() : serviceUrl.substr(0, slash + 1) + L"models.action";
}

std::wstring KeptCataloguePath() { return GetDataDirectory() + L"\\models.xml"; }

bool VerifyCatalogue(const std::string& document, const std::string& key, Catalogue& out, std::wstring& why) {
    std::wstring text;
    const AnswerCheck check = VerifySignedText(document, key, text);
    if (check != AnswerCheck::Verified) {
        why = DescribeAnswerCheck(check);
        return false;
    }
    std::wstring broken;
    if (!ReadCatalogueText(text, out, &broken)) {
        why = L"refused: " + broken;
        return false;
    }
    return true;
}

bool FetchCatalogue(const std::wstring& serviceUrl, const std::string& key, long long inUseVersion,
                    ICatalogueListener& listener, const CStopToken& stop) {
    if (key.empty()) return false;
    // The kept copy first, when it is not older than the one in use (the
    // built-in rows are version 0: a kept catalogue of version 0 counts).
    const Kept kept = ReadKept(key);
    const long long keptVersion = kept.catalogue.version;
    const bool keptUsed = keptVersion >= 0 && keptVersion >= inUseVersion;
    if (keptUsed) Tell(listener, kept.catalogue, L"kept");
    const std::wstring url = CatalogueUrl(serviceUrl);
    if (stop.Requested() || url.empty()) return keptUsed;
    CHttpHandles h;
    const long long status = SendPlainGet(h, url);
    if (status < 0) return keptUsed;
    const std::string bytes = status == 200 ? ReadSmallBody(h.request, kMaxCatalogueBytes) : std::string();
    Catalogue fetched;
    std::wstring why;
    if (bytes.empty() || !VerifyCatalogue(bytes, key, fetched, why)) {
        MIRQ_LOG(kLogWarning, L"catalogue", L"GET " + url + L": status " + std::to_wstring(status) +
                                                (bytes.empty() ? L", nothing read" : L", " + why) + L"; ignored");
        return keptUsed;
    }
    // Never back: an older catalogue, or another of the same version, is a replay or a mistake.
    if (fetched.version < keptVersion || (fetched.version == keptVersion && bytes != kept.bytes)) {
        MIRQ_LOG(kLogWarning, L"catalogue", L"version " + std::to_wstring(fetched.version) + L" fetched, " +
                                                std::to_wstring(keptVersion) + L" kept: " +
                                                (fetched.version < keptVersion ? L"older" : L"the same version with other bytes") +
                                                L"; ignored");
        return keptUsed;
    }
    // Written beside the kept copy and moved over it: a cut write leaves the
    // older one, and with it the floor no replay may go below.
    unsigned long error = 0;
    if (fetched.version > keptVersion && !ReplaceFileWith(KeptCataloguePath(), bytes, &error))
        MIRQ_LOG(kLogWarning, L"catalogue", L"the catalogue could not be kept in " + KeptCataloguePath() + L" (error " +
                                                std::to_wstring(error) + L")");
    if (fetched.version == keptVersion && keptUsed) return true;  // the very one told already
    Tell(listener, fetched, L"fetched");
    return true;
}

void StartCatalogueFetch(ICatalogueListener& listener, long long inUseVersion) {
    Arrival& arrival = TheArrival();
    if (arrival.started.exchange(true)) return;
    CResourceDownloader* downloader = CResourceDownloader::GetInstance();
    const std::wstring url = downloader->ServiceUrl();
    const std::string key = downloader->ServiceKey();
    ICatalogueListener* told = &listener;
    CThread fetch([told, url, key, inUseVersion] {
        FetchCatalogue(url, key, inUseVersion, *told, CStopToken::Never());
        SetEvent(TheArrival().done.get());
    });
    if (!fetch.Started()) SetEvent(arrival.done.get());
    fetch.Detach();
}

bool CatalogueFetchRunning() {
    Arrival& arrival = TheArrival();
    return arrival.started && WaitForSingleObject(arrival.done.get(), 0) == WAIT_TIMEOUT;
}

void WaitForCatalogue(unsigned long limitMs, const CStopToken& stop) {
    Arrival& arrival = TheArrival();
    if (!arrival.started) return;
    HANDLE both[2] = {arrival.done.get(), stop.Event()};
    WaitForMultipleObjects(2, both, FALSE, limitMs);
}

}  // namespace mirq
