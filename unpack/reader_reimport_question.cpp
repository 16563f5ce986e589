// The question shown before the private key is copied into another provider.
#include "unpack/recipient_key.h"

#include <vector>

#include "format/service/help.h"
#include "format/service/resources.h"

namespace {

constexpr size_t kMaxQuestionLength = 1024;

std::wstring IssuerText(PCCERT_CONTEXT certificate) {
    if (!certificate) return std::wstring();
    CERT_NAME_BLOB* issuer = &certificate->pCertInfo->Issuer;
    DWORD length = CertNameToStrW(X509_ASN_ENCODING, issuer, CERT_SIMPLE_NAME_STR, nullptr, 0);
    if (length <= 1) return std::wstring();
    std::vector<wchar_t> text(length);
    CertNameToStrW(X509_ASN_ENCODING, issuer, CERT_SIMPLE_NAME_STR, text.data(), length);
    return std::wstring(text.data());
}

// The serial number as the certificate shows it: most significant byte first, "%02X " each.
std::wstring SerialText(PCCERT_CONTEXT certificate) {
    std::wstring text;
    if (!certificate) return text;
    const CRYPT_INTEGER_BLOB& serial = certificate->pCertInfo->SerialNumber;
    for (DWORD i = serial.cbData; i > 0; --i) text += FormatString(L"%02X ", serial.pbData[i - 1]);
    return text;
}

INT_PTR CALLBACK ReimportQuestionProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* question = reinterpret_cast<ReimportQuestion*>(GetWindowLongPtrW(window, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:
        question = reinterpret_cast<ReimportQuestion*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        question->window = window;
        SendDlgItemMessageW(window, kReimportIconId, STM_SETICON,
                            reinterpret_cast<WPARAM>(LoadIconW(nullptr, IDI_QUESTION)), 0);
        SetDlgItemTextW(window, kReimportTextId, ReimportQuestionText(*question).c_str());
        CheckDlgButton(window, kReimportKeyCheckId, question->reimportKey ? BST_CHECKED : BST_UNCHECKED);
        CheckDlgButton(window, kDoNotAskCheckId, question->askReimport ? BST_UNCHECKED : BST_CHECKED);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDYES:
        case IDNO:
        case IDCANCEL:
            EndDialog(window, LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    case WM_HELP:
        ShowHelp(window, reinterpret_cast<const HELPINFO*>(lParam), true);
        return TRUE;
    case WM_DESTROY:
        // The check boxes are read while the controls still exist.
        if (question) {
            question->reimportKey = IsDlgButtonChecked(window, kReimportKeyCheckId) == BST_CHECKED;
            question->askReimport = IsDlgButtonChecked(window, kDoNotAskCheckId) != BST_CHECKED;
        }
        return FALSE;
    }
    return FALSE;
}

}  // namespace

std::wstring ReimportQuestionText(const ReimportQuestion& question) {
    std::wstring issuer = IssuerText(question.certificate);
    std::wstring serial = SerialText(question.certificate);
    std::wstring text = FormatText(kReimportMessageId, question.providerName.c_str(), issuer.c_str(), serial.c_str(),
                                   question.algorithmName.c_str());
    if (text.size() > kMaxQuestionLength) text.resize(kMaxQuestionLength);
    return text;
}

INT_PTR ShowReimportQuestion(HWND owner, ReimportQuestion* question) {
    return DialogBoxParamW(ResourceModule(), MAKEINTRESOURCEW(kReimportQuestionDialogId), owner,
                           ReimportQuestionProc, reinterpret_cast<LPARAM>(question));
}
