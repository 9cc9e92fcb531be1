// The tool's output: every message goes to standard output through these.
#pragma once

#include <string>

// MinGW's g++ checks `printf` formats against msvcrt.dll's rules, which lack
// %zu; print_out formats with MinGW's own C99 printf there (clang knows no
// gnu_printf and checks the C99 rules anyway).
#if defined(__MINGW32__) && !defined(__clang__)
#define VOLQUILL_PRINTF_FORMAT gnu_printf
#else
#define VOLQUILL_PRINTF_FORMAT printf
#endif

// printf-style narrow output. On Windows the text is UTF-8 and is written to
// a console as UTF-16, else in the ANSI code page (see write_stdout).
void print_out(const char* format, ...) __attribute__((format(VOLQUILL_PRINTF_FORMAT, 1, 2)));

// Flushes standard output; false when anything written to it was lost (a
// full disk, a closed pipe, /dev/full), which makes the run fail.
bool output_written();

// Writes UTF-8 `text` to standard output as it is, on every platform.
void write_utf8_out(const std::string& text);

// Wide formatted output, used for the label line. The format follows the
// legacy wide rules: %S takes a narrow (char) string, %s a UTF-16 string, %%
// a percent sign. On Windows the narrow string is UTF-8 and the line is
// written as UTF-16 text; elsewhere it is written as UTF-8, the narrow
// string's bytes as given. Unpaired surrogates become U+FFFD.
void wprint_out(const wchar_t* format, ...);
