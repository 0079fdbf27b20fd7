#pragma once
// The memory object: one block of bytes that saves itself as typed archive records: version
// (tag 6, 1), then the block as a tag-9 record.
#include "common/base/qkMemory.h"
#include "common/objects/qkTalCountedObject.h"
#include "common/persist/ICloneable.h"
#include "common/persist/IMemoryObject.h"
#include "common/persist/ISerializable.h"
#include "common/persist/qkTalPersistBase.h"

class qkTalMemoryImpl : public qkTalCountedObject,
                        public IMemoryObject,
                        public ISerializable,
                        public ICloneable,
                        public qkTalPersistBase {
public:
    static constexpr LONG Version = 1;

    // A new empty object with one reference, or null when out of memory.
    static IMemoryObject* Create();
    // The instance factory's creator.
    static IUnknown* STDAPICALLTYPE CreateObject();

    QK_TAL_UNKNOWN_IMPL()

    void* STDMETHODCALLTYPE Allocate(ULONG size) override;
    void* STDMETHODCALLTYPE Resize(ULONG size) override;
    void STDMETHODCALLTYPE Free() override;
    ULONG STDMETHODCALLTYPE GetSize() override;
    void* STDMETHODCALLTYPE GetData() override;
    void* STDMETHODCALLTYPE SetData(const void* data, ULONG size) override;

    // ISerializable: GetSize there is the saved size, hence the explicit forms.
    bool STDMETHODCALLTYPE GetSize(ULONGLONG* size) override { return GetPersistSize(size); }
    bool STDMETHODCALLTYPE Save(IByteStream* stream) override { return SaveToStream(stream); }
    bool STDMETHODCALLTYPE Load(IByteStream* stream) override { return LoadFromStream(stream); }
    bool STDMETHODCALLTYPE IsModified() override { return IsModifiedFlag(); }
    bool STDMETHODCALLTYPE SetModified(bool modified) override { return SetModifiedFlag(modified); }
    bool STDMETHODCALLTYPE GetClassId(GUID* id) override;

    bool STDMETHODCALLTYPE CopyFrom(IUnknown* source) override;
    bool STDMETHODCALLTYPE Clone(IUnknown** clone) override;

    bool Save(qkLib::CArchive& archive) override;
    bool Load(qkLib::CArchive& archive) override;

protected:
    void* GetInterface(REFIID iid) override;

private:
    qkTalMemoryImpl() = default;

    qkMemory m_Memory;
};
