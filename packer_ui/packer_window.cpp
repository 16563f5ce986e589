#include "packer_ui/packer_window.h"

#include <new>

#include "packer_ui/data_object.h"

namespace {

void DeletePages(PackerWindow* window) {
    delete window->filesPage;
    delete window->settingsPage;
    delete window->encryptionPage;
    delete window->signingPage;
    window->filesPage = nullptr;
    window->settingsPage = nullptr;
    window->encryptionPage = nullptr;
    window->signingPage = nullptr;
}

}  // namespace

BOOL CreatePackerWindow(PackerWindow* window) {
    if (!window) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *window = PackerWindow();
    RegisterPackerClipboardFormats();  // programs that build the window without the library's load
    window->largeToolbarIcons = 1;
    window->showToolbarText = 0;
    window->isModal = 1;
    try {
        // Page order is the order of the page list: files, settings, encryption, signing.
        window->filesPage = new CVFilesDlg();
        window->settingsPage = new CVSettingsDlg();
        window->encryptionPage = new CVCertificateDlg(true);
        window->signingPage = new CVCertificateDlg(false);
    } catch (const std::bad_alloc&) {
        DeletePages(window);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return TRUE;
}

void DestroyPackerWindow(PackerWindow* window) {
    if (!window) return;
    DeletePages(window);
    window->targetFolder.clear();
    window->targetFolder.shrink_to_fit();
}
