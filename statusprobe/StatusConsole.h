// The console's operations: the menu, one operation, all operations, and the interactive prompt.
// Each call that takes the object holds a reference of its own for its duration.
#pragma once

#include "statusprobe/ISecurityStatus.h"

#include <wrl/client.h>
#include <string>

// Lists menu numbers 0..54 with the operation names, after the prompt's header when asked.
void ShowMenu(bool header);

// Runs one operation and prints one line: "Executing <name>... " and the result, the error by
// name or the failing HRESULT. The parameter travels as VT_BSTR when not empty, else as VT_I4 0.
void ExecuteCommand(Microsoft::WRL::ComPtr<ISecurityStatus> object, LONG code, const std::wstring& parameter);

// Every code of the menu in ascending order, without parameter.
void RunAllCommands(Microsoft::WRL::ComPtr<ISecurityStatus> object);

// The "StatusTest> " prompt on narrow lines of the standard input; returns on e/q or at the end
// of the input.
void RunInteractive(Microsoft::WRL::ComPtr<ISecurityStatus> object);
