// The list pages' clipboard object: an in-memory IDataObject that keeps whatever formats and
// mediums it is given, in order, and hands out copies; and the packer's clipboard formats.
#pragma once
#include <windows.h>
#include <objidl.h>

// Formats registered by name (FileContents, FileGroupDescriptor, FileGroupDescriptorW,
// Preferred DropEffect); 0 until RegisterPackerClipboardFormats ran.
extern CLIPFORMAT g_cfFileContents;
extern CLIPFORMAT g_cfFileGroupDescriptor;
extern CLIPFORMAT g_cfFileGroupDescriptorW;
extern CLIPFORMAT g_cfPreferredDropEffect;

// Registers the four formats; the ids are the same on every call.
void RegisterPackerClipboardFormats();

// A copy of a medium as GetData hands it out: HGLOBAL, file name, stream, storage, bitmap and
// metafiles each duplicated their own way; the release object gets one more reference.
HRESULT CopyStgMedium(const STGMEDIUM& source, STGMEDIUM* copy);

class CDataObject final : public IDataObject {
public:
    CDataObject() = default;
    CDataObject(const CDataObject&) = delete;
    CDataObject& operator=(const CDataObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetData(FORMATETC* format, STGMEDIUM* medium) override;
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* format) override;
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) override;
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) override;
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD direction, IEnumFORMATETC** enumerator) override;
    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }

private:
    ~CDataObject();

    ULONG references_ = 1;
    FORMATETC* formats_ = nullptr;
    STGMEDIUM* mediums_ = nullptr;
    DWORD count_ = 0;
};

class CEnumFormatEtc final : public IEnumFORMATETC {
public:
    // Null when the copy of the entries cannot be made.
    static CEnumFormatEtc* Create(const FORMATETC* formats, DWORD count, DWORD position);
    CEnumFormatEtc(const CEnumFormatEtc&) = delete;
    CEnumFormatEtc& operator=(const CEnumFormatEtc&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE Next(ULONG wanted, FORMATETC* out, ULONG* fetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumFORMATETC** out) override;

private:
    CEnumFormatEtc() = default;
    ~CEnumFormatEtc();

    ULONG references_ = 1;
    FORMATETC* formats_ = nullptr;
    DWORD position_ = 0;
    DWORD count_ = 0;
};

// Stores a global block in the object as format/index with the content aspect; the object owns
// the block afterwards, and on failure it is freed here.
HRESULT SetGlobalData(IDataObject* object, CLIPFORMAT format, LONG index, HGLOBAL block);
// A movable, zeroed global block holding a copy of the bytes; null when it cannot be allocated.
HGLOBAL GlobalFromBytes(const void* bytes, SIZE_T size);
