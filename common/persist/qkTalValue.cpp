#include "common/persist/qkTalValue.h"

#include <cstring>
#include <new>

#include <wrl/client.h>

#include "common/base/qkExceptionInfo.h"
#include "common/base/qkStringConvert.h"
#include "common/base/qkTrace.h"
#include "common/objects/qkTalResult.h"
#include "common/persist/ICloneable.h"
#include "common/persist/ISerializable.h"
#include "common/persist/qkDummyArchive.h"

namespace {

// Archive tag and size of the fixed kinds, by kind.
constexpr BYTE kTag[13] = {0, 10, 12, 1, 13, 2, 6, 3, 14, 4, 5, 15, 16};
constexpr ULONG kSize[13] = {0, 1, 1, 1, 2, 2, 4, 4, 8, 8, 8, 16, 16};

// Conversion targets by source kind, as a bit mask over the target kinds.
constexpr ULONG Bits(std::initializer_list<int> kinds)
{
    ULONG mask = 0;
    for (int k : kinds)
        mask |= 1u << k;
    return mask;
}
constexpr ULONG kTargets[18] = {
    0,                                  // eEmpty
    Bits({2, 3, 4, 5, 6, 7, 8, 9, 10}), // eBool
    Bits({1, 3, 4, 5, 6, 7, 8, 9, 10}), // eInt8
    Bits({1, 2, 4, 5, 6, 7, 8, 9, 10}), // eUInt8
    Bits({1, 5, 6, 7, 8, 9, 10}),       // eInt16
    Bits({1, 4, 6, 7, 8, 9, 10}),       // eUInt16
    Bits({1, 7, 8, 9, 10}),             // eInt32
    Bits({1, 6, 8, 9, 10}),             // eUInt32
    Bits({1, 9, 10}),                   // eInt64
    Bits({1, 8, 10}),                   // eUInt64
    Bits({1}),                          // eDouble
    0,
    0,          // eGuid, eSystemTime
    Bits({14}), // eString
    Bits({13}), // eWString
    0,
    0,
    0, // eBinary, eVariant, eObject
};

bool IsSigned(ULONG kind)
{
    return kind == qkTalValue::eInt8 || kind == qkTalValue::eInt16 || kind == qkTalValue::eInt32 ||
           kind == qkTalValue::eInt64;
}

// Loads nested in loads (objects inside collections inside objects) are capped per thread, so
// that deep data fails instead of exhausting the stack.
thread_local int t_objectNesting = 0;

} // namespace

BYTE qkTalValue::TagOf(ULONG kind)
{
    return kind <= 12 ? kTag[kind] : 0;
}

ULONG qkTalValue::FixedSizeOf(ULONG kind)
{
    return kind <= 12 ? kSize[kind] : 0;
}

qkTalValue::qkTalValue(const qkTalValue& other)
{
    *this = other;
}

qkTalValue& qkTalValue::operator=(const qkTalValue& other)
{
    if (this != &other && !Copy(other, false))
        QK_TRACE(L"copy of a value of kind %u failed", other.m_kind);
    return *this;
}

qkTalValue::~qkTalValue()
{
    Clear();
}

void* qkTalValue::GetData()
{
    return (m_kind >= eBool && m_kind <= eSystemTime) ? m_payload.raw : nullptr;
}

void qkTalValue::Clear()
{
    switch (m_kind) {
    case eString:
        delete m_payload.narrow;
        break;
    case eWString:
        delete m_payload.wide;
        break;
    case eBinary:
        delete m_payload.block;
        break;
    case eVariant:
        VariantClear(m_payload.variant);
        delete m_payload.variant;
        break;
    case eObject:
        if (m_payload.object)
            m_payload.object->Release();
        break;
    default:
        break;
    }
    std::memset(&m_payload, 0, sizeof(m_payload));
    m_kind = eEmpty;
}

bool qkTalValue::SetType(ULONG kind)
{
    Clear();
    if (kind > kLastType) {
        QK_TRACE(L"unknown kind %lu", kind);
        return false;
    }
    qkExceptionInfo info;
    try {
        switch (kind) {
        case eString:
            m_payload.narrow = new std::string();
            break;
        case eWString:
            m_payload.wide = new std::wstring();
            break;
        case eBinary:
            m_payload.block = new qkMemory();
            break;
        case eVariant:
            m_payload.variant = new VARIANT;
            VariantInit(m_payload.variant);
            break;
        default:
            break;
        }
    }
    QK_CATCH(info)
    if (info.HasError()) {
        QK_TRACE(L"%s", info.GetFullText());
        std::memset(&m_payload, 0, sizeof(m_payload));
        return false;
    }
    m_kind = static_cast<EType>(kind);
    return true;
}

