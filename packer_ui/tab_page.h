// Base of every page of the packer window.
#pragma once
#include <windows.h>

class CVTabDlg {
public:
    CVTabDlg() = default;
    virtual ~CVTabDlg();
    CVTabDlg(const CVTabDlg&) = delete;
    CVTabDlg& operator=(const CVTabDlg&) = delete;

    // Creates the page window as a child of the parent; the base page has no window of its own.
    virtual BOOL CreatePage();
    // Destroys the page window and clears the handle.
    virtual void DestroyPage();

    HWND pageWindow = nullptr;    // null while the page is closed
    HWND parentWindow = nullptr;  // the packer window
    wchar_t caption[128] = {};
};
