#include "packer_ui/data_object.h"

#include <cstring>
#include <new>

CLIPFORMAT g_cfFileContents = 0;
CLIPFORMAT g_cfFileGroupDescriptor = 0;
CLIPFORMAT g_cfFileGroupDescriptorW = 0;
CLIPFORMAT g_cfPreferredDropEffect = 0;

void RegisterPackerClipboardFormats() {
    g_cfFileContents = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"FileContents"));
    g_cfFileGroupDescriptor = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"FileGroupDescriptor"));
    g_cfFileGroupDescriptorW = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"FileGroupDescriptorW"));
    g_cfPreferredDropEffect = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"Preferred DropEffect"));
}

namespace {

HGLOBAL CopyGlobal(HGLOBAL source) {
    const SIZE_T size = GlobalSize(source);
    // An empty block cannot be locked; its copy is another empty block.
    if (size == 0) return GlobalFromBytes(nullptr, 0);
    const void* from = GlobalLock(source);
    if (!from) return nullptr;
    HGLOBAL copy = GlobalFromBytes(from, size);
    GlobalUnlock(source);
    return copy;
}

wchar_t* CopyFileName(const wchar_t* name) {
    if (!name) return nullptr;
    const size_t bytes = (wcslen(name) + 1) * sizeof(wchar_t);
    auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
    if (copy) memcpy(copy, name, bytes);
    return copy;
}

// A metafile picture is a global METAFILEPICT holding the metafile: both are copied.
HGLOBAL CopyMetafilePicture(HGLOBAL source) {
    const auto* picture = static_cast<const METAFILEPICT*>(GlobalLock(source));
    if (!picture) return nullptr;
    METAFILEPICT copied = *picture;
    GlobalUnlock(source);
    copied.hMF = CopyMetaFileW(copied.hMF, nullptr);
    if (!copied.hMF) return nullptr;
    HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(METAFILEPICT));
    auto* target = copy ? static_cast<METAFILEPICT*>(GlobalLock(copy)) : nullptr;
    if (!target) {
        if (copy) GlobalFree(copy);
        DeleteMetaFile(copied.hMF);
        return nullptr;
    }
    *target = copied;
    GlobalUnlock(copy);
    return copy;
}

// The target device a format names lives in task memory of its own: whoever holds the format
// entry holds a copy and frees it.
HRESULT CopyTargetDevice(const DVTARGETDEVICE* source, DVTARGETDEVICE** copy) {
    *copy = nullptr;
    if (!source) return S_OK;
    *copy = static_cast<DVTARGETDEVICE*>(CoTaskMemAlloc(source->tdSize));
    if (!*copy) return E_OUTOFMEMORY;
    memcpy(*copy, source, source->tdSize);
    return S_OK;
}

void FreeTargetDevices(FORMATETC* formats, DWORD count) {
    for (DWORD i = 0; i < count; ++i) {
        CoTaskMemFree(formats[i].ptd);
        formats[i].ptd = nullptr;
    }
}

template <typename T>
bool Grow(T*& array, DWORD count) {
    T* bigger = new (std::nothrow) T[count + 1];
    if (!bigger) return false;
    if (count) memcpy(bigger, array, count * sizeof(T));
    delete[] array;
    array = bigger;
    return true;
}

}  // namespace

