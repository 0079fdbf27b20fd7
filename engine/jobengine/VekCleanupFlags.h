#pragma once
// The parts of a run's clean-up (VekJobEngine::CleanUp), combinable; the parts always run in the
// order downloads folder, shortcuts, state file, registry.

namespace vek {

enum CleanupFlags : unsigned {
    eCleanShortcuts = 0x1,
    eCleanDownloads = 0x2,
    eCleanStateFile = 0x4,
    eCleanRegistry = 0x8,
    eCleanAll = 0xFF,
    eCleanAllButDownloads = 0xFD,
};

} // namespace vek
