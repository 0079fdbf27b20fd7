// The console tool's one way to print: formats a wide text and writes it whole, whatever
// characters it holds. To a console the text goes as UTF-16 (WriteConsoleW); to a pipe or a
// file as UTF-8 through the C runtime's text-mode stdout, so that each line feed still becomes
// CR LF and ASCII text arrives byte for byte as before. (wprintf would convert in the "C" locale
// and cut the text at its first character outside ASCII.)
#pragma once

#include <cstdarg>
#include <string>

void ProbePrint(const wchar_t* format, ...);
void ProbePrintV(const wchar_t* format, va_list args);

// The printf-style text as a wide string; empty when the format cannot be applied. The tool's
// one wide formatter, with the system's meaning of the conversions: %s and %ls take wide text,
// %S and %hs narrow text (the C library's swprintf would read %s as narrow text).
std::wstring ProbeFormatV(const wchar_t* format, va_list args);
std::wstring ProbeFormat(const wchar_t* format, ...);