HRESULT CopyStgMedium(const STGMEDIUM& source, STGMEDIUM* copy) {
    *copy = STGMEDIUM{};
    copy->tymed = source.tymed;
    bool failed = false;
    switch (source.tymed) {
        case TYMED_HGLOBAL:
            failed = !(copy->hGlobal = CopyGlobal(source.hGlobal));
            break;
        case TYMED_FILE:
            failed = source.lpszFileName && !(copy->lpszFileName = CopyFileName(source.lpszFileName));
            break;
        case TYMED_ISTREAM:
            if (source.pstm && FAILED(source.pstm->Clone(&copy->pstm))) failed = true;
            break;
        case TYMED_ISTORAGE:
            copy->pstg = source.pstg;
            if (copy->pstg) copy->pstg->AddRef();
            break;
        case TYMED_GDI:
            copy->hBitmap = static_cast<HBITMAP>(CopyImage(source.hBitmap, IMAGE_BITMAP, 0, 0, 0));
            break;
        case TYMED_MFPICT:
            copy->hMetaFilePict = CopyMetafilePicture(source.hMetaFilePict);
            break;
        case TYMED_ENHMF:
            copy->hEnhMetaFile = CopyEnhMetaFileW(source.hEnhMetaFile, nullptr);
            break;
        default:
            break;
    }
    if (failed) {
        *copy = STGMEDIUM{};
        return E_OUTOFMEMORY;
    }
    copy->pUnkForRelease = source.pUnkForRelease;
    if (copy->pUnkForRelease) copy->pUnkForRelease->AddRef();
    return S_OK;
}

// CDataObject ------------------------------------------------------------------------------------

CDataObject::~CDataObject() {
    for (DWORD i = 0; i < count_; ++i) ReleaseStgMedium(&mediums_[i]);
    if (formats_) FreeTargetDevices(formats_, count_);
    delete[] formats_;
    delete[] mediums_;
}

HRESULT CDataObject::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDataObject) {
        *object = static_cast<IDataObject*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG CDataObject::AddRef() { return ++references_; }

ULONG CDataObject::Release() {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
}

HRESULT CDataObject::GetData(FORMATETC* format, STGMEDIUM* medium) {
    if (!format || !medium) return E_INVALIDARG;
    *medium = STGMEDIUM{};
    for (DWORD i = 0; i < count_; ++i) {
        const FORMATETC& stored = formats_[i];
        if ((mediums_[i].tymed & format->tymed) && stored.dwAspect == format->dwAspect &&
            stored.cfFormat == format->cfFormat && stored.lindex == format->lindex)
            return CopyStgMedium(mediums_[i], medium);
    }
    return DV_E_FORMATETC;
}

HRESULT CDataObject::QueryGetData(FORMATETC* format) {
    if (!format) return DV_E_FORMATETC;
    if (!(format->dwAspect & DVASPECT_CONTENT)) return DV_E_DVASPECT;
    if (count_ == 0) return DV_E_TYMED;
    bool lastTypeMatched = false;
    for (DWORD i = 0; i < count_; ++i) {
        lastTypeMatched = (mediums_[i].tymed & format->tymed) != 0;
        if (lastTypeMatched && formats_[i].cfFormat == format->cfFormat) return S_OK;
    }
    return lastTypeMatched ? DV_E_CLIPFORMAT : DV_E_TYMED;
}

HRESULT CDataObject::GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) {
    if (out) out->ptd = nullptr;
    return DATA_S_SAMEFORMATETC;
}

HRESULT CDataObject::SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) {
    if (!format || !medium) return E_INVALIDARG;
    // The caller keeps its own target device.
    FORMATETC entry = *format;
    if (FAILED(CopyTargetDevice(format->ptd, &entry.ptd))) return E_OUTOFMEMORY;
    STGMEDIUM kept = *medium;
    if (!release && FAILED(CopyStgMedium(*medium, &kept))) {
        CoTaskMemFree(entry.ptd);
        return E_OUTOFMEMORY;
    }
    // Both arrays grow before anything is stored, so a failure leaves the object as it was.
    if (!Grow(formats_, count_) || !Grow(mediums_, count_)) {
        if (!release) ReleaseStgMedium(&kept);
        CoTaskMemFree(entry.ptd);
        return E_OUTOFMEMORY;
    }
    formats_[count_] = entry;
    mediums_[count_] = kept;
    ++count_;
    return S_OK;
}

HRESULT CDataObject::EnumFormatEtc(DWORD direction, IEnumFORMATETC** enumerator) {
    if (!enumerator) return E_INVALIDARG;
    *enumerator = nullptr;
    if (direction != DATADIR_GET) return OLE_S_USEREG;
    *enumerator = CEnumFormatEtc::Create(formats_, count_, 0);
    return *enumerator ? S_OK : E_OUTOFMEMORY;
}

