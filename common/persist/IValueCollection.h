#pragma once
// The value collections' public interface: typed values (qkTalValue kinds) under 32-bit keys; for
// the index/value collection the key is the position. A getter may convert a stored value of
// another kind (when conversion is on) without changing what is stored; a setter replaces the
// value and its kind. Every operation holds the collection's lock, so a collection may be shared
// between threads. Failures are false; QueryInterface alone gives result codes.
//
// Getters and setters run from the object kind down to the boolean, in this order, as the slot
// order of the interface. Each text and block getter has an Ex form that also gives the size
// (needed or copied): characters for ANSI text, bytes for wide text and blocks.
#include <windows.h>
#include <oaidl.h>
#include <unknwn.h>

// {D952F923-847F-48DB-B32A-DDAB0C92132E}
inline constexpr GUID IID_IValueCollection = {
    0xD952F923, 0x847F, 0x48DB, {0xB3, 0x2A, 0xDD, 0xAB, 0x0C, 0x92, 0x13, 0x2E}};
// {9958D891-C319-4C6C-BEB9-F9BFB37EA493}: the key/value collection (object id and interface id).
inline constexpr GUID CLSID_qkTalKeyValueCollection = {
    0x9958D891, 0xC319, 0x4C6C, {0xBE, 0xB9, 0xF9, 0xBF, 0xB3, 0x7E, 0xA4, 0x93}};
// {740AB61D-8B4A-46CC-9D82-86F72E055477}: the index/value collection (object id and interface id).
inline constexpr GUID CLSID_qkTalIndexValueCollection = {
    0x740AB61D, 0x8B4A, 0x46CC, {0x9D, 0x82, 0x86, 0xF7, 0x2E, 0x05, 0x54, 0x77}};

struct IValueCollection : public IUnknown {
    virtual ULONG STDMETHODCALLTYPE GetCount() = 0;
    virtual bool STDMETHODCALLTYPE Exists(ULONG key) = 0;
    // The stored value's size and kind (never converted); 0 when the key is absent.
    virtual ULONG STDMETHODCALLTYPE GetValueSize(ULONG key) = 0;
    virtual ULONG STDMETHODCALLTYPE GetValueType(ULONG key) = 0;
    virtual bool STDMETHODCALLTYPE Remove(ULONG key) = 0;
    virtual bool STDMETHODCALLTYPE Clear() = 0;
    virtual bool STDMETHODCALLTYPE GetConvertTypes() = 0;
    virtual bool STDMETHODCALLTYPE SetConvertTypes(bool on) = 0;
    // Whether object values are cloned (true) or shared when stored or read.
    virtual bool STDMETHODCALLTYPE GetCloneObjects() = 0;
    virtual bool STDMETHODCALLTYPE SetCloneObjects(bool on) = 0;

    // A reference the pointer already holds is released first.
    virtual bool STDMETHODCALLTYPE GetObject(ULONG key, IUnknown** object) = 0;
    virtual bool STDMETHODCALLTYPE GetVariant(ULONG key, VARIANT* value) = 0;
    virtual bool STDMETHODCALLTYPE GetBinaryEx(ULONG key, void* buffer, ULONG bufferSize, ULONG* size) = 0;
    virtual bool STDMETHODCALLTYPE GetBinary(ULONG key, void* buffer, ULONG bufferSize) = 0;
    virtual bool STDMETHODCALLTYPE GetWStringEx(ULONG key, wchar_t* buffer, ULONG byteSize, ULONG* size) = 0;
    virtual bool STDMETHODCALLTYPE GetWString(ULONG key, wchar_t* buffer, ULONG byteSize) = 0;
    virtual bool STDMETHODCALLTYPE GetStringEx(ULONG key, char* buffer, ULONG chars, ULONG* size) = 0;
    virtual bool STDMETHODCALLTYPE GetString(ULONG key, char* buffer, ULONG chars) = 0;
    virtual bool STDMETHODCALLTYPE GetSystemTime(ULONG key, SYSTEMTIME* value) = 0;
    virtual bool STDMETHODCALLTYPE GetGuid(ULONG key, GUID* value) = 0;
    virtual bool STDMETHODCALLTYPE GetDouble(ULONG key, double* value) = 0;
    virtual bool STDMETHODCALLTYPE GetUInt64(ULONG key, ULONGLONG* value) = 0;
    virtual bool STDMETHODCALLTYPE GetInt64(ULONG key, LONGLONG* value) = 0;
    virtual bool STDMETHODCALLTYPE GetUInt32(ULONG key, ULONG* value) = 0;
    virtual bool STDMETHODCALLTYPE GetInt32(ULONG key, LONG* value) = 0;
    virtual bool STDMETHODCALLTYPE GetUInt16(ULONG key, USHORT* value) = 0;
    virtual bool STDMETHODCALLTYPE GetInt16(ULONG key, SHORT* value) = 0;
    virtual bool STDMETHODCALLTYPE GetUInt8(ULONG key, BYTE* value) = 0;
    virtual bool STDMETHODCALLTYPE GetInt8(ULONG key, signed char* value) = 0;
    virtual bool STDMETHODCALLTYPE GetBool(ULONG key, bool* value) = 0;

