#pragma once
// The persistence interface of the library's persistent objects (string and memory objects,
// digests, value collections): the object saves itself into a byte stream as typed archive
// records and loads itself back. The value collections answer a second id with the same
// interface, extended by the size-caching switch.
#include <windows.h>
#include <unknwn.h>

#include "common/persist/IByteStream.h"

// {E53AF6AF-D199-4FB5-BD18-4D072CD35694}
inline constexpr GUID IID_ISerializable = {
    0xE53AF6AF, 0xD199, 0x4FB5, {0xBD, 0x18, 0x4D, 0x07, 0x2C, 0xD3, 0x56, 0x94}};
// {601AEC8F-CF85-4062-AF9D-C4AFE3A9FA3F}: the collections' persistence interface.
inline constexpr GUID IID_ISizeCachingSerializable = {
    0x601AEC8F, 0xCF85, 0x4062, {0xAF, 0x9D, 0xC4, 0xAF, 0xE3, 0xA9, 0xFA, 0x3F}};

struct ISerializable : public IUnknown {
    // Bytes that Save writes.
    virtual bool STDMETHODCALLTYPE GetSize(ULONGLONG* size) = 0;
    // Writes at the stream's position and leaves it after the data; clears the changed flag.
    virtual bool STDMETHODCALLTYPE Save(IByteStream* stream) = 0;
    virtual bool STDMETHODCALLTYPE Load(IByteStream* stream) = 0;
    virtual bool STDMETHODCALLTYPE IsModified() = 0;
    virtual bool STDMETHODCALLTYPE SetModified(bool modified) = 0;
    virtual bool STDMETHODCALLTYPE GetClassId(GUID* classId) = 0;
};

struct ISizeCachingSerializable : public ISerializable {
    // With size caching on, GetSize answers from the size of the last save until a change.
    virtual bool STDMETHODCALLTYPE SetSizeCaching(bool on) = 0;
    virtual bool STDMETHODCALLTYPE GetSizeCaching() = 0;
};
