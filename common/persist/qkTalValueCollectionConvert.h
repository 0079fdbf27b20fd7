#pragma once
// Reads a variable-length value out of any value collection into an owning buffer sized from
// the value itself, so that the caller need not ask for the size first.
#include <windows.h>

#include <string>

#include "common/base/qkMemory.h"
#include "common/persist/IValueCollection.h"

class qkTalValueCollectionConvert {
public:
    // ANSI text (a stored wide text is converted); false for a null collection or a missing key.
    static bool GetStringValue(IValueCollection* collection, ULONG key, std::string& out);
    // Wide text (a stored ANSI text is converted).
    static bool GetWStringValue(IValueCollection* collection, ULONG key, std::wstring& out);
    // The block's bytes.
    static bool GetBinaryValue(IValueCollection* collection, ULONG key, qkMemory& out);
};
