// Runs the ratio engine, without Python, over the pairs of a file written by dump_pairs.py (each
// string as a little-endian 32-bit byte count and its UTF-8 bytes), for instruction counts under
// valgrind --tool=callgrind. Prints the sum of the ratios (a check that two builds agree) and the
// time per pair.
//   g++ -O3 -g -std=c++20 -I../../csrc ratio_driver.cpp $(ls ../../csrc/gestalt/*.cpp | grep -v batch) -o ratio_driver
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "gestalt/gestalt.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: ratio_driver PAIRS_FILE [REPEATS]\n");
    return 2;
  }
  std::FILE* f = std::fopen(argv[1], "rb");
  if (!f) return 1;
  const int reps = argc > 2 ? std::atoi(argv[2]) : 1;
  std::vector<std::string> strings;
  uint32_t n;
  while (std::fread(&n, 4, 1, f) == 1) {
    std::string s(n, '\0');
    if (std::fread(s.data(), 1, n, f) != n) return 1;
    strings.push_back(std::move(s));
  }
  std::fclose(f);
  double sum = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (int r = 0; r < reps; ++r) {
    for (size_t i = 0; i + 1 < strings.size(); i += 2) sum += simsieve::gestalt_ratio(strings[i], strings[i + 1]);
  }
  const auto t1 = std::chrono::steady_clock::now();
  const double pairs = static_cast<double>(reps) * static_cast<double>(strings.size() / 2);
  std::printf("%s: sum %.17g, %.3f us per pair\n", argv[1], sum,
              std::chrono::duration<double, std::micro>(t1 - t0).count() / (pairs > 0 ? pairs : 1));
}
