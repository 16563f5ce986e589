// The list pages of the packer window: files, encryption certificates and signing certificates.
// A page owns its items; while its window is closed they live in a plain array (items/count).
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <commctrl.h>
#include <objidl.h>

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

// The view commands, in the order of the list-view styles they choose.
constexpr UINT kViewLargeIcons = 40035;
constexpr UINT kViewSmallIcons = 40036;
constexpr UINT kViewList = 40037;
constexpr UINT kViewDetails = 40038;

// Page commands forwarded by the packer window.
constexpr UINT kCommandDelete = 1011;
constexpr UINT kCommandProperties = 1045;
constexpr UINT kCommandSelectAll = 40012;
constexpr UINT kCommandCopy = 57634;
constexpr UINT kCommandCut = 57635;
constexpr UINT kCommandPaste = 57637;

class CVListDlg : public CVTabDlg {
public:
    CVListDlg(UINT columnsTextId, UINT hintTextId, const wchar_t* viewStyleValue, const wchar_t* columnWidthsValue);
    ~CVListDlg() override;  // writes the view style and column widths (SaveView)

    // Writes the view style and the column widths (when there are any). 0 with the error as last
    // error when the key could not be opened or a value not written.
    BOOL SaveView() const;

    // The page window (template 207) as a modeless child of the packer window; the items move into
    // the list view. DestroyPage takes them back and keeps the column widths.
    BOOL CreatePage() override;
    void DestroyPage() override;

    // Adds an owned item; on a negative result the caller still owns it.
    virtual int AddItem(void* item, BOOL replace) = 0;
    virtual bool CompareItems(const void* a, const void* b) const = 0;
    virtual void FreeItem(void* item) = 0;
    virtual void ShowItemProperties(void* item) = 0;
    // Insert key and the add command: the page's own way of adding items.
    virtual void AddFromKeyboard();
    // Dropped or pasted files; with doIt clear only whether they would be taken. 0 = taken.
    virtual HRESULT PasteDroppedFiles(HDROP files, BOOL doIt);
    // The clipboard side: the format the page copies as, the block of that format for the
    // selected rows (pages that copy file contents store them in the object too; null: nothing
    // to copy), and pasted virtual files (0 = taken).
    virtual CLIPFORMAT GetClipboardFormat() const { return 0; }
    virtual HGLOBAL RenderClipboardData(IDataObject*) { return nullptr; }
    virtual HRESULT PasteVirtualFiles(IDataObject*, CLIPFORMAT, BOOL) { return E_NOTIMPL; }

    // Forwarded commands: delete, properties, select all, view styles, copy, cut, paste.
    void HandleCommand(UINT command);
    void DeleteSelected();
    void ShowSelectedProperties();
    void SelectAll();
    void SetViewStyle(UINT command);
    // The selected rows onto the clipboard (false when they did not get there); cut copies and
    // then deletes, when no fixed row is selected and the copy reached the clipboard.
    bool Copy();
    void Cut();
    // Paste, or with doIt clear the paste test of the command states; E_NOTIMPL when nothing fits.
    HRESULT Paste(BOOL doIt);

    // The open list: rows, the first selected row (-1 for none) and the selected count.
    int RowCount() const;
    int FirstSelected() const;
    int SelectedCount() const;
    // Rows are selected and none of them is a fixed one.
    bool HasRemovableSelection() const;

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

protected:
    // Rows get their columns and icons from the page; called for each row the page adds.
    virtual void PrepareListView(HWND listView);
    // The selected rows' items, in row order.
    std::vector<void*> SelectedItems() const;

private:
    static INT_PTR CALLBACK PageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK ListProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam);
    void InitPage(HWND page);
    void InsertColumns(HWND listView);
    void CaptureColumnWidths();
    void LayOut();
    bool OnNotify(const NMHDR* header);
    void OnKeyDown(WORD key);
    void ShowContextMenu(POINT at, bool fromKeyboard);
    void PostToParent(UINT message) const;
    HRESULT PasteFileList(IDataObject* object, FORMATETC format, BOOL doIt);
};

class CVFilesDlg : public CVListDlg {
public:
    CVFilesDlg();
    ~CVFilesDlg() override;

    // item: an owned, heap-allocated wchar_t* full path (allocated with DuplicatePath).
    int AddItem(void* item, BOOL replace) override;
    bool CompareItems(const void* a, const void* b) const override;
    void FreeItem(void* item) override;

    void ShowItemProperties(void* item) override;
    void AddFromKeyboard() override;  // the add-files dialog
    HRESULT PasteDroppedFiles(HDROP files, BOOL doIt) override;
    CLIPFORMAT GetClipboardFormat() const override { return CF_HDROP; }
    HGLOBAL RenderClipboardData(IDataObject* object) override;  // a DROPFILES list of the paths

    const wchar_t* PathAt(DWORD index) const { return static_cast<const wchar_t*>(items[index]); }
    static wchar_t* DuplicatePath(const wchar_t* path);

protected:
    void PrepareListView(HWND listView) override;

private:
    // Open page: a row for the file, named as found on disk, with its columns.
    int AddRow(void* item, const WIN32_FIND_DATAW& found);
    void FillColumns(HWND listView, int row, const wchar_t* path, const WIN32_FIND_DATAW& found);
};

// The column names of a string whose first character separates them; an empty name ends the list.
std::vector<std::wstring> ColumnNames(UINT textId);

// The texts a certificate's row shows: the subject's and issuer's simple names, the friendly name
// and the end of the validity as the user's short date in local time.
struct CertificateRowTexts {
    std::wstring subject, issuer, friendlyName, expiry;
};
CertificateRowTexts DescribeCertificateRow(PCCERT_CONTEXT certificate);

// The size column's text: bytes up to 999, else tenths of Кб, Мб or GB with a trailing .0 dropped.
std::wstring FileSizeText(ULONGLONG size);

class CVCertificateDlg : public CVListDlg {
public:
    explicit CVCertificateDlg(bool isEncryptionPage);
    ~CVCertificateDlg() override;

    // item: an owned PCCERT_CONTEXT.
    int AddItem(void* item, BOOL replace) override;
    bool CompareItems(const void* a, const void* b) const override;
    void FreeItem(void* item) override;

    void ShowItemProperties(void* item) override;
    // Alt: a file (Alt+Shift: the directory), both on the encryption page only; Ctrl: nothing;
    // otherwise the system store.
    void AddFromKeyboard() override;
    HRESULT PasteDroppedFiles(HDROP files, BOOL doIt) override;
    // Virtual files "cert<k>.cer": the descriptors, with each certificate as "FileContents" k.
    CLIPFORMAT GetClipboardFormat() const override;
    HGLOBAL RenderClipboardData(IDataObject* object) override;
    HRESULT PasteVirtualFiles(IDataObject* object, CLIPFORMAT format, BOOL doIt) override;

    PCCERT_CONTEXT CertificateAt(DWORD index) const { return static_cast<PCCERT_CONTEXT>(items[index]); }

    bool isEncryptionPage;
    HIMAGELIST smallIcons = nullptr;
    HIMAGELIST largeIcons = nullptr;

protected:
    void PrepareListView(HWND listView) override;

private:
    // Open page: a row named after the certificate's subject, with issuer, friendly name and expiry.
    int AddRow(void* item);
};