bool qkTalValue::CopyObject(IUnknown* source, IUnknown** destination, bool clone)
{
    if (!source || !destination) {
        QK_TRACE(L"no object to copy");
        return false;
    }
    if (*destination) {
        (*destination)->Release();
        *destination = nullptr;
    }
    if (!clone) {
        source->AddRef();
        *destination = source;
        return true;
    }
    Microsoft::WRL::ComPtr<ICloneable> cloneable;
    if (QkFailed(source->QueryInterface(IID_ICloneable, reinterpret_cast<void**>(cloneable.GetAddressOf())))) {
        QK_TRACE(L"object cannot be cloned");
        return false;
    }
    return cloneable->Clone(destination);
}

bool qkTalValue::Copy(const qkTalValue& source, bool cloneObjects)
{
    if (this == &source)
        return true;
    if (!SetType(source.m_kind))
        return false;
    bool ok = true;
    qkExceptionInfo info;
    try {
        switch (m_kind) {
        case eString:
            *m_payload.narrow = *source.m_payload.narrow;
            break;
        case eWString:
            *m_payload.wide = *source.m_payload.wide;
            break;
        case eBinary:
            ok = source.m_payload.block->GetSize() == 0 || m_payload.block->Copy(*source.m_payload.block);
            break;
        case eVariant:
            ok = SUCCEEDED(VariantCopyInd(m_payload.variant, source.m_payload.variant));
            break;
        case eObject:
            ok = !source.m_payload.object || CopyObject(source.m_payload.object, &m_payload.object, cloneObjects);
            break;
        default:
            std::memcpy(m_payload.raw, source.m_payload.raw, sizeof(m_payload.raw));
            break;
        }
    }
    QK_CATCH(info)
    if (!ok || info.HasError()) {
        QK_TRACE(L"copy of a value of kind %u failed", source.m_kind);
        Clear();
        return false;
    }
    return true;
}

bool qkTalValue::ConvertNumber(ULONG kind)
{
    // The old value, widened by its own signedness.
    LONGLONG s = 0;
    ULONGLONG u = 0;
    double d = 0.0;
    const ULONG from = m_kind;
    switch (from) {
    case eBool:
        u = m_payload.raw[0] ? 1 : 0;
        s = static_cast<LONGLONG>(u);
        break;
    case eInt8:
        s = *reinterpret_cast<const signed char*>(m_payload.raw);
        break;
    case eUInt8:
        u = m_payload.raw[0];
        break;
    case eInt16:
        s = *reinterpret_cast<const SHORT*>(m_payload.raw);
        break;
    case eUInt16:
        u = *reinterpret_cast<const USHORT*>(m_payload.raw);
        break;
    case eInt32:
        s = *reinterpret_cast<const LONG*>(m_payload.raw);
        break;
    case eUInt32:
        u = *reinterpret_cast<const ULONG*>(m_payload.raw);
        break;
    case eInt64:
        s = *reinterpret_cast<const LONGLONG*>(m_payload.raw);
        break;
    case eUInt64:
        u = *reinterpret_cast<const ULONGLONG*>(m_payload.raw);
        break;
    case eDouble:
        std::memcpy(&d, m_payload.raw, 8);
        break;
    default:
        return false;
    }
    const bool isSigned = IsSigned(from);
    if (isSigned)
        u = static_cast<ULONGLONG>(s);
    bool truth = false;
    if (from == eDouble)
        truth = d > 0.0;
    else
        truth = isSigned ? s > 0 : u != 0;
    const double asDouble = from == eDouble ? d : (isSigned ? static_cast<double>(s) : static_cast<double>(u));
    if (!SetType(kind))
        return false;
    if (kind == eBool)
        m_payload.raw[0] = truth ? 1 : 0;
    else if (kind == eDouble)
        std::memcpy(m_payload.raw, &asDouble, 8);
    else
        std::memcpy(m_payload.raw, &u, kSize[kind]); // the low bytes: little-endian truncation
    return true;
}

bool qkTalValue::ConvertText(ULONG kind)
{
    qkExceptionInfo info;
    try {
        if (m_kind == eString) {
            const std::string old = *m_payload.narrow;
            if (!SetType(kind))
                return false;
            return qkStringConvert::AnsiToWide(old.c_str(), *m_payload.wide) != FALSE;
        }
        const std::wstring old = *m_payload.wide;
        if (!SetType(kind))
            return false;
        return qkStringConvert::WideToAnsi(old.c_str(), *m_payload.narrow) != FALSE;
    }
    QK_CATCH(info)
    QK_TRACE(L"%s", info.GetFullText());
    return false;
}

bool qkTalValue::ChangeType(ULONG kind, bool testOnly)
{
    if (kind == m_kind)
        return true;
    if (kind > kLastType || !(kTargets[m_kind] & (1u << kind)))
        return false;
    if (testOnly)
        return true;
    if (m_kind == eString || m_kind == eWString)
        return ConvertText(kind);
    return ConvertNumber(kind);
}

