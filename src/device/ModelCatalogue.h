#pragma once
// The phones the program can flash: the four built-in rows, or a catalogue
// the service signed (kept in the data folder, fetched anew at each start).
// A model id names one row for the life of the process: rows are only ever
// added, and a newer catalogue chooses which of them count, in its order, so
// that a task that identified a phone keeps meaning the same row whatever
// arrives meanwhile.
#include <mutex>
#include <string>
#include <vector>

#include "device/CatalogueText.h"

namespace mirq {

// The four built-in rows (version 0).
Catalogue BuiltInCatalogue();

class CModelCatalogue {
public:
    static CModelCatalogue* GetInstance();

    // The rows that count from now on, and the version they came with.
    void Use(const Catalogue& catalogue);
    long long Version() const;
    // The first counting row whose brands and device match (ASCII case
    // ignored, blanks trimmed); -1 when none does.
    int Find(const std::wstring& brand, const std::wstring& device) const;
    // Whether a model id names a row; the row itself (a copy).
    bool Has(int id) const;
    CatalogueModel Row(int id) const;

    CModelCatalogue(const CModelCatalogue&) = delete;
    CModelCatalogue& operator=(const CModelCatalogue&) = delete;

private:
    CModelCatalogue();
    mutable std::mutex m_lock;
    std::vector<CatalogueModel> m_rows;  // every row ever used; ids index it
    std::vector<int> m_counting;         // the current catalogue's rows, in its order
    long long m_version = 0;
};

}  // namespace mirq
