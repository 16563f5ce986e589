#include "unpack/decode_data.h"

#include <shlobj.h>

#include <cstring>

HGLOBAL BuildDropFilesBlock(const std::vector<std::wstring>& names) {
    // An empty list is written as two zeros: readers that look for the end of a name before the
    // end of the list would otherwise read past a single zero.
    size_t characters = names.empty() ? 2 : 1;
    for (const std::wstring& name : names) characters += name.size() + 1;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + characters * sizeof(wchar_t));
    if (!block) return nullptr;
    auto* header = static_cast<DROPFILES*>(GlobalLock(block));
    if (!header) {
        GlobalFree(block);
        return nullptr;
    }
    header->pFiles = sizeof(DROPFILES);
    header->fWide = TRUE;
    auto* cursor = reinterpret_cast<wchar_t*>(reinterpret_cast<BYTE*>(header) + sizeof(DROPFILES));
    for (const std::wstring& name : names) {
        std::memcpy(cursor, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
        cursor += name.size() + 1;
    }
    GlobalUnlock(block);
    return block;
}

DecodeData::~DecodeData() {
    if (block_) GlobalFree(block_);
}

HRESULT DecodeData::GetData(FORMATETC* format, STGMEDIUM* medium) {
    if (!format || !medium) return E_INVALIDARG;
    std::memset(medium, 0, sizeof(*medium));
    if (!(format->tymed & TYMED_HGLOBAL) || format->dwAspect != DVASPECT_CONTENT || format->cfFormat != CF_HDROP ||
        format->lindex != -1 || !block_)
        return DV_E_FORMATETC;
    medium->tymed = TYMED_HGLOBAL;
    medium->hGlobal = block_;
    medium->pUnkForRelease = nullptr;
    block_ = nullptr;  // the receiver owns it now
    return S_OK;
}
