#pragma once
// TOPCStringsEnumerator: IEnumString over a copy of a list of texts (group
// names, tag names). It is independent of the list it was made from.
//
// Next hands out each text as a new wide string from the task allocator; the
// caller frees every one with CoTaskMemFree.
#include "ComObject.h"

#include <cstddef>
#include <string>
#include <vector>

class TOPCStringsEnumerator final : public ComObject, public IEnumString {
public:
    explicit TOPCStringsEnumerator(std::vector<std::string> texts);

    LINVARO_COM_IUNKNOWN
    // Answers IUnknown and IEnumString; anything else E_NOINTERFACE, *ppv null.
    HRESULT QueryInterfaceImpl(REFIID riid, void** ppv);

    // celt 0: 0x000006F5, nothing written. Null pceltFetched (also for celt 1)
    // or rgelt: E_INVALIDARG. Else S_OK when celt texts were handed out,
    // 0x000006F5 when the list ran out first. A text that cannot be allocated:
    // E_OUTOFMEMORY, *pceltFetched 0, position unchanged, nothing handed out.
    HRESULT Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) override;
    // S_OK when position + celt stays within the list; else the position goes
    // to the end and S_FALSE.
    HRESULT Skip(ULONG celt) override;
    HRESULT Reset() override;
    // A new enumerator over the same texts at the start (the position is not
    // copied); E_UNEXPECTED when it cannot be made.
    HRESULT Clone(IEnumString** ppenum) override;

private:
    std::vector<std::string> texts_;
    std::size_t position_ = 0;
};

// A new enumerator over a copy of texts, positioned at the start, holding one
// reference for the caller; nullptr when it cannot be made.
IEnumString* CreateStringsEnumerator(const std::vector<std::string>& texts);
