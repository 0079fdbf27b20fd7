#include "common/persist/qkTalPersistBase.h"

#include "common/base/qkScopedLock.h"
#include "common/base/qkTrace.h"
#include "common/persist/qkDummyArchive.h"
#include "common/persist/qkTalStreamArchive.h"

bool qkTalPersistBase::GetPersistSize(ULONGLONG* size)
{
    qkScopedLock lock(GetLock());
    if (!size)
        return false;
    if (m_sizeCaching && m_cachedSize != 0 && !m_changed) {
        *size = m_cachedSize;
        return true;
    }
    *size = 0;
    qkDummyArchive counter(qkLib::CArchive::ModeWrite);
    if (!Save(counter)) {
        QK_TRACE(L"measuring the object failed");
        return false;
    }
    *size = counter.GetByteCount();
    if (m_sizeCaching)
        m_cachedSize = *size;
    return true;
}

bool qkTalPersistBase::SaveToStream(IByteStream* stream)
{
    qkScopedLock lock(GetLock());
    qkTalStreamArchive archive(qkLib::CArchive::ModeWrite);
    if (!archive.Attach(stream)) {
        QK_TRACE(L"no stream to save into");
        return false;
    }
    ULONGLONG before = 0;
    const bool measure = m_sizeCaching && archive.GetPosition(&before);
    if (!Save(archive)) {
        QK_TRACE(L"saving the object failed");
        return false;
    }
    ULONGLONG after = 0;
    if (measure && archive.GetPosition(&after))
        m_cachedSize = after - before;
    m_changed = false;
    return true;
}

bool qkTalPersistBase::LoadFromStream(IByteStream* stream)
{
    qkScopedLock lock(GetLock());
    qkTalStreamArchive archive(qkLib::CArchive::ModeRead);
    if (!archive.Attach(stream)) {
        QK_TRACE(L"no stream to load from");
        return false;
    }
    if (!Load(archive)) {
        QK_TRACE(L"loading the object failed");
        return false;
    }
    m_cachedSize = 0;
    m_changed = false;
    return true;
}

bool qkTalPersistBase::IsModifiedFlag()
{
    qkScopedLock lock(GetLock());
    return m_changed;
}

bool qkTalPersistBase::SetModifiedFlag(bool modified)
{
    qkScopedLock lock(GetLock());
    m_changed = modified;
    if (modified)
        m_cachedSize = 0;
    return true;
}

bool qkTalPersistBase::SetSizeCachingFlag(bool on)
{
    qkScopedLock lock(GetLock());
    m_sizeCaching = on;
    return true;
}

bool qkTalPersistBase::GetSizeCachingFlag()
{
    qkScopedLock lock(GetLock());
    return m_sizeCaching;
}
