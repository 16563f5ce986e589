// A CF_HDROP list of file names as a data object: how a caller without a shell selection (the
// rundll entry, the command-line front end) hands envelope names to the unpack driver.
#pragma once
#include <windows.h>
#include <objidl.h>

#include <string>
#include <vector>

// A movable global block in the DROPFILES layout: header (pFiles 20, fWide 1), then each name as
// UTF-16 with its zero, then one more zero. Null when the allocation fails.
HGLOBAL BuildDropFilesBlock(const std::vector<std::wstring>& names);

// The data object lives in its owner's frame and counts no references. GetData hands the block
// over once (the receiver frees it with ReleaseStgMedium); every other method returns E_NOTIMPL.
class DecodeData : public IDataObject {
public:
    explicit DecodeData(HGLOBAL block) : block_(block) {}
    ~DecodeData();
    DecodeData(const DecodeData&) = delete;
    DecodeData& operator=(const DecodeData&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOTIMPL; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 0; }
    ULONG STDMETHODCALLTYPE Release() override { return 0; }
    HRESULT STDMETHODCALLTYPE GetData(FORMATETC* format, STGMEDIUM* medium) override;
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }

private:
    HGLOBAL block_;
};
