#include "image/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>

#include "image/platform.h"
#include "image/utf.h"

void print_out(const char* format, ...) {
  va_list args;
  va_start(args, format);
#if defined(__MINGW32__)
  __mingw_vfprintf(stdout, format, args);
#else
  std::vprintf(format, args);
#endif
  va_end(args);
}

#ifdef _WIN32

#include <cwchar>

// The wide format keeps the C runtime's legacy meaning, %S a narrow string and
// %s a wide one. MinGW's C99 printf, which its C++ headers make the default,
// reads them the other way round, so msvcrt.dll's own vfwprintf is called.
void wprint_out(const wchar_t* format, ...) {
  std::fflush(stdout);
  set_stdout_utf16();
  va_list args;
  va_start(args, format);
#if defined(__MINGW32__)
  __ms_vfwprintf(stdout, format, args);
#else
  std::vfwprintf(stdout, format, args);
#endif
  va_end(args);
}

#else

void wprint_out(const wchar_t* format, ...) {
  std::string line;
  va_list args;
  va_start(args, format);
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
  va_end(args);
  write_stdout(line.data(), line.size());
}

#endif
