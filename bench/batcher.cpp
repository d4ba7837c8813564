// Throughput and latency of Vekra::Onnx::Batcher on a small MLP (by default
// tests/data/batch_mlp.onnx: 64 -> 64 -> 64 -> 10; bench/make_batcher_model.py writes wider
// ones), with 1, 4 and 16 submitters, each in a closed loop (submit one row, wait for its
// completion, again) for a fixed time. Compares the fill policies, and runs without a batcher
// (one context per submitter, each running its own row). Prints a Markdown section; asserts
// nothing.
//
//   cmake -S . -B build/bench -G Ninja -DVEKRA_BUILD_BENCH=ON -DVEKRA_BUILD_MODULE=OFF
//   cmake --build build/bench --target vekra_batcher_bench
//   build/bench/vekra_batcher_bench [seconds [model.onnx]]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "types/Batcher"
#include "types/SharedModel"

namespace {

using Clock = std::chrono::steady_clock;
using Vekra::Onnx::Batcher;
using Vekra::Onnx::SharedModel;

std::string modelFile = std::string(VEKRA_TEST_DATA_DIR) + "/batch_mlp.onnx";

std::shared_ptr<SharedModel> load(std::size_t contexts, std::size_t maxBatch) {
  SharedModel::Options o;
  o.intraOpThreads = 1;
  o.contexts = contexts;
  o.maxBatch = maxBatch;
  return std::make_shared<SharedModel>(modelFile, o);
}

// A submitter's completion flag, which the hook raises.
struct Slot {
  std::atomic<bool> done{false};
};

struct Figures {
  double perSecond = 0;
  double p50 = 0, p99 = 0;  // latency, µs
  double rowsPerRun = 1;
};

double percentile(std::vector<double>& v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))];
}

// Each submitter's loop until `end`, with `serve` doing one request and waiting for it;
// the latencies of all requests, in µs.
template <class Serve>
std::vector<double> closedLoops(std::size_t submitters, std::size_t width, double seconds, Serve serve) {
  std::vector<std::vector<double>> latencies(submitters);
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < submitters; ++t)
    threads.emplace_back([&, t] {
      std::vector<float> x(width);
      for (std::size_t e = 0; e < x.size(); ++e) x[e] = static_cast<float>((t * 13 + e) % 7) * 0.1f;
      while (Clock::now() < end) {
        const auto start = Clock::now();
        serve(t, x.data());
        latencies[t].push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
      }
    });
  for (std::thread& th : threads) th.join();
  std::vector<double> all;
  for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  return all;
}

Figures batched(std::size_t submitters, std::size_t contexts, Batcher::Options options, double seconds) {
  auto model = load(contexts, 16);
  std::vector<Slot> slots(submitters);
  Batcher batcher(model, [](Batcher::RunResult& run) {
    for (Batcher::Completed& c : run.requests) {
      auto* slot = static_cast<Slot*>(c.tag);
      slot->done.store(true, std::memory_order_release);
      slot->done.notify_one();
    }
  }, options);
  const std::size_t width = model->input(0).rowBytes / sizeof(float);
  std::vector<double> latencies = closedLoops(submitters, width, seconds, [&](std::size_t t, const float* x) {
    Slot& slot = slots[t];
    slot.done.store(false, std::memory_order_relaxed);
    batcher.submit({1, {x}, &slot});
    slot.done.wait(false, std::memory_order_acquire);
  });
  batcher.close();
  const Batcher::Stats stats = batcher.stats();
  Figures f;
  f.perSecond = static_cast<double>(latencies.size()) / seconds;
  f.p50 = percentile(latencies, 0.5);
  f.p99 = percentile(latencies, 0.99);
  f.rowsPerRun = stats.runs ? static_cast<double>(stats.rows) / static_cast<double>(stats.runs) : 0;
  return f;
}

// No batcher: a context per submitter, each running its own row on its own thread.
Figures unbatched(std::size_t submitters, double seconds) {
  auto model = load(submitters, 1);
  const std::size_t width = model->input(0).rowBytes / sizeof(float);
  std::vector<double> latencies = closedLoops(submitters, width, seconds, [&](std::size_t t, const float* x) {
    std::memcpy(model->inputData(t, 0), x, width * sizeof(float));
    model->run(t, 1);
    volatile float sink = *static_cast<const float*>(model->outputData(t, 0));
    (void)sink;
  });
  Figures f;
  f.perSecond = static_cast<double>(latencies.size()) / seconds;
  f.p50 = percentile(latencies, 0.5);
  f.p99 = percentile(latencies, 0.99);
  return f;
}

struct Config {
  std::string label;
  std::size_t contexts;  // 0: without a batcher
  Batcher::Options options;
};

Batcher::Options policy(Batcher::Fill fill, int microseconds) {
  Batcher::Options o;
  o.fill = fill;
  o.maxWait = std::chrono::microseconds(microseconds);
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
  if (argc > 2) modelFile = argv[2];
  const int rounds = 3;
  const std::vector<Config> configs = {
      {"no batcher, a context per submitter", 0, {}},
      {"never, 1 context", 1, policy(Batcher::Fill::never, 0)},
      {"never, 2 contexts", 2, policy(Batcher::Fill::never, 0)},
      {"whileBusy 100 µs, 2 contexts", 2, policy(Batcher::Fill::whileBusy, 100)},
      {"whileBusy 500 µs, 2 contexts", 2, policy(Batcher::Fill::whileBusy, 500)},
      {"whileBusy 2 ms, 2 contexts", 2, policy(Batcher::Fill::whileBusy, 2000)},
  };
  std::printf("## Batcher: %s, closed-loop submitters of one row each\n\n", modelFile.c_str());
  std::printf("%u hardware threads; %.1f s per measurement, median of %d rounds (rounds interleaved); maxBatch 16, "
              "one intra-op thread per run.\n\n",
              std::thread::hardware_concurrency(), seconds, rounds);
  std::printf("| submitters | policy | requests/s | p50 µs | p99 µs | rows per run |\n");
  std::printf("| ---: | --- | ---: | ---: | ---: | ---: |\n");
  for (std::size_t submitters : {1, 4, 16}) {
    std::vector<std::vector<Figures>> figures(configs.size());
    for (int r = 0; r < rounds; ++r)
      for (std::size_t c = 0; c < configs.size(); ++c)
        figures[c].push_back(configs[c].contexts == 0 ? unbatched(submitters, seconds)
                                                      : batched(submitters, configs[c].contexts, configs[c].options,
                                                                seconds));
    for (std::size_t c = 0; c < configs.size(); ++c) {
      std::vector<Figures>& f = figures[c];
      std::sort(f.begin(), f.end(), [](const Figures& a, const Figures& b) { return a.perSecond < b.perSecond; });
      const Figures& m = f[f.size() / 2];
      std::printf("| %zu | %s | %.0f | %.0f | %.0f | %.2f |\n", submitters, configs[c].label.c_str(), m.perSecond,
                  m.p50, m.p99, m.rowsPerRun);
    }
  }
  return 0;
}
