// The packer's state: its pages, target folder and recent lists. The dialog itself is built on top
// of this object; the engines read only the pages and the settings.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <commctrl.h>

#include <string>

#include "packer_ui/list_pages.h"
#include "packer_ui/settings.h"

struct PackerWindow {
    CVSettingsDlg* settingsPage = nullptr;
    CVFilesDlg* filesPage = nullptr;
    CVCertificateDlg* encryptionPage = nullptr;
    CVCertificateDlg* signingPage = nullptr;
    std::wstring targetFolder;                   // empty: none
    wchar_t** recentFiles = nullptr;             // null-terminated, RecentItemsCount + 1 slots
    PCCERT_CONTEXT* recentCertificates = nullptr;  // null-terminated, RecentItemsCount + 1 slots
    DWORD useWorkingDirectory = 0;
    HWND window = nullptr;
    HWND ownerWindow = nullptr;
    HIMAGELIST pageIcons = nullptr;
    DWORD largeToolbarIcons = 1;
    DWORD showToolbarText = 0;
    DWORD isModal = 1;
};

// Builds the pages (files, settings, encryption, signing); false when an allocation fails.
BOOL CreatePackerWindow(PackerWindow* window);
// Deletes the pages (each frees its items) and the target folder.
void DestroyPackerWindow(PackerWindow* window);
