#pragma once
// What one call of the machine-identifier routine knows of the stamp file: the four sections it
// reads and writes, each with its Value and XRef texts and a dirty flag, and the global mutex
// while it is held.
#include "common/system/qkHandle.h"

#include <windows.h>

#include <optional>
#include <string>

struct QuvStampSection {
    std::optional<std::wstring> value;
    std::optional<std::wstring> xref;
    bool dirty = false;
};

struct QuvStampState {
    enum Section { Mid = 0, Stamp, System, Product, Count };

    // Folder that replaces the common application-data folder (tests); empty for the real one.
    std::wstring folderOverride;
    std::wstring sourceName = L"Adapters";
    std::wstring productName;
    qkHandle mutex;
    QuvStampSection sections[Count];

    // "MID", "Stamp_" + source name, "System", "Product_" + product name.
    std::wstring SectionName(int section) const;
};
