#pragma once
// HRESULT codes the program returns or meets, with their Windows values.
#include <cstdint>

using HRESULT = std::int32_t;

constexpr HRESULT hr(std::uint32_t v) { return static_cast<HRESULT>(v); }

constexpr bool SUCCEEDED(HRESULT h) { return h >= 0; }
constexpr bool FAILED(HRESULT h) { return h < 0; }

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = hr(0x80004001);
constexpr HRESULT E_NOINTERFACE = hr(0x80004002);
constexpr HRESULT E_POINTER = hr(0x80004003);
constexpr HRESULT E_FAIL = hr(0x80004005);
constexpr HRESULT E_UNEXPECTED = hr(0x8000FFFF);
constexpr HRESULT E_OUTOFMEMORY = hr(0x8007000E);
constexpr HRESULT E_INVALIDARG = hr(0x80070057);
constexpr HRESULT DISP_E_TYPEMISMATCH = hr(0x80020005);
constexpr HRESULT DISP_E_BADVARTYPE = hr(0x80020008);
constexpr HRESULT DISP_E_OVERFLOW = hr(0x8002000A);
constexpr HRESULT DISP_E_BADINDEX = hr(0x8002000B);
constexpr HRESULT DISP_E_ARRAYISLOCKED = hr(0x8002000D);
constexpr HRESULT CONNECT_E_NOCONNECTION = hr(0x80040200);
constexpr HRESULT CONNECT_E_ADVISELIMIT = hr(0x80040201);
constexpr HRESULT CONNECT_E_CANNOTCONNECT = hr(0x80040202);
constexpr HRESULT CONNECT_E_OVERRIDDEN = hr(0x80040203);
constexpr HRESULT OLE_E_NOCONNECTION = hr(0x80040004);
constexpr HRESULT CLASS_E_NOAGGREGATION = hr(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = hr(0x80040111);
constexpr HRESULT REGDB_E_CLASSNOTREG = hr(0x80040154);
constexpr HRESULT CO_E_NOTINITIALIZED = hr(0x800401F0);
constexpr HRESULT CO_E_CLASSSTRING = hr(0x800401F3);
