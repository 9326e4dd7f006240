#pragma once
// TOPCItemAttEnumerator: IEnumOPCItemAttributes over a snapshot of a
// group's item attributes (later changes of the group do not show).
//
// Reference counts: a ComObject; the creator receives the one reference the
// returned pointer carries. Clone gives an independent copy positioned at
// the start. Every array and string Next hands out comes from the task
// allocator and belongs to the caller. Main thread only.
#include "ComObject.h"
#include "ItemAttributesOPC.h"
#include "OPCDA.h"

#include <vector>

class TOPCItemAttEnumerator : public ComObject, public IEnumOPCItemAttributes {
public:
    // A new enumerator over its own copy of records, holding one reference
    // for the caller; nullptr when it cannot be made.
    static IEnumOPCItemAttributes* Create(const std::vector<TOPCItemAttributes>& records);

    LINVARO_COM_IUNKNOWN
    HRESULT QueryInterfaceImpl(REFIID riid, void** ppv);

    HRESULT Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) override;
    HRESULT Skip(ULONG celt) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) override;

private:
    explicit TOPCItemAttEnumerator(std::vector<TOPCItemAttributes> records);
    ~TOPCItemAttEnumerator() override = default;

    std::vector<TOPCItemAttributes> records_;
    ULONG cursor_ = 0;
};
