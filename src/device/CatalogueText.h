#pragma once
// The catalogue of models as the service signs it, and the rules a row must
// keep. The program reads what it fetched by these rules, and the service's
// operator tool refuses a catalogue by the same ones before signing it.
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
    std::wstring until;                  // YYYY-MM-DD: in use to the end of that day (UTC); empty: the built-in rows
    std::vector<std::wstring> withdrawn;  // SHA-256 (lower-case hex) of online keys no answer may be signed with
    std::vector<CatalogueModel> models;
};

// Reads a catalogue's text (the signed bytes, the root left open before
// <signature>): one <version>, one <until> (a date), any number of
// <withdrawn> (64 hex digits each), then <model> rows of one phonemode, one or
// more brand, one device (letters, digits, '.', '_', '-'), one name, one
// recovery (flash_image|keep) and one script (extendedcommand|openrecoveryscript);
// other elements skipped. False, and nothing taken, when anything breaks these
// rules; `why` then says which rule, and of which row.
bool ReadCatalogueText(const std::wstring& text, Catalogue& out, std::wstring* why = nullptr);
// Text a catalogue may name a phone by: not empty, no control character, no blank at either end.
bool IsPlainText(const std::wstring& text);

}  // namespace mirq
