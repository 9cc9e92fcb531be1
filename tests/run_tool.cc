#include "run_tool.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

namespace {

// Windows-1252 bytes 0x80-0x9F; the five the code page leaves undefined map to
// the C1 control of the same value, as MultiByteToWideChar maps them.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char32_t windows1252_to_unicode(unsigned char byte) {
  return byte >= 0x80 && byte < 0xA0 ? kWindows1252High[byte - 0x80] : byte;
}

void append_utf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
    return;
  }
  const int extra = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
  static constexpr unsigned char kLead[] = {0, 0xC0, 0xE0, 0xF0};
  out->push_back(static_cast<char>(kLead[extra] | (c >> (6 * extra))));
  for (int shift = 6 * (extra - 1); shift >= 0; shift -= 6) {
    out->push_back(static_cast<char>(0x80 | ((c >> shift) & 0x3F)));
  }
}

// Code points of UTF-8 `text`; false when it is not valid UTF-8.
bool decode_utf8(const std::string& text, std::u32string* out) {
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3
                                        : (lead & 0xF8) == 0xF0   ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    char32_t c = length == 1 ? lead : lead & (0x7Fu >> length);
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = (c << 6) | (next & 0x3Fu);
    }
    out->push_back(c);
    i += length;
  }
  return true;
}

std::string without_carriage_returns(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out.push_back(text[i]);
  }
  return out;
}

bool windows_output_expected() {
  const char* mode = std::getenv("VOLQUILL_STDOUT");
  return mode != nullptr && std::strcmp(mode, "windows-1252") == 0;
}

std::vector<std::string> command_line(const std::vector<std::string>& args, const std::vector<std::string>& prefix) {
  std::vector<std::string> command = prefix;
  if (const char* runner = std::getenv("VOLQUILL_RUNNER"); runner != nullptr && *runner != 0) {
    std::istringstream words(runner);
    for (std::string word; words >> word;) command.push_back(word);
  }
  const char* binary = std::getenv("VOLQUILL_BINARY");
  command.push_back(binary != nullptr && *binary != 0 ? binary : VOLQUILL_BUILT_BINARY);
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

// Narrow text comes first; the label line, if any, is last and is UTF-16LE.
// Narrow text holds no zero byte, and the label line starts with an ASCII
// letter, whose second byte is zero: that is where the UTF-16 part begins.
std::string normalise_windows_output(const std::string& raw) {
  const size_t zero = raw.find('\0');
  const size_t wide_start = zero == std::string::npos || zero == 0 ? raw.size() : zero - 1;
  std::string out;
  for (size_t i = 0; i < wide_start; ++i) {
    append_utf8(windows1252_to_unicode(static_cast<unsigned char>(raw[i])), &out);
  }
  std::u16string units;
  for (size_t i = wide_start; i + 1 < raw.size(); i += 2) {
    units.push_back(static_cast<char16_t>(static_cast<unsigned char>(raw[i]) |
                                          static_cast<unsigned char>(raw[i + 1]) << 8));
  }
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t c = units[i];
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00u);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    append_utf8(c, &out);
  }
  return without_carriage_returns(out);
}

}  // namespace

ToolResult run_tool(const std::vector<std::string>& args, const ToolOptions& options) {
  const std::vector<std::string> command = command_line(args, options.prefix);
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]), close(out_pipe[1]), close(err_pipe[0]), close(err_pipe[1]);
    if (options.file_size_limit != 0) {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{options.file_size_limit, options.file_size_limit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  ToolResult result;
  // Read both pipes until both close, so that neither can fill and block.
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_pipes = 2;
  while (open_pipes > 0) {
    if (poll(fds, 2, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP)) != 0) {
        char chunk[4096];
        const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
        if (n > 0) {
          (i == 0 ? result.out : result.err).append(chunk, static_cast<size_t>(n));
        } else {
          close(fds[i].fd);
          fds[i].fd = -1;
          --open_pipes;
        }
      }
    }
  }
  int status = 0;
  waitpid(child, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.raw_out = result.out;
  if (windows_output_expected()) result.out = normalise_windows_output(result.raw_out);
  return result;
}

std::string expected_processor() {
  const char* processor = std::getenv("VOLQUILL_PROCESSOR");
  return processor != nullptr && *processor != 0 ? processor : VOLQUILL_TEST_PROCESSOR;
}

bool tool_is_windows_build() {
  return windows_output_expected();
}

std::string as_narrow_output(const std::string& text) {
  std::u32string code_points;
  if (!windows_output_expected() || !decode_utf8(text, &code_points)) return text;
  std::string out;
  for (char32_t c : code_points) {
    // Only the characters the code page itself defines above 0x7F.
    const bool in_code_page =
        c < 0x80 || (c >= 0xA0 && c <= 0xFF) ||
        std::any_of(std::begin(kWindows1252High), std::end(kWindows1252High),
                    [c](char16_t unit) { return unit == c && (unit < 0x80 || unit > 0x9F); });
    // WideCharToMultiByte gives one '?' per UTF-16 unit: two for a
    // character above U+FFFF.
    if (!in_code_page && c > 0xFFFF) out += '?';
    append_utf8(in_code_page ? c : U'?', &out);
  }
  return out;
}

std::u16string utf16_of(const std::string& text) {
  std::u32string code_points;
  if (!decode_utf8(text, &code_points)) return {};
  std::u16string units;
  for (char32_t c : code_points) {
    if (c >= 0x10000) {
      units += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      units += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      units += static_cast<char16_t>(c);
    }
  }
  return units;
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/volquill.XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr) path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path.empty()) std::filesystem::remove_all(path, ignored);
}
