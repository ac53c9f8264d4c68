#pragma once
// The four supported phones and how a phone is matched to one of them.
#include <string>

namespace mirq {

struct ModelRow {
    const wchar_t* queryName;    // sent to the download service as <phonemode>
    const wchar_t* brandKey;     // ro.product.brand, compared without regard to case
    const wchar_t* brandKey2;    // a second accepted brand, or null
    const wchar_t* deviceKey;    // ro.product.device; also names the local recovery image
    const wchar_t* displayName;  // shown in the main dialog
};

constexpr int kModelCount = 4;
extern const ModelRow kModelTable[kModelCount];

constexpr int kFlashTypeRom = 1;
constexpr int kFlashTypeRecovery = 2;

// Whether a model id names a row of the phones the program knows: 0 to 3
// the table above, more from the service's catalogue (device/ModelCatalogue.h).
bool IsSupportedModelId(int modelId);

// Model id 0..3 of the row whose brand and device both match, else -1. The
// model value takes no part.
int FindModelId(std::wstring model, std::wstring brand, std::wstring device);

}  // namespace mirq
