// The `concurrency` argument: "cpu", "gpu" or "gpu+cpu" (also "gpu_cpu" and "gpucpu"), ASCII
// case-insensitive. Every mode runs on the CPU; the text is still checked.
//
//   ConcurrencyParse p = parse_concurrency(text);
//   if (!p.mode) -> reject with p.error (the binding raises ValueError with it)
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace simsieve {

enum class ConcurrencyMode { Cpu = 0, Gpu = 1, GpuCpu = 2 };

// "cpu", "gpu" or "gpu+cpu".
const char* concurrency_name(ConcurrencyMode mode);

struct ConcurrencyParse {
  std::optional<ConcurrencyMode> mode;  // set when the text was recognised
  std::string error;                    // otherwise the message to reject it with
};

// ASCII capitals are lowered, then the text must be exactly one of the accepted spellings.
// The error reads: unknown concurrency "<lowered text, escaped>"; expected "cpu", "gpu", or
// "gpu+cpu". The escaping puts a backslash before " and \, writes tab, carriage return, line feed
// and NUL as \t \r \n \0, and other control or non-printable characters as \u{hex}.
// Invalid UTF-8 bytes (never produced by the binding) are shown as \u{fffd}.
ConcurrencyParse parse_concurrency(std::string_view text);

namespace detail {
// The escaped form used inside the quotes of the message.
std::string escape_for_message(std::string_view utf8);
// Whether a code point counts as printable: not in the Unicode categories Cc, Cf, Cs, Co, Cn,
// Zl, Zp or Zs (except the ASCII space).
bool is_printable(char32_t c);
}  // namespace detail

}  // namespace simsieve
