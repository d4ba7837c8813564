// What the saved copy costs Vekra::ls: the same solves with Vekra::ls and with the bare gels
// call it wraps, timed alternately in one run. Every solve starts from fresh copies of the same
// A and x (made outside the timed part), and so does the timing of the copy alone. Prints a
// Markdown section; asserts nothing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "operations/ls"
#include "types/Matrix"
#include "types/Vector"

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Figures {
  double bare, ls, copy;
};

Figures measure(std::size_t m, std::size_t n, int rounds) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> normal;
  const std::size_t k = std::max(m, n);
  std::vector<double> a(m * n), b(k, 0.0);
  for (double& e : a) e = normal(rng);
  for (std::size_t i = 0; i < m; ++i) b[i] = normal(rng);
  Vekra::Matrix<double> A(m, n);
  Vekra::Vector<double> x(k);
  // Fresh operands, then 64 MiB of other traffic, so that neither solve finds A in the cache
  // just because it was written a moment ago.
  std::vector<double> other(std::size_t{8} << 20);
  const auto fresh = [&] {
    std::copy(a.begin(), a.end(), A.get());
    std::copy(b.begin(), b.end(), x.get());
    for (double& e : other) e += 1.0;
  };
  const int im = static_cast<int>(m), in = static_cast<int>(n);
  const int lda = static_cast<int>(std::max<std::size_t>(m, 1)), ldx = static_cast<int>(k);
  std::vector<double> bare, wrapped, copies;
  for (int r = 0; r < rounds; ++r) {
    fresh();
    auto c0 = Clock::now();
    {
      std::vector<double> saved;  // what Vekra::ls keeps, made the way it makes it
      saved.reserve(m * n + k);
      saved.insert(saved.end(), A.get(), A.get() + m * n);
      saved.insert(saved.end(), x.get(), x.get() + k);
      if (saved[0] == 12345.0) std::printf(" ");  // keeps the copy from being dropped
    }
    copies.push_back(std::chrono::duration<double>(Clock::now() - c0).count());
    fresh();
    auto t0 = Clock::now();
    Vekra::Blas<double>::gels(im, in, A.get(), lda, x.get(), ldx);
    bare.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
    fresh();
    t0 = Clock::now();
    Vekra::ls(A, x);
    wrapped.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return {median(bare), median(wrapped), median(copies)};
}

}  // namespace

int main() {
  std::printf("\n## Least squares: the cost of keeping A and x for a failed solve\n\n");
  std::printf("ms per solve (double, one right-hand side), median of alternating rounds; Vekra::ls copies "
              "A and the first max(m, n) elements of x before gels and puts them back only when it "
              "fails.\n\n");
  std::printf("| shape | bare gels | Vekra::ls | extra | the copy alone | copy / gels |\n"
              "|---|---|---|---|---|---|\n");
  const std::size_t shapes[][2] = {{2000, 200}, {200, 2000}};
  for (const auto& s : shapes) {
    measure(s[0], s[1], 3);  // warm-up: OpenBLAS buffers, page faults
    const Figures f = measure(s[0], s[1], 41);
    std::printf("| %zu x %zu | %.2f | %.2f | %+.1f %% | %.3f | %.1f %% |\n", s[0], s[1], f.bare * 1e3,
                f.ls * 1e3, (f.ls / f.bare - 1) * 100, f.copy * 1e3, f.copy / f.bare * 100);
  }
  return 0;
}
