// StatusProbe: drives an installed product's security-status interface from the console. Binds
// the interface through the registry, runs its operations by the command line or at a prompt,
// and prints each result by name.
#include "statusprobe/ComError.h"
#include "statusprobe/ProbeOptions.h"
#include "statusprobe/ProbeOutput.h"
#include "statusprobe/SdkBinding.h"
#include "statusprobe/StatusConsole.h"
#include "statusprobe/StatusNames.h"

#include <cstdio>
#include <exception>
#include <new>

using Microsoft::WRL::ComPtr;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;

int RunModes(const ProbeOptions& options, SdkBinding& binding)
{
    ComPtr<ISecurityStatus> object = binding.CreateObject();
    const LONG testCode = static_cast<LONG>(static_cast<unsigned long>(PS_STATUS::eFirstOperation) +
                                            static_cast<unsigned long>(options.test));
    if (options.interactive) {
        RunInteractive(object);
    } else if (options.loop != 0) {
        // A negative count runs nothing.
        for (LONG i = 0; i < options.loop; ++i) {
            if (options.test == -1) {
                RunAllCommands(object);
            } else {
                ExecuteCommand(object, testCode, std::wstring());
            }
        }
    } else if (options.test == -1) {
        RunAllCommands(object);
        RunInteractive(object);
    } else {
        ExecuteCommand(object, testCode, std::wstring());
    }
    return kExitOk;
}

void PrintComError(const ComError& error)
{
    ProbePrint(L"_com_error: 0x%08X - %ls\n", static_cast<unsigned>(error.Error()), error.ErrorMessage().c_str());
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const ProbeOptions options = ParseOptions(argc, argv);
    if (!options.valid) {
        PrintUsage(argc > 0 && argv[0] != nullptr ? argv[0] : L"StatusProbe.exe");
        return kExitOk;
    }

    SdkBinding binding;
    if (binding.Load() != SdkBinding::Failure::None) {
        return kExitFailed;
    }

    // Every failure that aborts the run after binding is a COM error: printed, then the DLL is
    // unloaded as after a normal run, and the run counts as failed.
    int exitCode = kExitFailed;
    try {
        exitCode = RunModes(options, binding);
    } catch (const ComError& error) {
        PrintComError(error);
    } catch (const std::bad_alloc&) {
        PrintComError(ComError(E_OUTOFMEMORY));
    } catch (const std::exception&) {
        PrintComError(ComError(E_UNEXPECTED));
    } catch (...) {
        PrintComError(ComError(E_UNEXPECTED));
    }
    binding.Unload();
    std::fflush(stdout);
    return exitCode;
}
