// What the reader may show while it works: the owner window and the "Info" page's controls.
// Any control may be absent; every update of an absent one is skipped. A caller without windows
// asks for the same facts as plain records through the report pointers instead.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "format/recipient_info.h"
#include "unpack/core/envelope_outcome.h"

// One signer as the signers list shows it.
struct SignerSummary {
    std::wstring subject;    // empty when the signer's certificate was not found
    std::wstring issuer;
    std::wstring serial;     // hex, most significant byte first
    std::wstring digestAlgorithm;
    LONG status = -1;        // -1 not checked; 0 verified; kSignatureNotSupported; else the error of the failed step
    DWORD chainStatus = 0;   // 0 in order; else as SignerCheck::chainStatus
    std::wstring signatureAlgorithm;  // e.g. "RSA-PSS SHA-256", "ECDSA P-256 SHA-256"
};

// One recipient of an envelope: a key transport entry, one recipient of a key agreement entry, or
// a KEK, password or other entry.
struct RecipientSummary {
    std::wstring subject;          // empty when no certificate of the store matches
    std::wstring issuer;           // issuer and serial: of the certificate found, else as named
    std::wstring serial;
    bool certificateFound = false; // the certificate the entry names is in the store
    bool keyAvailable = false;     // and its private key can be opened
    recipient_info::Kind kind = recipient_info::Kind::kKeyTransport;
    std::wstring keyIdentifier;    // hex, when the entry names its certificate by key identifier
    std::wstring keyTransport;     // e.g. "RSA (PKCS #1 v1.5)", "RSA-OAEP (SHA-256)", "ECDH"
    reader_core::RecipientRefusal refusal = reader_core::kRefusalNone;  // why it cannot be opened here
    ALG_ID refusedHash = 0;        // kRefusalOaepHash: the OAEP hash
};

struct UnpackView {
    HWND ownerWindow = nullptr;
    HWND recipientsList = nullptr;   // child 1102
    HWND signersList = nullptr;      // child 1101
    HWND informationText = nullptr;  // child 2001
    HWND signatureCaption = nullptr; // child 2002
    // Filled next to the list rows whether or not the lists exist; each may be null.
    std::vector<SignerSummary>* signerReport = nullptr;
    std::vector<RecipientSummary>* recipientReport = nullptr;
    std::wstring* algorithmReport = nullptr;  // the content-encryption algorithm's display name
};

constexpr int kRecipientsListId = 1102;
constexpr int kSignersListId = 1101;
constexpr int kInformationTextId = 2001;
constexpr int kSignatureCaptionId = 2002;
