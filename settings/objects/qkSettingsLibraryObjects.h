#pragma once
// The common library's string and memory objects as the settings objects and name lists take
// and hand them out. Results are settings result codes.
#include <windows.h>
#include <unknwn.h>

#include <string>

#include <wrl/client.h>

#include "common/persist/IMemoryObject.h"

namespace qkSettings {

// A new string object holding a copy of text, one reference for the caller.
DWORD MakeStringObject(const std::wstring& text, IUnknown** out);
// A new memory object holding a copy of the bytes (none when size is 0).
DWORD MakeMemoryObject(const void* data, DWORD size, IUnknown** out);
// The text of a string object; null or another kind of object is an invalid argument.
DWORD ReadStringObject(IUnknown* object, std::wstring& text);
// The memory interface of a memory object, through which its bytes are read while held.
DWORD QueryMemoryObject(IUnknown* object, Microsoft::WRL::ComPtr<IMemoryObject>& memory);

} // namespace qkSettings
