#include "pool/concurrency.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace simsieve {
namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

constexpr CodePointRange kNonPrintable[] = {
#include "pool/nonprintable_ranges.inc"
};

// Decodes one UTF-8 sequence at text[*pos]; malformed input yields U+FFFD and skips one byte.
char32_t next_code_point(std::string_view text, size_t* pos) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char b0 = byte(*pos);
  size_t len = b0 < 0x80 ? 1 : (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3 : (b0 >> 3) == 0x1E ? 4 : 0;
  if (len == 0 || *pos + len > text.size()) {
    ++*pos;
    return 0xFFFD;
  }
  char32_t c = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (size_t k = 1; k < len; ++k) {
    unsigned char b = byte(*pos + k);
    if ((b & 0xC0) != 0x80) {
      ++*pos;
      return 0xFFFD;
    }
    c = (c << 6) | (b & 0x3F);
  }
  static constexpr char32_t kMinForLength[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kMinForLength[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++*pos;
    return 0xFFFD;
  }
  *pos += len;
  return c;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void append_hex_escape(std::string& out, char32_t c) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char buffer[8];
  int n = 0;
  do {
    buffer[n++] = kDigits[c & 0xF];
    c >>= 4;
  } while (c != 0);
  out += "\\u{";
  while (n > 0) out += buffer[--n];
  out += '}';
}

}  // namespace

namespace detail {

bool is_printable(char32_t c) {
  auto it = std::upper_bound(std::begin(kNonPrintable), std::end(kNonPrintable), c,
                             [](char32_t value, const CodePointRange& r) { return value < r.first; });
  if (it == std::begin(kNonPrintable)) return true;
  --it;
  return c > it->last;
}

std::string escape_for_message(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 2);
  size_t pos = 0;
  while (pos < utf8.size()) {
    char32_t c = next_code_point(utf8, &pos);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case U'\0': out += "\\0"; break;
      default:
        if (is_printable(c)) {
          append_utf8(out, c);
        } else {
          append_hex_escape(out, c);
        }
    }
  }
  return out;
}

}  // namespace detail

const char* concurrency_name(ConcurrencyMode mode) {
  switch (mode) {
    case ConcurrencyMode::Cpu: return "cpu";
    case ConcurrencyMode::Gpu: return "gpu";
    case ConcurrencyMode::GpuCpu: return "gpu+cpu";
  }
  return "cpu";
}

ConcurrencyParse parse_concurrency(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  ConcurrencyParse result;
  if (lowered == "cpu") {
    result.mode = ConcurrencyMode::Cpu;
  } else if (lowered == "gpu") {
    result.mode = ConcurrencyMode::Gpu;
  } else if (lowered == "gpu+cpu" || lowered == "gpu_cpu" || lowered == "gpucpu") {
    result.mode = ConcurrencyMode::GpuCpu;
  } else {
    result.error = "unknown concurrency \"" + detail::escape_for_message(lowered) +
                   "\"; expected \"cpu\", \"gpu\", or \"gpu+cpu\"";
  }
  return result;
}

}  // namespace simsieve
