// The list pages of the packer window: files, encryption certificates and signing certificates.
// A page owns its items; while its window is closed they live in a plain array (items/count).
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "packer_ui/tab_page.h"

// Private messages a page posts to the packer window.
constexpr UINT UM_STATUS_REFRESH = WM_USER + 1;    // items were added or deleted
constexpr UINT UM_COMMANDS_REFRESH = WM_USER + 2;  // the selection or the page changed

// The page's list view control.
constexpr int kPageListView = 1044;

// Results of AddItem besides an index.
constexpr int kAddNullItem = -1;
constexpr int kAddMissingFile = -2;

class CVListDlg : public CVTabDlg {
public:
    CVListDlg(UINT columnsTextId, UINT hintTextId, const wchar_t* viewStyleValue, const wchar_t* columnWidthsValue);
    ~CVListDlg() override;  // writes the view style and column widths

    // Adds an owned item; on a negative result the caller still owns it.
    virtual int AddItem(void* item, BOOL replace) = 0;
    virtual bool CompareItems(const void* a, const void* b) const = 0;
    virtual void FreeItem(void* item) = 0;

    // Removes (and frees) the first item after the fixed ones equal to the given one: by
    // CompareItems when byValue is set, else by pointer identity. Returns whether one was removed.
    bool RemoveItem(const void* item, BOOL byValue);
    // With the page window open, takes the rows back into items/count.
    void FlushItems();

    // Appends to the closed page's array (grows by 8); returns the slot index.
    int AppendClosed(void* item);
    // Frees every non-null item of the closed page's array.
    void FreeAllItems();
    // The list view of the open page; null while the page is closed.
    HWND ListView() const;

    void** items = nullptr;  // slots may be null; readers skip them
    DWORD count = 0;
    DWORD capacity = 0;
    DWORD fixedCount = 0;
    DWORD columnMask = 0xFFFFFFFF;
    UINT columnsTextId = 0;
    UINT hintTextId = 0;
    DWORD viewStyle = 40038;  // details
    std::wstring viewStyleValueName;
    std::wstring columnWidthsValueName;
    std::vector<int> columnWidths;  // empty: none stored
    int listTop = 60;
    WNDPROC previousListProc = nullptr;
};

class CVFilesDlg : public CVListDlg {
public:
    CVFilesDlg();
    ~CVFilesDlg() override;

    // item: an owned, heap-allocated wchar_t* full path (allocated with DuplicatePath).
    int AddItem(void* item, BOOL replace) override;
    bool CompareItems(const void* a, const void* b) const override;
    void FreeItem(void* item) override;

    const wchar_t* PathAt(DWORD index) const { return static_cast<const wchar_t*>(items[index]); }
    static wchar_t* DuplicatePath(const wchar_t* path);

private:
    // Open page: a row for the file, named as found on disk.
    int AddRow(void* item, const wchar_t* nameOnDisk);
};

class CVCertificateDlg : public CVListDlg {
public:
    explicit CVCertificateDlg(bool isEncryptionPage);
    ~CVCertificateDlg() override;

    // item: an owned PCCERT_CONTEXT.
    int AddItem(void* item, BOOL replace) override;
    bool CompareItems(const void* a, const void* b) const override;
    void FreeItem(void* item) override;

    PCCERT_CONTEXT CertificateAt(DWORD index) const { return static_cast<PCCERT_CONTEXT>(items[index]); }

    bool isEncryptionPage;

private:
    // Open page: a row named after the certificate's subject.
    int AddRow(void* item);
};
