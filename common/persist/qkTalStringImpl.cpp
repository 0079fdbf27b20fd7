#include "common/persist/qkTalStringImpl.h"

#include <wrl/client.h>

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkScopedLock.h"
#include "common/base/qkStringConvert.h"
#include "common/base/qkTrace.h"
#include "common/persist/CPersist.h"

IStringObject* qkTalStringImpl::Create()
{
    qkExceptionInfo info;
    try {
        IStringObject* object = new qkTalStringImpl();
        object->AddRef();
        return object;
    }
    QK_CATCH(info)
    QK_TRACE(L"%s", info.GetFullText());
    return nullptr;
}

IStringObject* qkTalStringImpl::CreateWithText(const wchar_t* text)
{
    IStringObject* object = Create();
    if (object && !static_cast<qkTalStringImpl*>(object)->SetStringW(text)) {
        object->Release();
        return nullptr;
    }
    if (object)
        static_cast<qkTalStringImpl*>(object)->m_changed = false;
    return object;
}

IUnknown* STDAPICALLTYPE qkTalStringImpl::CreateObject()
{
    return Create();
}

void* qkTalStringImpl::GetInterface(REFIID iid)
{
    if (iid == GUID_NULL || iid == CLSID_qkTalString || iid == IID_IUnknown)
        return static_cast<IStringObject*>(this);
    if (iid == IID_ISerializable)
        return static_cast<ISerializable*>(this);
    if (iid == IID_ICloneable)
        return static_cast<ICloneable*>(this);
    return nullptr;
}

void STDMETHODCALLTYPE qkTalStringImpl::Clear()
{
    qkScopedLock lock(GetLock());
    m_narrow.clear();
    m_wide.clear();
    m_eStringType = TypeNone;
    m_changed = false;
}

LONG STDMETHODCALLTYPE qkTalStringImpl::GetType()
{
    qkScopedLock lock(GetLock());
    return m_eStringType;
}

ULONG STDMETHODCALLTYPE qkTalStringImpl::GetLength()
{
    qkScopedLock lock(GetLock());
    switch (m_eStringType) {
    case TypeNone:
        return 0;
    case TypeAnsi:
        return static_cast<ULONG>(m_narrow.size());
    case TypeWide:
        return static_cast<ULONG>(m_wide.size());
    default:
        QK_TRACE(L"unknown string type %ld", m_eStringType);
        return 0;
    }
}

const char* STDMETHODCALLTYPE qkTalStringImpl::GetStringA()
{
    qkScopedLock lock(GetLock());
    if (m_eStringType == TypeWide && !qkStringConvert::WideToAnsi(m_wide.c_str(), m_narrow))
        QK_TRACE(L"conversion to narrow text failed");
    return m_narrow.c_str();
}

const wchar_t* STDMETHODCALLTYPE qkTalStringImpl::GetStringW()
{
    qkScopedLock lock(GetLock());
    if (m_eStringType == TypeAnsi && !qkStringConvert::AnsiToWide(m_narrow.c_str(), m_wide))
        QK_TRACE(L"conversion to wide text failed");
    return m_wide.c_str();
}

BOOL STDMETHODCALLTYPE qkTalStringImpl::SetStringA(const char* text)
{
    qkScopedLock lock(GetLock());
    Clear();
    if (!qkStringConvert::CopyAnsi(text, m_narrow)) {
        QK_TRACE(L"copy of the text failed");
        return FALSE;
    }
    m_eStringType = TypeAnsi;
    m_changed = true;
    return TRUE;
}

BOOL STDMETHODCALLTYPE qkTalStringImpl::SetStringW(const wchar_t* text)
{
    qkScopedLock lock(GetLock());
    Clear();
    if (!qkStringConvert::Copy(text, m_wide)) {
        QK_TRACE(L"copy of the text failed");
        return FALSE;
    }
    m_eStringType = TypeWide;
    m_changed = true;
    return TRUE;
}

BOOL STDMETHODCALLTYPE qkTalStringImpl::SetString(const wchar_t* text)
{
    return SetStringW(text);
}

