#include "image/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>

#include "image/platform.h"
#include "image/utf.h"

#if defined(__MINGW32__)
#define VOLQUILL_VSNPRINTF __mingw_vsnprintf
#else
#define VOLQUILL_VSNPRINTF std::vsnprintf
#endif

bool output_written() { return std::fflush(stdout) == 0 && std::ferror(stdout) == 0; }

void write_utf8_out(const std::string& text) { write_stdout_bytes(text.data(), text.size()); }

#ifdef _WIN32

// The narrow text is UTF-8 (the arguments come from the wide command line);
// the platform layer converts it for the console. Short lines are formatted
// without allocating, so that the out-of-memory message still gets out.
void print_out(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  char fixed[1024];
  const int n = VOLQUILL_VSNPRINTF(fixed, sizeof fixed, format, args);
  if (n >= 0 && static_cast<size_t>(n) < sizeof fixed) {
    write_stdout(fixed, static_cast<size_t>(n));
  } else if (n > 0) {
    std::string text(static_cast<size_t>(n) + 1, '\0');
    VOLQUILL_VSNPRINTF(text.data(), text.size(), format, again);
    write_stdout(text.data(), static_cast<size_t>(n));
  }
  va_end(again);
  va_end(args);
}

#else

void print_out(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
}

#endif

namespace {

// The label line as UTF-8: the wide format's text and %s strings converted,
// %S strings' bytes as given (UTF-8 on Windows, the path's own bytes elsewhere).
std::string format_wide(const wchar_t* format, va_list args) {
  std::string line;
  for (const wchar_t* f = format; *f != 0; ++f) {
    if (*f == L'%' && f[1] == L'S') {
      line += va_arg(args, const char*);
      ++f;
    } else if (*f == L'%' && f[1] == L's') {
      const char16_t* units = va_arg(args, const char16_t*);
      size_t n = 0;
      while (units[n] != 0) ++n;
      utf16_to_utf8(std::span<const char16_t>(units, n), &line);
      ++f;
    } else if (*f == L'%' && f[1] == L'%') {
      line += '%';
      ++f;
    } else {
      std::string piece;
      const char16_t unit[2] = {static_cast<char16_t>(*f), 0};
      utf16_to_utf8(unit, &piece);
      line += piece;
    }
  }
  return line;
}

}  // namespace

#ifdef _WIN32

#include <cwchar>
#include <vector>

// Standard output is switched to UTF-16 text, which reaches a console as
// characters and a file as UTF-16LE.
void wprint_out(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string line = format_wide(format, args);
  va_end(args);
  std::vector<char16_t> units(line.size() + 1, u'\0');
  utf8_to_utf16(line.c_str(), units);
  std::fflush(stdout);
  set_stdout_utf16();
  std::fputws(std::wstring(units.begin(), units.end()).c_str(), stdout);
}

#else

void wprint_out(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string line = format_wide(format, args);
  va_end(args);
  write_stdout(line.data(), line.size());
}

#endif