ULONG qkTalValue::GetSize() const
{
    switch (m_kind) {
    case eEmpty:
        return 0;
    case eString:
        return static_cast<ULONG>(m_payload.narrow->size() + 1);
    case eWString:
        return static_cast<ULONG>(2 * m_payload.wide->size() + 2);
    case eBinary:
        return m_payload.block->GetSize();
    case eVariant: {
        qkDummyArchive counter(qkLib::CArchive::ModeWrite);
        if (!counter.WriteVariant(*m_payload.variant)) {
            QK_TRACE(L"variant cannot be measured");
            return 0;
        }
        return static_cast<ULONG>(counter.GetByteCount());
    }
    case eObject: {
        Microsoft::WRL::ComPtr<ISerializable> serializable;
        ULONGLONG size = 0;
        if (!m_payload.object ||
            QkFailed(m_payload.object->QueryInterface(IID_ISerializable,
                                                      reinterpret_cast<void**>(serializable.GetAddressOf()))) ||
            !serializable->GetSize(&size))
            return 0;
        return static_cast<ULONG>(size);
    }
    default:
        return kSize[m_kind];
    }
}

bool qkTalValue::Save(qkLib::CArchive& archive) const
{
    if (!archive.WriteUInt8(m_kind)) {
        QK_TRACE(L"kind not written");
        return false;
    }
    switch (m_kind) {
    case eEmpty:
        return true;
    case eString:
        return archive.WriteString(*m_payload.narrow) != FALSE;
    case eWString:
        return archive.WriteWString(*m_payload.wide) != FALSE;
    case eBinary:
        return archive.WriteBlob(*m_payload.block) != FALSE;
    case eVariant:
        return archive.WriteVariant(*m_payload.variant) != FALSE;
    case eObject: {
        Microsoft::WRL::ComPtr<ISerializable> serializable;
        ULONGLONG size = 0;
        GUID classId{};
        if (!m_payload.object ||
            QkFailed(m_payload.object->QueryInterface(IID_ISerializable,
                                                      reinterpret_cast<void**>(serializable.GetAddressOf()))) ||
            !serializable->GetSize(&size) || !serializable->GetClassId(&classId)) {
            QK_TRACE(L"object cannot be saved");
            return false;
        }
        Microsoft::WRL::ComPtr<IByteStream> stream;
        if (!archive.WriteBlob(&classId, 16) ||
            !archive.WriteStreamValue(static_cast<ULONG>(size), stream.GetAddressOf()) ||
            !serializable->Save(stream.Get())) {
            QK_TRACE(L"object not written");
            return false;
        }
        return true;
    }
    default:
        return archive.WriteValue(kTag[m_kind], m_payload.raw, kSize[m_kind]) != FALSE;
    }
}

bool qkTalValue::Load(qkTalObjectCreator* creator, qkLib::CArchive& archive)
{
    Clear();
    BYTE kind = 0;
    if (!archive.ReadUInt8(&kind)) {
        QK_TRACE(L"no kind record");
        return false;
    }
    if (!SetType(kind))
        return false;
    switch (m_kind) {
    case eEmpty:
        return true;
    case eString:
        return archive.ReadString(*m_payload.narrow) != FALSE;
    case eWString:
        return archive.ReadWString(*m_payload.wide) != FALSE;
    case eBinary:
        return archive.ReadBlob(*m_payload.block) != FALSE;
    case eVariant:
        return archive.ReadVariant(m_payload.variant) != FALSE;
    case eObject: {
        GUID classId{};
        ULONG read = 0;
        if (!archive.ReadBlob(&classId, 16, &read) || read != 16) {
            QK_TRACE(L"no object id record");
            return false;
        }
        if (t_objectNesting >= qkLib::CArchive::kMaxNesting) {
            QK_TRACE(L"objects nested deeper than %d", qkLib::CArchive::kMaxNesting);
            return false;
        }
        if (!creator || !creator->CreateObject(classId, &m_payload.object) || !m_payload.object) {
            QK_TRACE(L"object of the stored id cannot be created");
            return false;
        }
        Microsoft::WRL::ComPtr<ISerializable> serializable;
        Microsoft::WRL::ComPtr<IByteStream> stream;
        if (QkFailed(m_payload.object->QueryInterface(IID_ISerializable,
                                                      reinterpret_cast<void**>(serializable.GetAddressOf()))) ||
            !archive.ReadStreamValue(stream.GetAddressOf())) {
            QK_TRACE(L"no object data record");
            return false;
        }
        ++t_objectNesting;
        const bool ok = serializable->Load(stream.Get());
        --t_objectNesting;
        return ok;
    }
    default:
        return archive.ReadValue(kTag[m_kind], m_payload.raw, kSize[m_kind]) != FALSE;
    }
}
