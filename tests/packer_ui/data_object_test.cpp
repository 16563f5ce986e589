// The clipboard data object and its format enumerator, called directly.
#include <windows.h>
#include <ole2.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "packer_ui/data_object.h"

namespace {

constexpr CLIPFORMAT kText = CF_TEXT;

std::string Contents(HGLOBAL block) {
    const char* bytes = static_cast<const char*>(GlobalLock(block));
    std::string text(bytes, GlobalSize(block));
    GlobalUnlock(block);
    return text;
}

FORMATETC Format(CLIPFORMAT format, LONG index = -1, DWORD tymed = TYMED_HGLOBAL, DWORD aspect = DVASPECT_CONTENT) {
    return FORMATETC{format, nullptr, aspect, index, tymed};
}

class DataObjectTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterPackerClipboardFormats();
        object_ = new CDataObject();
    }
    void TearDown() override { object_->Release(); }
    // Three items: a text block, then "FileContents" 0 and 1.
    void StoreThree() {
        ASSERT_EQ(SetGlobalData(object_, kText, -1, GlobalFromBytes("text", 4)), S_OK);
        ASSERT_EQ(SetGlobalData(object_, g_cfFileContents, 0, GlobalFromBytes("first", 5)), S_OK);
        ASSERT_EQ(SetGlobalData(object_, g_cfFileContents, 1, GlobalFromBytes("second", 6)), S_OK);
    }
    CDataObject* object_ = nullptr;
};

