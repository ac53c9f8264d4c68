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

namespace mirq {

enum class RecoveryKind { FlashImage, Keep };  // the service's image written with flash_image, or the phone's own
enum class ScriptKind { ExtendedCommand, OpenRecoveryScript };

struct CatalogueModel {
    std::wstring phonemode;            // sent to the service as <phonemode>
    std::vector<std::wstring> brands;  // ro.product.brand, compared without regard to ASCII case
    std::wstring device;               // ro.product.device; also names the local recovery image
    std::wstring name;                 // shown in the main dialog
    RecoveryKind recovery = RecoveryKind::FlashImage;
    ScriptKind script = ScriptKind::ExtendedCommand;
    bool operator==(const CatalogueModel& o) const {
        return phonemode == o.phonemode && brands == o.brands && device == o.device && name == o.name &&
               recovery == o.recovery && script == o.script;
    }
};

struct Catalogue {
    long long version = 0;
    std::vector<CatalogueModel> models;
};

// Reads a catalogue's text (the signed bytes, the root left open before
// <signature>): one <version>, then <model> rows of one phonemode, one or
// more brand, one device (letters, digits, '.', '_', '-'), one name, one
// recovery (flash_image|keep) and one script (extendedcommand|openrecoveryscript);
// other elements skipped. False, and nothing taken, when anything breaks these rules.
bool ReadCatalogueText(const std::wstring& text, Catalogue& out);
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
