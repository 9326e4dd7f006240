#pragma once
// BSTR: a UTF-16 string preceded by its byte length and followed by a NUL
// unit, allocated and freed only through these calls (as OLE Automation does).
// A null BSTR is a valid empty string.
#include "ComTypes.h"

#include <cstddef>
#include <string>
#include <string_view>

BSTR SysAllocString(LPCOLESTR text);                 // null text -> null
BSTR SysAllocStringLen(LPCOLESTR text, UINT length); // text may be null: zero-filled
void SysFreeString(BSTR text);                       // null is allowed
UINT SysStringLen(BSTR text);                        // code units; 0 for null
UINT SysStringByteLen(BSTR text);
// Number of BSTRs allocated and not yet freed, process-wide. Tests compare it
// before and after an operation to prove that nothing leaked.
std::size_t LiveBstrCount();

// 8-bit program text <-> BSTR. The program's 8-bit text is UTF-8; a byte that
// is not part of valid UTF-8 (raw device data) maps to the code point of the
// same value (Latin-1), so no byte is ever dropped on the way to a client.
BSTR BstrFromAnsi(std::string_view text);
std::string AnsiFromBstr(BSTR text);
std::u16string U16FromAnsi(std::string_view text);
std::string AnsiFromU16(std::u16string_view text);

// Owning holder for a BSTR that frees it on scope exit.
class BStr {
public:
    BStr() = default;
    explicit BStr(BSTR adopted) : p_(adopted) {}
    explicit BStr(std::string_view ansi) : p_(BstrFromAnsi(ansi)) {}
    BStr(const BStr&) = delete;
    BStr& operator=(const BStr&) = delete;
    BStr(BStr&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    BStr& operator=(BStr&& o) noexcept;
    ~BStr() { SysFreeString(p_); }
    BSTR get() const { return p_; }
    BSTR release() { BSTR p = p_; p_ = nullptr; return p; }
    UINT length() const { return SysStringLen(p_); }
    std::string ansi() const { return AnsiFromBstr(p_); }
private:
    BSTR p_ = nullptr;
};
