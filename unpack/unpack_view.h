// What the reader may show while it works: the owner window and the "Info" page's controls.
// Any control may be absent; every update of an absent one is skipped.
#pragma once
#include <windows.h>

struct UnpackView {
    HWND ownerWindow = nullptr;
    HWND recipientsList = nullptr;   // child 1102
    HWND signersList = nullptr;      // child 1101
    HWND informationText = nullptr;  // child 2001
    HWND signatureCaption = nullptr; // child 2002
};

constexpr int kRecipientsListId = 1102;
constexpr int kSignersListId = 1101;
constexpr int kInformationTextId = 2001;
constexpr int kSignatureCaptionId = 2002;
