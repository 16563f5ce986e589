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

}  // namespace
