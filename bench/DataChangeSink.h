#pragma once
// The base of the benchmarks' client sinks: an IOPCDataCallback whose
// completions of asynchronous calls are ignored (the benchmarks make none);
// each benchmark takes the data changes in its own OnDataChange.
#include "ComObject.h"
#include "OPCDA.h"

class DataChangeSink : public ComObject, public IOPCDataCallback {
public:
    LINVARO_COM_IUNKNOWN
    HRESULT QueryInterfaceImpl(REFIID riid, void** ppv)
    {
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IOPCDataCallback)
            return ComAnswer(static_cast<IOPCDataCallback*>(this), ppv);
        return E_NOINTERFACE;
    }
    HRESULT OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                           HRESULT*) override
    {
        return S_OK;
    }
    HRESULT OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    HRESULT OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
};