    virtual bool STDMETHODCALLTYPE SetObject(ULONG key, IUnknown* object) = 0;
    virtual bool STDMETHODCALLTYPE SetVariant(ULONG key, const VARIANT* value) = 0;
    // Null data with size 0 stores an empty block; null with a size, or data with size 0, fails.
    virtual bool STDMETHODCALLTYPE SetBinary(ULONG key, const void* data, ULONG size) = 0;
    virtual bool STDMETHODCALLTYPE SetWString(ULONG key, const wchar_t* text) = 0;
    virtual bool STDMETHODCALLTYPE SetString(ULONG key, const char* text) = 0;
    virtual bool STDMETHODCALLTYPE SetSystemTime(ULONG key, const SYSTEMTIME* value) = 0;
    virtual bool STDMETHODCALLTYPE SetGuid(ULONG key, const GUID* value) = 0;
    virtual bool STDMETHODCALLTYPE SetDouble(ULONG key, double value) = 0;
    virtual bool STDMETHODCALLTYPE SetUInt64(ULONG key, ULONGLONG value) = 0;
    virtual bool STDMETHODCALLTYPE SetInt64(ULONG key, LONGLONG value) = 0;
    virtual bool STDMETHODCALLTYPE SetUInt32(ULONG key, ULONG value) = 0;
    virtual bool STDMETHODCALLTYPE SetInt32(ULONG key, LONG value) = 0;
    virtual bool STDMETHODCALLTYPE SetUInt16(ULONG key, USHORT value) = 0;
    virtual bool STDMETHODCALLTYPE SetInt16(ULONG key, SHORT value) = 0;
    virtual bool STDMETHODCALLTYPE SetUInt8(ULONG key, BYTE value) = 0;
    virtual bool STDMETHODCALLTYPE SetInt8(ULONG key, signed char value) = 0;
    virtual bool STDMETHODCALLTYPE SetBool(ULONG key, bool value) = 0;
};

// The key/value collection: values under caller-chosen keys, in ascending key order.
struct IKeyValueCollection : public IValueCollection {
    // The key of the position-th entry in ascending key order.
    virtual bool STDMETHODCALLTYPE GetKeyAt(ULONG position, ULONG* key) = 0;
};

// The index/value collection: a sequence; setters replace existing values, Append adds one.
struct IIndexValueCollection : public IValueCollection {
    virtual bool STDMETHODCALLTYPE AppendObject(IUnknown* object) = 0;
    virtual bool STDMETHODCALLTYPE AppendVariant(const VARIANT* value) = 0;
    virtual bool STDMETHODCALLTYPE AppendBinary(const void* data, ULONG size) = 0;
    virtual bool STDMETHODCALLTYPE AppendWString(const wchar_t* text) = 0;
    virtual bool STDMETHODCALLTYPE AppendString(const char* text) = 0;
    virtual bool STDMETHODCALLTYPE AppendSystemTime(const SYSTEMTIME* value) = 0;
    virtual bool STDMETHODCALLTYPE AppendGuid(const GUID* value) = 0;
    virtual bool STDMETHODCALLTYPE AppendDouble(double value) = 0;
    virtual bool STDMETHODCALLTYPE AppendUInt64(ULONGLONG value) = 0;
    virtual bool STDMETHODCALLTYPE AppendInt64(LONGLONG value) = 0;
    virtual bool STDMETHODCALLTYPE AppendUInt32(ULONG value) = 0;
    virtual bool STDMETHODCALLTYPE AppendInt32(LONG value) = 0;
    virtual bool STDMETHODCALLTYPE AppendUInt16(USHORT value) = 0;
    virtual bool STDMETHODCALLTYPE AppendInt16(SHORT value) = 0;
    virtual bool STDMETHODCALLTYPE AppendUInt8(BYTE value) = 0;
    virtual bool STDMETHODCALLTYPE AppendInt8(signed char value) = 0;
    virtual bool STDMETHODCALLTYPE AppendBool(bool value) = 0;
};