BOOL STDMETHODCALLTYPE qkTalStringImpl::SetString(const char* text)
{
    return SetStringA(text);
}

bool STDMETHODCALLTYPE qkTalStringImpl::CopyFrom(IUnknown* source)
{
    qkScopedLock lock(GetLock());
    Microsoft::WRL::ComPtr<IStringObject> other;
    if (!source ||
        QkFailed(source->QueryInterface(CLSID_qkTalString, reinterpret_cast<void**>(other.GetAddressOf())))) {
        QK_TRACE(L"not a string object");
        return false;
    }
    // Read the other's text first, so that copying from itself keeps the text.
    const LONG type = other->GetType();
    BOOL ok = FALSE;
    if (type == TypeNone) {
        Clear();
        ok = TRUE;
    } else if (type == TypeAnsi) {
        std::string text;
        ok = qkStringConvert::CopyAnsi(other->GetStringA(), text) && SetStringA(text.c_str());
    } else if (type == TypeWide) {
        std::wstring text;
        ok = qkStringConvert::Copy(other->GetStringW(), text) && SetStringW(text.c_str());
    }
    if (!ok) {
        QK_TRACE(L"copy of a string of type %ld failed", type);
        return false;
    }
    m_changed = true;
    return true;
}

bool STDMETHODCALLTYPE qkTalStringImpl::Clone(IUnknown** clone)
{
    if (!clone)
        return false;
    if (*clone) {
        (*clone)->Release();
        *clone = nullptr;
    }
    qkScopedLock lock(GetLock());
    qkExceptionInfo info;
    try {
        auto* copy = new qkTalStringImpl();
        copy->m_narrow = m_narrow;
        copy->m_wide = m_wide;
        copy->m_eStringType = m_eStringType;
        *clone = static_cast<IStringObject*>(copy);
        (*clone)->AddRef();
        return true;
    }
    QK_CATCH(info)
    QK_TRACE(L"%s", info.GetFullText());
    return false;
}

bool qkTalStringImpl::Save(qkLib::CArchive& archive)
{
    if (!archive.WriteLong(Version)) {
        QK_TRACE(L"Archive.Write(CStringImpl::Version) == FALSE");
        return false;
    }
    if (!CPersist::Write(m_eStringType, &archive)) {
        QK_TRACE(L"CPersist::Write(static_cast<long>(m_eStringType)) == false");
        return false;
    }
    switch (m_eStringType) {
    case TypeNone:
        return true;
    case TypeAnsi:
        return archive.WriteString(m_narrow) != FALSE;
    case TypeWide:
        return archive.WriteWString(m_wide) != FALSE;
    default:
        QK_TRACE(L"unknown string type %ld", m_eStringType);
        return false;
    }
}

bool qkTalStringImpl::Load(qkLib::CArchive& archive)
{
    LONG version = 0;
    if (!archive.ReadLong(&version)) {
        QK_TRACE(L"Archive.Read(nVersion) == FALSE");
        return false;
    }
    if (version != Version) {
        QK_TRACE(L"switch(default) : version %ld", version);
        return false;
    }
    m_narrow.clear();
    m_wide.clear();
    if (!CPersist::Read(m_eStringType, &archive)) {
        QK_TRACE(L"CPersist::Read(reinterpret_cast<long&>(m_eStringType)) == false");
        return false;
    }
    switch (m_eStringType) {
    case TypeNone:
        return true;
    case TypeAnsi:
        return archive.ReadString(m_narrow) != FALSE;
    case TypeWide:
        return archive.ReadWString(m_wide) != FALSE;
    default:
        QK_TRACE(L"unknown string type %ld", m_eStringType);
        return false;
    }
}

BOOL qkLib::GetStringObjectText(IStringObject* object, std::wstring& out)
{
    if (!object)
        return FALSE;
    switch (object->GetType()) {
    case IStringObject::TypeAnsi:
        return qkStringConvert::AnsiToWide(object->GetStringA(), out);
    case IStringObject::TypeWide:
        return qkStringConvert::Copy(object->GetStringW(), out);
    default:
        out.clear();
        return TRUE;
    }
}
