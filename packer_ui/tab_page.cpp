#include "packer_ui/tab_page.h"

CVTabDlg::~CVTabDlg() { DestroyPage(); }

BOOL CVTabDlg::CreatePage() { return FALSE; }

void CVTabDlg::DestroyPage() {
    if (pageWindow) DestroyWindow(pageWindow);
    pageWindow = nullptr;
}
