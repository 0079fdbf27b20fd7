#pragma once
// Ids of the strings that more than one window loads from the string table.

namespace vek {

enum VekSharedStringId : int {
    kStringQuitQuestion = 156, // whether to stop the installation and quit
    kStringLayout = 173,       // "RTL" in the languages written from right to left
    kStringInitializing = 222,
    kStringClose = 223,
};

} // namespace vek