// CEnumFormatEtc ---------------------------------------------------------------------------------

CEnumFormatEtc* CEnumFormatEtc::Create(const FORMATETC* formats, DWORD count, DWORD position) {
    auto* enumerator = new (std::nothrow) CEnumFormatEtc();
    if (!enumerator) return nullptr;
    if (count) {
        enumerator->formats_ = new (std::nothrow) FORMATETC[count];
        if (!enumerator->formats_) {
            delete enumerator;
            return nullptr;
        }
        memcpy(enumerator->formats_, formats, count * sizeof(FORMATETC));
        DWORD copied = 0;
        while (copied < count &&
               SUCCEEDED(CopyTargetDevice(formats[copied].ptd, &enumerator->formats_[copied].ptd)))
            ++copied;
        if (copied < count) {
            FreeTargetDevices(enumerator->formats_, copied);
            delete[] enumerator->formats_;
            delete enumerator;
            return nullptr;
        }
    }
    enumerator->count_ = count;
    enumerator->position_ = position;
    return enumerator;
}

CEnumFormatEtc::~CEnumFormatEtc() {
    if (formats_) FreeTargetDevices(formats_, count_);
    delete[] formats_;
}

HRESULT CEnumFormatEtc::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IEnumFORMATETC) {
        *object = static_cast<IEnumFORMATETC*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG CEnumFormatEtc::AddRef() { return ++references_; }

ULONG CEnumFormatEtc::Release() {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
}

HRESULT CEnumFormatEtc::Next(ULONG wanted, FORMATETC* out, ULONG* fetched) {
    if (fetched) *fetched = 0;
    if (wanted == 0 || !out || position_ >= count_) return S_FALSE;
    if (!fetched && wanted != 1) return S_FALSE;
    ULONG copied = 0;
    // Each entry handed out carries a target device of its own, which the caller frees.
    while (copied < wanted && position_ < count_) {
        out[copied] = formats_[position_];
        if (FAILED(CopyTargetDevice(formats_[position_].ptd, &out[copied].ptd))) {
            FreeTargetDevices(out, copied);
            position_ -= copied;
            return E_OUTOFMEMORY;
        }
        ++copied;
        ++position_;
    }
    if (fetched) *fetched = copied;
    return copied == wanted ? S_OK : S_FALSE;
}

HRESULT CEnumFormatEtc::Skip(ULONG count) {
    if (static_cast<ULONGLONG>(position_) + count <= count_) {
        position_ += count;
        return S_OK;
    }
    position_ = count_;
    return S_FALSE;
}

HRESULT CEnumFormatEtc::Reset() {
    position_ = 0;
    return S_OK;
}

HRESULT CEnumFormatEtc::Clone(IEnumFORMATETC** out) {
    if (!out) return S_FALSE;
    *out = Create(formats_, count_, position_);
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT SetGlobalData(IDataObject* object, CLIPFORMAT format, LONG index, HGLOBAL block) {
    if (!block) return E_OUTOFMEMORY;
    FORMATETC entry = {format, nullptr, DVASPECT_CONTENT, index, TYMED_HGLOBAL};
    STGMEDIUM medium = {};
    medium.tymed = TYMED_HGLOBAL;
    medium.hGlobal = block;
    HRESULT result = object->SetData(&entry, &medium, TRUE);
    if (FAILED(result)) GlobalFree(block);
    return result;
}

HGLOBAL GlobalFromBytes(const void* bytes, SIZE_T size) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
    if (!block || size == 0) return block;  // an empty block is valid but cannot be locked
    void* target = GlobalLock(block);
    if (!target) {
        GlobalFree(block);
        return nullptr;
    }
    if (size) memcpy(target, bytes, size);
    GlobalUnlock(block);
    return block;
}
