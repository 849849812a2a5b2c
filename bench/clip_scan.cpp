// The clip scan of write_frames (src/sndfile/clip_scan.cpp) against the
// plain loop the compiler would have to vectorise on its own, with the flags
// of the release build: `make -C bench clip-scan`. Prints the best of five
// timings per array size and sample type, and checks that both agree.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "../src/sndfile/clip_scan.hpp"

namespace {

template <class T>
__attribute__((noinline)) bool plain(const T* data, int64_t count) {
  bool above = false;
  bool nan = false;
  for (int64_t i = 0; i < count; ++i) {
    const T magnitude = std::fabs(data[i]);
    above |= magnitude > T(1);
    nan |= magnitude != magnitude;
  }
  return above && !nan;
}

template <class T, class Scan>
double microseconds(Scan scan, const std::vector<T>& v, int reps) {
  double best = 1e30;
  for (int round = 0; round < 5; ++round) {
    bool sink = false;
    auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < reps; ++r) {
      sink ^= scan(v.data(), static_cast<int64_t>(v.size()));
      asm volatile("" : : "r"(sink) : "memory");
    }
    std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count() / reps);
  }
  return best;
}

template <class T>
void compare(const char* type, int64_t n, int reps) {
  std::vector<T> v(n);
  for (int64_t i = 0; i < n; ++i) v[i] = T(0.9) * std::sin(T(0.01) * T(i));
  auto ours = [](const T* d, int64_t c) { return ondalis::clip::beyond_unit(d, c); };
  double a = microseconds<T>(ours, v, reps);
  double b = microseconds<T>(plain<T>, v, reps);
  bool agree = ours(v.data(), n) == plain(v.data(), n);
  v[n / 2] = T(1.5);
  agree = agree && ours(v.data(), n) && plain(v.data(), n);
  v[n / 3] = NAN;
  agree = agree && !ours(v.data(), n) && !plain(v.data(), n);
  std::printf("%-6s %8lld samples: clip_scan %9.2f us, plain loop %9.2f us (x%.1f)%s\n", type,
              static_cast<long long>(n), a, b, b / a, agree ? "" : "  DISAGREE");
}

}  // namespace

int main() {
  for (int64_t n : {64, 4096, 1 << 20}) {
    const int reps = static_cast<int>(std::max<int64_t>(20, (int64_t{1} << 26) / n));
    compare<double>("double", n, reps);
    compare<float>("float", n, reps);
  }
}
