#include "services/launcher/VekResultCodes.h"

#include <algorithm>
#include <iterator>

namespace vek {

namespace {

#define VEK_RESULT_CODE_ROW(name, offset, meaning) {name, L## #name, meaning},
constexpr ResultCodeInfo kResultCodes[] = {VEK_RESULT_CODES(VEK_RESULT_CODE_ROW)};
#undef VEK_RESULT_CODE_ROW

#define VEK_EXIT_CODE_ROW(name, value, situation) {name, L## #name, situation},
constexpr ExitCodeInfo kExitCodes[] = {VEK_EXIT_CODES(VEK_EXIT_CODE_ROW)};
#undef VEK_EXIT_CODE_ROW

// 11 names no situation of this version but stays in the set.
constexpr int32_t kDeploymentRemovalExitCodes[] = {
    ExitPrerequisites,        PageAttentionAfterSuccess, ExitUserQuit,          11, ExitNoConnectionToken,
    ExitOmblNotForThisSystem, PageBackendNotReachable,   ExitOmblWithoutProduct};
constexpr int32_t kSilentExitCodes[] = {ExitJobEvent7,       ExitPrerequisites, PageAttentionAfterSuccess,
                                        ExitSilentJobResult, ExitUserQuit,      PageBackendNotReachable};

template <typename Range>
bool Contains(const Range& range, int32_t value)
{
    return std::find(std::begin(range), std::end(range), value) != std::end(range);
}

} // namespace

std::span<const ResultCodeInfo> ResultCodes()
{
    return kResultCodes;
}

const ResultCodeInfo* FindResultCode(HRESULT value)
{
    for (const ResultCodeInfo& row : kResultCodes) {
        if (row.value == value) {
            return &row;
        }
    }
    return nullptr;
}

std::span<const ExitCodeInfo> ExitCodes()
{
    return kExitCodes;
}

const ExitCodeInfo* FindExitCode(int32_t value)
{
    for (const ExitCodeInfo& row : kExitCodes) {
        if (row.value == value) {
            return &row;
        }
    }
    return nullptr;
}

bool IsDeploymentRemovalExitCode(int32_t exitCode)
{
    return Contains(kDeploymentRemovalExitCodes, exitCode);
}

bool IsSilentExitCode(int32_t exitCode)
{
    return Contains(kSilentExitCodes, exitCode);
}

} // namespace vek
