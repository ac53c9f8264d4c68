#pragma once
// The phones the program can flash, as a value: the four built-in rows, or a
// catalogue the service signed. A task takes the catalogue in use when it
// starts (an immutable snapshot, shared) and passes it down with the stop
// and the serial; nothing below the window asks anyone else for it.
//
// A model id names one row for the life of the process: a newer catalogue
// keeps the ids of the rows it shares with the one before and adds the rest
// after them, so the built-in phones stay 0 to 3 and an id a task took keeps
// meaning the same row whatever arrives meanwhile.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/CatalogueText.h"

namespace mirq {

constexpr int kFlashTypeRom = 1;
constexpr int kFlashTypeRecovery = 2;

class CModelRows {
public:
    // The rows of `catalogue`, with the ids `previous` gave them (null: none before).
    static std::shared_ptr<const CModelRows> Make(const Catalogue& catalogue, const CModelRows* previous = nullptr);

    long long Version() const { return m_version; }
    // The catalogue's last day (empty for the built-in rows), and whether it withdrew an online key (by its SHA-256).
    const std::wstring& Until() const { return m_until; }
    bool Withdrew(const std::wstring& keySha256) const;
    // The first counting row whose brands and device match (ASCII case
    // ignored, blanks trimmed); -1 when none does.
    int Find(const std::wstring& brand, const std::wstring& device) const;
    // Whether a model id names a row of this catalogue; the row (an empty one when not).
    bool Has(int id) const;
    const CatalogueModel& Row(int id) const;

private:
    std::vector<CatalogueModel> m_rows;  // every row seen so far; ids index it
    std::vector<int> m_counting;         // this catalogue's rows, in its order
    long long m_version = 0;
    std::wstring m_until;
    std::vector<std::wstring> m_withdrawn;
};
using CatalogueRef = std::shared_ptr<const CModelRows>;

// The four built-in rows (version 0): ZTE Blade, Nexus One, Nexus S, HTC Desire.
Catalogue BuiltInCatalogue();
CatalogueRef BuiltInRows();

// The catalogue a window's tasks take, replaced when a newer one arrives;
// read and replaced from any thread. Once the catalogue's last day has
// passed (by the PC's date, UTC) its rows no longer count: the built-in rows
// serve, with the keys it withdrew, which stay withdrawn.
class CCatalogueHolder {
public:
    CatalogueRef Current() const;
    // The rows of `catalogue` from now on (ids kept); the new snapshot.
    CatalogueRef Use(const Catalogue& catalogue);
    // The last day of the catalogue held when it has passed; empty while it counts.
    std::wstring Ended() const;

private:
    mutable std::mutex m_lock;
    CatalogueRef m_current = BuiltInRows();
    CatalogueRef m_afterEnd = BuiltInRows();  // the built-in rows with the held catalogue's withdrawn keys
};

}  // namespace mirq
