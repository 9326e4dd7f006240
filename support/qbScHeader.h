#pragma once
// Security support library "qbSecurity": reversible text encryption for the
// settings password. Authenticated encryption with a per-user key file that
// is created on first use with mode 0600. Returned texts stay valid until the
// next call of the same function on the same thread.
//
// Decrypt of text that was not made by Encrypt with this user's key (tampered,
// foreign, truncated, empty) returns "".

extern "C" {
typedef const char* (*TEncrypt)(const char* plain);
typedef const char* (*TDecrypt)(const char* cipher);

const char* Encrypt(const char* plain);
const char* Decrypt(const char* cipher);
}
