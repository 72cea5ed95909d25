// The exact gestalt (Ratcliff/Obershelp) ratio of two strings: bit for bit the value of
// difflib.SequenceMatcher(None, a, b, autojunk=False).ratio(), computed natively.
#pragma once

#include <string_view>

namespace simsieve {

// a and b are UTF-8; they are compared as sequences of code points. Callable from any thread.
double gestalt_ratio(std::string_view a, std::string_view b);

}  // namespace simsieve
