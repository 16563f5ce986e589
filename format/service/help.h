// The help file Help\Quillarent.chm beside the module that carries the resources, shown through the
// platform's HTML Help viewer: its introduction topic, or a control's text popup from Context.txt.
#pragma once
#include <windows.h>

#include <string>

// The full path of the help file (it may not exist).
std::wstring HelpFilePath();

// The help file's introduction topic, or with help info for a control (Shift+F1 in the main window,
// F1 on a control of another dialog) that control's text popup. A missing help file shows nothing.
void ShowHelp(HWND window, const HELPINFO* help, bool fromDialog);

// What ShowHelp asked the viewer for: "<help file>::/<topic>", the HtmlHelp command and, for a text
// popup, its string id (the control's id).
struct HelpRequest {
    std::wstring target;
    UINT command = 0;
    UINT popupId = 0;
};

// Lets the tests see every request as it is made (null stops it); the viewer is asked all the same.
using HelpRequestWatcher = void (*)(const HelpRequest& request);
void WatchHelpRequests(HelpRequestWatcher watcher);