TEST_F(DataObjectTest, GetDataMatchesFormatIndexAspectAndMediumType) {
    StoreThree();
    const struct {
        FORMATETC request;
        HRESULT result;
        const char* bytes;
    } cases[] = {
        {Format(kText), S_OK, "text"},
        {Format(g_cfFileContents, 1), S_OK, "second"},
        {Format(g_cfFileContents, 0, TYMED_HGLOBAL | TYMED_ISTREAM), S_OK, "first"},
        {Format(g_cfFileContents, 2), DV_E_FORMATETC, nullptr},
        {Format(g_cfFileContents, -1), DV_E_FORMATETC, nullptr},
        {Format(kText, -1, TYMED_ISTREAM), DV_E_FORMATETC, nullptr},
        {Format(kText, -1, TYMED_HGLOBAL, DVASPECT_ICON), DV_E_FORMATETC, nullptr},
    };
    for (const auto& c : cases) {
        FORMATETC request = c.request;
        STGMEDIUM medium;
        memset(&medium, 0xCC, sizeof medium);
        EXPECT_EQ(object_->GetData(&request, &medium), c.result) << c.request.cfFormat << "/" << c.request.lindex;
        if (c.bytes) {
            EXPECT_EQ(Contents(medium.hGlobal), c.bytes);
            ReleaseStgMedium(&medium);
        } else {
            EXPECT_EQ(medium.tymed, static_cast<DWORD>(TYMED_NULL));  // cleared first
        }
    }
    FORMATETC text = Format(kText);
    EXPECT_EQ(object_->GetData(nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(object_->GetData(&text, nullptr), E_INVALIDARG);
}

// Each GetData hands out a copy of its own: changing or releasing one leaves the stored item alone.
TEST_F(DataObjectTest, GetDataCopiesAreIndependent) {
    StoreThree();
    FORMATETC text = Format(kText);
    STGMEDIUM one = {}, two = {};
    ASSERT_EQ(object_->GetData(&text, &one), S_OK);
    ASSERT_EQ(object_->GetData(&text, &two), S_OK);
    EXPECT_NE(one.hGlobal, two.hGlobal);
    memcpy(GlobalLock(one.hGlobal), "TEXT", 4);
    GlobalUnlock(one.hGlobal);
    EXPECT_EQ(Contents(two.hGlobal), "text");
    ReleaseStgMedium(&one);
    ReleaseStgMedium(&two);
    STGMEDIUM three = {};
    ASSERT_EQ(object_->GetData(&text, &three), S_OK);
    EXPECT_EQ(Contents(three.hGlobal), "text");
    ReleaseStgMedium(&three);

    // Without fRelease the object keeps a copy, so the caller's medium is still the caller's.
    STGMEDIUM mine = {};
    mine.tymed = TYMED_HGLOBAL;
    mine.hGlobal = GlobalFromBytes("mine", 4);
    FORMATETC other = Format(CF_UNICODETEXT);
    ASSERT_EQ(object_->SetData(&other, &mine, FALSE), S_OK);
    ReleaseStgMedium(&mine);
    STGMEDIUM back = {};
    ASSERT_EQ(object_->GetData(&other, &back), S_OK);
    EXPECT_EQ(Contents(back.hGlobal), "mine");
    ReleaseStgMedium(&back);
}

TEST_F(DataObjectTest, QueryGetDataTellsWhatDoesNotMatch) {
    FORMATETC text = Format(kText);
    EXPECT_EQ(object_->QueryGetData(&text), DV_E_TYMED);  // nothing stored yet
    StoreThree();
    const struct {
        FORMATETC request;
        HRESULT result;
    } cases[] = {
        {Format(kText), S_OK},
        {Format(g_cfFileContents, 7), S_OK},  // the index is not compared here
        {Format(kText, -1, TYMED_HGLOBAL, DVASPECT_ICON), DV_E_DVASPECT},
        {Format(CF_BITMAP), DV_E_CLIPFORMAT},
        {Format(kText, -1, TYMED_GDI), DV_E_TYMED},
    };
    for (const auto& c : cases) {
        FORMATETC request = c.request;
        EXPECT_EQ(object_->QueryGetData(&request), c.result) << c.request.cfFormat;
    }
    EXPECT_EQ(object_->QueryGetData(nullptr), DV_E_FORMATETC);
    EXPECT_EQ(object_->GetCanonicalFormatEtc(&text, &text), DATA_S_SAMEFORMATETC);
    EXPECT_EQ(object_->EnumDAdvise(nullptr), OLE_E_ADVISENOTSUPPORTED);
}

TEST_F(DataObjectTest, TheEnumeratorFollowsTheStoringOrder) {
    StoreThree();
    IEnumFORMATETC* formats = nullptr;
    EXPECT_EQ(object_->EnumFormatEtc(DATADIR_SET, &formats), OLE_S_USEREG);
    EXPECT_EQ(formats, nullptr);
    ASSERT_EQ(object_->EnumFormatEtc(DATADIR_GET, &formats), S_OK);
    FORMATETC out[5] = {};
    ULONG fetched = 99;
    EXPECT_EQ(formats->Next(5, out, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 3u);
    EXPECT_EQ(out[0].cfFormat, kText);
    EXPECT_EQ(out[1].lindex, 0);
    EXPECT_EQ(out[2].lindex, 1);
    EXPECT_EQ(formats->Next(1, out, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);

    EXPECT_EQ(formats->Reset(), S_OK);
    EXPECT_EQ(formats->Skip(3), S_OK);
    EXPECT_EQ(formats->Next(1, out, nullptr), S_FALSE);
    formats->Reset();
    EXPECT_EQ(formats->Next(2, out, nullptr), S_FALSE);  // a null count only with one entry
    EXPECT_EQ(formats->Skip(1), S_OK);
    IEnumFORMATETC* clone = nullptr;
    EXPECT_EQ(formats->Clone(nullptr), S_FALSE);
    ASSERT_EQ(formats->Clone(&clone), S_OK);
    EXPECT_EQ(formats->Skip(5), S_FALSE);  // to the end; the clone stays where it was
    EXPECT_EQ(clone->Next(1, out, nullptr), S_OK);
    EXPECT_EQ(out[0].lindex, 0);
    clone->Release();

    // The enumerator has its own copy: items stored later are not in it.
    ASSERT_EQ(SetGlobalData(object_, kText, 5, GlobalFromBytes("x", 1)), S_OK);
    formats->Reset();
    EXPECT_EQ(formats->Skip(3), S_OK);
    EXPECT_EQ(formats->Skip(1), S_FALSE);
    formats->Release();

    void* unknown = nullptr;
    EXPECT_EQ(object_->QueryInterface(IID_IEnumFORMATETC, &unknown), E_NOINTERFACE);
    EXPECT_EQ(unknown, nullptr);
    ASSERT_EQ(object_->QueryInterface(IID_IDataObject, &unknown), S_OK);
    EXPECT_EQ(static_cast<IDataObject*>(unknown)->Release(), 1u);
}

// A zero-byte item is stored and handed out like any other; a format's target device is copied
// into the object and again into every entry the enumerator hands out, which the caller frees.
TEST_F(DataObjectTest, EmptyItemsAndTargetDevicesAreCopied) {
    ASSERT_EQ(SetGlobalData(object_, kText, -1, GlobalFromBytes(nullptr, 0)), S_OK);
    FORMATETC text = Format(kText);
    STGMEDIUM medium = {};
    ASSERT_EQ(object_->GetData(&text, &medium), S_OK);
    EXPECT_EQ(medium.tymed, static_cast<DWORD>(TYMED_HGLOBAL));
    EXPECT_EQ(GlobalSize(medium.hGlobal), 0u);
    ReleaseStgMedium(&medium);

    const DWORD deviceSize = sizeof(DVTARGETDEVICE) + 6;
    auto* device = static_cast<DVTARGETDEVICE*>(CoTaskMemAlloc(deviceSize));
    memset(device, 0x5A, deviceSize);
    device->tdSize = deviceSize;
    FORMATETC printed = Format(CF_UNICODETEXT);
    printed.ptd = device;
    STGMEDIUM mine = {};
    mine.tymed = TYMED_HGLOBAL;
    mine.hGlobal = GlobalFromBytes("p", 1);
    ASSERT_EQ(object_->SetData(&printed, &mine, TRUE), S_OK);
    IEnumFORMATETC* formats = nullptr;
    ASSERT_EQ(object_->EnumFormatEtc(DATADIR_GET, &formats), S_OK);
    FORMATETC out[2] = {};
    for (FORMATETC& entry : out) {
        formats->Reset();
        ASSERT_EQ(formats->Skip(1), S_OK);
        ASSERT_EQ(formats->Next(1, &entry, nullptr), S_OK);
        ASSERT_NE(entry.ptd, nullptr);
        EXPECT_NE(entry.ptd, device);
        EXPECT_EQ(memcmp(entry.ptd, device, deviceSize), 0);
    }
    EXPECT_NE(out[0].ptd, out[1].ptd);
    for (FORMATETC& entry : out) CoTaskMemFree(entry.ptd);
    formats->Release();
    CoTaskMemFree(device);
}

// Every medium type is copied its own way: a new handle holding the same data, a clone of a
// stream, the same storage with one more reference; the release object is shared.
TEST(DataObjectMedium, EachTypeIsCopiedItsOwnWay) {
    IStream* stream = nullptr;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &stream), S_OK);
    ULONG written = 0;
    stream->Write("stream", 6, &written);
    ILockBytes* bytes = nullptr;
    IStorage* storage = nullptr;
    ASSERT_EQ(CreateILockBytesOnHGlobal(nullptr, TRUE, &bytes), S_OK);
    ASSERT_EQ(StgCreateDocfileOnILockBytes(bytes, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &storage), S_OK);
    HDC metafileDc = CreateMetaFileW(nullptr);
    HDC enhancedDc = CreateEnhMetaFileW(nullptr, nullptr, nullptr, nullptr);
    METAFILEPICT picture = {MM_ANISOTROPIC, 10, 10, CloseMetaFile(metafileDc)};
    wchar_t name[] = L"C:\\name.txt";

    STGMEDIUM sources[7] = {};
    sources[0].tymed = TYMED_HGLOBAL;
    sources[0].hGlobal = GlobalFromBytes("global", 6);
    sources[1].tymed = TYMED_FILE;
    sources[1].lpszFileName = name;
    sources[2].tymed = TYMED_ISTREAM;
    sources[2].pstm = stream;
    sources[3].tymed = TYMED_ISTORAGE;
    sources[3].pstg = storage;
    sources[4].tymed = TYMED_GDI;
    sources[4].hBitmap = CreateBitmap(4, 4, 1, 32, nullptr);
    sources[5].tymed = TYMED_MFPICT;
    sources[5].hMetaFilePict = GlobalFromBytes(&picture, sizeof picture);
    sources[6].tymed = TYMED_ENHMF;
    sources[6].hEnhMetaFile = CloseEnhMetaFile(enhancedDc);
    sources[0].pUnkForRelease = stream;  // any object: the copy holds one more reference to it

    for (STGMEDIUM& source : sources) {
        STGMEDIUM copy = {};
        ASSERT_EQ(CopyStgMedium(source, &copy), S_OK) << source.tymed;
        EXPECT_EQ(copy.tymed, source.tymed);
        EXPECT_EQ(copy.pUnkForRelease, source.pUnkForRelease);
        switch (source.tymed) {
            case TYMED_HGLOBAL:
                EXPECT_NE(copy.hGlobal, source.hGlobal);
                EXPECT_EQ(Contents(copy.hGlobal), "global");
                GlobalFree(copy.hGlobal);
                copy.pUnkForRelease->Release();
                break;
            case TYMED_FILE:
                EXPECT_NE(copy.lpszFileName, source.lpszFileName);
                EXPECT_STREQ(copy.lpszFileName, name);
                CoTaskMemFree(copy.lpszFileName);
                break;
            case TYMED_ISTREAM: {
                EXPECT_NE(copy.pstm, stream);
                char read[6] = {};
                ULONG got = 0;
                LARGE_INTEGER start = {};
                copy.pstm->Seek(start, STREAM_SEEK_SET, nullptr);
                copy.pstm->Read(read, 6, &got);
                EXPECT_EQ(std::string(read, got), "stream");
                copy.pstm->Release();
                break;
            }
            case TYMED_ISTORAGE:
                EXPECT_EQ(copy.pstg, storage);
                EXPECT_EQ(storage->Release(), 1u);  // the reference the copy added
                break;
            case TYMED_MFPICT: {
                const auto* copied = static_cast<const METAFILEPICT*>(GlobalLock(copy.hMetaFilePict));
                ASSERT_TRUE(copied);
                EXPECT_EQ(copied->xExt, 10);
                EXPECT_NE(copied->hMF, picture.hMF);
                EXPECT_GT(GetMetaFileBitsEx(copied->hMF, 0, nullptr), 0u);
                GlobalUnlock(copy.hMetaFilePict);
                break;
            }
            default:
                EXPECT_TRUE(copy.hGlobal) << source.tymed;  // the bitmap or enhanced metafile handle
                EXPECT_NE(copy.hGlobal, source.hGlobal) << source.tymed;
                break;
        }
        if (source.tymed == TYMED_GDI || source.tymed == TYMED_MFPICT || source.tymed == TYMED_ENHMF)
            ReleaseStgMedium(&copy);
    }
    GlobalFree(sources[0].hGlobal);
    DeleteObject(sources[4].hBitmap);
    GlobalFree(sources[5].hMetaFilePict);
    DeleteMetaFile(picture.hMF);
    DeleteEnhMetaFile(sources[6].hEnhMetaFile);
    storage->Release();
    bytes->Release();
    stream->Release();
}

}  // namespace
