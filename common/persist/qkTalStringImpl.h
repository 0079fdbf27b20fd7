#pragma once
// The string object: one text, narrow or wide, that saves itself as typed archive records:
// version (tag 6, 1), type (tag 6), then the text as a tag-7 (narrow) or tag-8 (wide) record.
#include <string>

#include "common/objects/qkTalCountedObject.h"
#include "common/persist/ICloneable.h"
#include "common/persist/ISerializable.h"
#include "common/persist/IStringObject.h"
#include "common/persist/qkTalPersistBase.h"

class qkTalStringImpl : public qkTalCountedObject,
                        public IStringObject,
                        public ISerializable,
                        public ICloneable,
                        public qkTalPersistBase {
public:
    static constexpr LONG Version = 1;

    // A new empty object with one reference, or null when out of memory.
    static IStringObject* Create();
    // A new object holding a copy of the wide text (changed flag clear), or null.
    static IStringObject* CreateWithText(const wchar_t* text);
    // The instance factory's creator.
    static IUnknown* STDAPICALLTYPE CreateObject();

    QK_TAL_UNKNOWN_IMPL()

    void STDMETHODCALLTYPE Clear() override;
    LONG STDMETHODCALLTYPE GetType() override;
    ULONG STDMETHODCALLTYPE GetLength() override;
    const char* STDMETHODCALLTYPE GetStringA() override;
    BOOL STDMETHODCALLTYPE SetStringA(const char* text) override;
    BOOL STDMETHODCALLTYPE SetString(const wchar_t* text) override;
    BOOL STDMETHODCALLTYPE SetString(const char* text) override;
    const wchar_t* STDMETHODCALLTYPE GetStringW() override;
    BOOL STDMETHODCALLTYPE SetStringW(const wchar_t* text) override;

    QK_TAL_SERIALIZABLE_IMPL(CLSID_qkTalString)

    bool STDMETHODCALLTYPE CopyFrom(IUnknown* source) override;
    bool STDMETHODCALLTYPE Clone(IUnknown** clone) override;

    bool Save(qkLib::CArchive& archive) override;
    bool Load(qkLib::CArchive& archive) override;

protected:
    void* GetInterface(REFIID iid) override;

private:
    qkTalStringImpl() = default;

    std::string m_narrow;
    std::wstring m_wide;
    LONG m_eStringType = TypeNone;
};
