// Small secrets kept in the registry (the directory password) are encrypted with a per-user RC2 key.
// That key is stored as "PasswordsKey", wrapped for the key-exchange key of the user's own key
// container "QuillarentPasswd" (or the container named by "PasswdCSPcontainer"), so only the same
// user can unwrap it. The container, its key pair and the wrapped key are made on first use.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// Encrypts (decrypt false) or decrypts the first *dataLength bytes of buffer in place; *dataLength
// becomes the new length. A ciphertext is the plaintext rounded up to the next multiple of 8 bytes
// (a whole block more when it already is one), so callers allocate the plaintext length rounded
// down to a multiple of 8 plus 8. After a decryption the bytes behind the plaintext, up to
// bufferSize, are zero.
// When the provider or the keys cannot be had, 0 is returned and the buffer is left as it was; when
// the encryption or decryption itself fails, all bufferSize bytes are zeroed and 0 is returned.
BOOL ProtectValue(BOOL decrypt, BYTE* buffer, DWORD* dataLength, DWORD bufferSize);

// The buffer size ProtectValue needs to encrypt length bytes in place.
inline DWORD ProtectedBufferSize(DWORD length) { return length / 8 * 8 + 8; }

// Decrypts a protected text: UTF-16 with its terminating NUL, protected whole. A block cipher's
// padding check alone lets a value decrypted under another key through now and then (about once in
// 256 tries), so the plaintext must also have the shape that was stored: a whole number of
// characters whose one NUL is the last, of the length the ciphertext's size allows. Anything else
// fails like a wrong key: 0 with NTE_BAD_DATA as last error, the decrypted bytes wiped and text
// empty. Other failures are those of ProtectValue.
BOOL RevealProtectedText(const std::vector<BYTE>& protectedText, std::wstring& text);
