#pragma once
// The service's catalogue of models: fetched at start on a thread of its
// own, verified with the service's key like its answers, kept in the data
// folder and never rolled back. A build without the key uses the built-in
// rows alone.
#include <string>

#include "device/CatalogueText.h"
#include "util/StopToken.h"

namespace mirq {

// The catalogue's address: the query's with its last segment replaced by "models.action".
std::wstring CatalogueUrl(const std::wstring& serviceUrl);
// Where the verified catalogue is kept (its bytes with the signature).
std::wstring KeptCataloguePath();

// A catalogue document verified with the key and read; false, with the
// reason for the log, when it is unsigned, signed by another key or breaks
// the catalogue's rules.
bool VerifyCatalogue(const std::string& document, const std::string& key, Catalogue& out, std::wstring& why);

// Told of a catalogue to use instead of the one in use, on the fetch's thread.
class ICatalogueListener {
public:
    virtual void OnCatalogueArrived(const Catalogue& catalogue) = 0;

protected:
    ~ICatalogueListener() = default;
};

// Tells the listener of the kept catalogue when it verifies and its version
// is at least the one in use. Then fetches the service's: one of a lower
// version than the kept one, of the same version but other bytes, unsigned
// or signed by another key is ignored (logged); a newer one is kept and
// told. True when the listener was told.
bool FetchCatalogue(const std::wstring& serviceUrl, const std::string& key, long long inUseVersion,
                    ICatalogueListener& listener, const CStopToken& stop);

// The fetch of this run, from the downloader's service: started once, at
// launch; the first device check waits for it a moment. The listener must
// outlive the program's run (the window's does).
void StartCatalogueFetch(ICatalogueListener& listener, long long inUseVersion);
// Whether the fetch of this run was started and has not ended.
bool CatalogueFetchRunning();
// Waits until the fetch has ended, at most `limitMs` or until the stop;
// at once when none was started.
void WaitForCatalogue(unsigned long limitMs, const CStopToken& stop);

}  // namespace mirq
