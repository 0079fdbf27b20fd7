#pragma once
// The persistence base that the persistent library objects share behind ISerializable: a lock,
// the changed flag and the cached saved size. The object supplies Save and Load over a typed
// archive; the base serves the stream operations of ISerializable through them.
#include <windows.h>

#include "common/base/qkCriticalSection.h"
#include "common/persist/CArchive.h"
#include "common/persist/IByteStream.h"

class qkTalPersistBase {
public:
    qkTalPersistBase() = default;
    virtual ~qkTalPersistBase() = default;
    qkTalPersistBase(const qkTalPersistBase&) = delete;
    qkTalPersistBase& operator=(const qkTalPersistBase&) = delete;

    virtual bool Save(qkLib::CArchive& archive) = 0;
    virtual bool Load(qkLib::CArchive& archive) = 0;
    virtual qkCriticalSection& GetLock() { return m_lock; }

    // The ISerializable operations, each under the lock.
    bool GetPersistSize(ULONGLONG* size);
    bool SaveToStream(IByteStream* stream);
    bool LoadFromStream(IByteStream* stream);
    bool IsModifiedFlag();
    bool SetModifiedFlag(bool modified);
    bool SetSizeCachingFlag(bool on);
    bool GetSizeCachingFlag();

protected:
    bool m_changed = false;
    bool m_sizeCaching = false;
    ULONGLONG m_cachedSize = 0;

private:
    qkCriticalSection m_lock;
};

// ISerializable of a class that derives from qkTalPersistBase, with its class id.
#define QK_TAL_SERIALIZABLE_IMPL(classId)                      \
    bool STDMETHODCALLTYPE GetSize(ULONGLONG* size) override   \
    {                                                          \
        return GetPersistSize(size);                           \
    }                                                          \
    bool STDMETHODCALLTYPE Save(IByteStream* stream) override  \
    {                                                          \
        return SaveToStream(stream);                           \
    }                                                          \
    bool STDMETHODCALLTYPE Load(IByteStream* stream) override  \
    {                                                          \
        return LoadFromStream(stream);                         \
    }                                                          \
    bool STDMETHODCALLTYPE IsModified() override               \
    {                                                          \
        return IsModifiedFlag();                               \
    }                                                          \
    bool STDMETHODCALLTYPE SetModified(bool modified) override \
    {                                                          \
        return SetModifiedFlag(modified);                      \
    }                                                          \
    bool STDMETHODCALLTYPE GetClassId(GUID* id) override       \
    {                                                          \
        if (!id)                                               \
            return false;                                      \
        *id = (classId);                                       \
        return true;                                           \
    }
