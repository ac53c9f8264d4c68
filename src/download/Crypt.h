#pragma once
// The system's crypto (CryptoAPI) with SHA-256, which Windows XP SP3 and
// later have; the headers offer it only to builds for those versions.
#include <windows.h>
#include <wincrypt.h>

#ifndef CALG_SHA_256
#define CALG_SHA_256 (ALG_CLASS_HASH | ALG_TYPE_ANY | 12)  // ALG_SID_SHA_256
#endif
