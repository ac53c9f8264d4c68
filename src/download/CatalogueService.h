#pragma once
// The service's catalogue of models: fetched at start on a thread of its
// own, verified with the service's key like its answers, kept in the data
// folder and never rolled back. A build without the key uses the built-in
// rows alone.
#include <windows.h>

#include <string>

#include "device/ModelCatalogue.h"
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

// Takes the kept catalogue into use when it verifies and is newer than the
// one in use. Then fetches the service's: one of a lower version than the
// kept one, of the same version but other bytes, unsigned or signed by
// another key is ignored (logged); a newer one is kept and used. True when
// the catalogue in use changed.
bool FetchCatalogue(const std::wstring& serviceUrl, const std::string& key, const CStopToken& stop);

// The fetch of this run: started once, at launch; the first device check
// waits for it a moment. `window` is told with WM_CATALOGUE_CHANGED when
// the catalogue in use changed (null: nobody is told).
const UINT WM_CATALOGUE_CHANGED = WM_USER + 140;
void StartCatalogueFetch(HWND window);
// Waits until the fetch has ended, at most `limitMs` or until the stop;
// at once when none was started.
void WaitForCatalogue(unsigned long limitMs, const CStopToken& stop);

}  // namespace mirq
