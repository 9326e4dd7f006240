#pragma once
// TMRDUnknownEnumerator: IEnumUnknown over a list of objects (groups). It
// holds one counted reference per element, so every listed object lives at
// least as long as the enumerator.
#include "ComObject.h"

#include <cstddef>
#include <vector>

class TMRDUnknownEnumerator final : public ComObject, public IEnumUnknown {
public:
    // Takes over one reference per (non-null) element.
    explicit TMRDUnknownEnumerator(std::vector<IUnknown*> takenOver);
    ~TMRDUnknownEnumerator() override; // releases every element

    LINVARO_COM_IUNKNOWN
    // Answers IUnknown and IEnumUnknown; anything else E_NOINTERFACE, *ppv null.
    HRESULT QueryInterfaceImpl(REFIID riid, void** ppv);

    // celt 0: S_FALSE, nothing written. Null pceltFetched or rgelt:
    // E_INVALIDARG. Else each element handed out carries a reference added
    // for the caller; S_OK when celt were handed out, 0x000006F5 when the
    // list ran out first.
    HRESULT Next(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched) override;
    HRESULT Skip(ULONG celt) override;
    HRESULT Reset() override;
    // A new enumerator over the same objects, with its own reference on each,
    // at the start; E_UNEXPECTED when it cannot be made.
    HRESULT Clone(IEnumUnknown** ppenum) override;

private:
    TMRDUnknownEnumerator(const TMRDUnknownEnumerator&) = delete;
    TMRDUnknownEnumerator& operator=(const TMRDUnknownEnumerator&) = delete;

    std::vector<IUnknown*> items_;
    std::size_t position_ = 0;
};

// A new enumerator that takes over one reference per element (released when
// the enumerator goes), positioned at the start, holding one reference for
// the caller; nullptr when it cannot be made (the references are then
// released).
IEnumUnknown* CreateUnknownEnumerator(std::vector<IUnknown*> takenOver);
