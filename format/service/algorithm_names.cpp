#include "format/service/algorithm_names.h"

#include "format/algorithms.h"
#include "format/service/resources.h"

std::wstring AlgorithmDisplayName(ALG_ID algId, const char* dottedOid) {
    uint32_t id = alg::DisplayStringId(algId, dottedOid);
    if (id) {
        std::wstring text = LoadText(id);
        if (text.size() > 64) text.resize(64);
        if (!text.empty()) return text;
    }
    if (!dottedOid || !*dottedOid) return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, dottedOid, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(n, L'\0');
    MultiByteToWideChar(CP_ACP, 0, dottedOid, -1, &wide[0], n);
    wide.resize(n - 1);
    return wide;
}

std::wstring GcmDisplayName(ALG_ID algId) {
    constexpr uint32_t kGcmNames = 790;  // AES-128, -192, -256 GCM
    switch (algId) {
    case alg::kAes128: return LoadText(kGcmNames);
    case alg::kAes192: return LoadText(kGcmNames + 1);
    case alg::kAes256: return LoadText(kGcmNames + 2);
    default: return std::wstring();
    }
}
