// Vekra::Onnx::Batcher over SharedModel on the batch models of tests/data (make_models.py):
// requests from many threads against runs of each request alone, runs that fail, closing with
// requests pending, refusals, and a forked child.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "model_files.h"
#include "types/Batcher"

using Vekra::Onnx::Batcher;
using Vekra::Onnx::SharedModel;

namespace {

std::shared_ptr<SharedModel> shared(const std::string& name, std::size_t contexts, std::size_t maxBatch) {
  SharedModel::Options o;
  o.intraOpThreads = 1;
  o.contexts = contexts;
  o.maxBatch = maxBatch;
  return std::make_shared<SharedModel>(modelPath(name), o);
}

void* tagOf(std::size_t id) { return reinterpret_cast<void*>(id + 1); }
std::size_t idOf(void* tag) { return reinterpret_cast<std::size_t>(tag) - 1; }

// One request's inputs, kept alive until the end of the test.
struct Prepared {
  std::size_t rows;
  std::vector<std::vector<std::byte>> inputs;
  bool bad = false;  // carries a row that makes the run fail (batch_reshape_by_input)
};

// Inputs of `rows` rows from `seed`; the int64 input s of batch_reshape_by_input holds 4 in
// every row (1000003 in row 0 of a bad request).
Prepared prepare(const SharedModel& m, std::size_t rows, int seed, bool bad = false) {
  Prepared p{rows, {}, bad};
  for (std::size_t i = 0; i < m.inputCount(); ++i) {
    const SharedModel::Tensor& t = m.input(i);
    std::vector<std::byte>& bytes = p.inputs.emplace_back(rows * t.rowBytes);
    const std::size_t count = bytes.size() / Vekra::Onnx::elementSize(t.type);
    fillElements(bytes.data(), t.type, count, seed + int(i));
    for (std::size_t e = 0; t.name == "s" && e < count; ++e) {
      const int64_t n = bad && e == 0 ? 1000003 : 4;
      std::memcpy(bytes.data() + e * 8, &n, 8);
    }
  }
  return p;
}

Batcher::Request requestOf(const Prepared& p, std::size_t id) {
  Batcher::Request r;
  r.rows = p.rows;
  for (const auto& bytes : p.inputs) r.inputs.push_back(bytes.data());
  r.tag = tagOf(id);
  return r;
}

struct Expected {
  std::vector<std::vector<int64_t>> shapes;
  std::vector<std::vector<std::byte>> values;
};

// The request run alone, on a model of its own.
Expected aloneOn(SharedModel& m, const Prepared& p) {
  for (std::size_t i = 0; i < m.inputCount(); ++i)
    std::memcpy(m.inputData(0, i), p.inputs[i].data(), p.inputs[i].size());
  m.run(0, p.rows);
  Expected e;
  for (std::size_t o = 0; o < m.outputCount(); ++o) {
    e.shapes.push_back(m.outputShape(0, o));
    std::size_t bytes = Vekra::Onnx::elementSize(m.output(o).type);
    for (int64_t d : e.shapes.back()) bytes *= static_cast<std::size_t>(d);
    const auto* data = static_cast<const std::byte*>(m.outputData(0, o));
    e.values.emplace_back(data, data + bytes);
  }
  return e;
}

// Runs of other row counts may round floats differently.
constexpr float tolerance = 1e-5f;

std::size_t countOf(const Batcher::Output& out, const SharedModel& m, std::size_t o) {
  return out.bytes / Vekra::Onnx::elementSize(m.output(o).type);
}

// What the completion hook saw, kept by the hook itself (a worker may outlive the test's frame
// for a moment after its last completion).
struct Seen {
  struct Run {
    std::size_t rows;
    bool failed;
    std::string error;
    std::vector<std::size_t> ids;
  };
  std::mutex lock;
  std::condition_variable done;
  std::vector<int> times;  // completions per request
  std::vector<std::vector<Batcher::Output>> outputs;
  std::vector<Run> runs;
  std::size_t completions = 0;

  explicit Seen(std::size_t requests) : times(requests, 0), outputs(requests) {}

  // Waits for n completions; false if they have not all come after a minute (a hang, not a
  // measure of speed).
  bool waitFor(std::size_t n) {
    std::unique_lock<std::mutex> guard(lock);
    return done.wait_for(guard, std::chrono::minutes(1), [&] { return completions >= n; });
  }
};

Batcher::Hook hookInto(std::shared_ptr<Seen> seen) {
  return [seen](Batcher::RunResult& run) {
    const std::lock_guard<std::mutex> guard(seen->lock);
    Seen::Run& r = seen->runs.emplace_back(Seen::Run{run.rows, run.failed, run.error, {}});
    for (Batcher::Completed& c : run.requests) {
      const std::size_t id = idOf(c.tag);
      r.ids.push_back(id);
      ++seen->times.at(id);
      seen->outputs.at(id) = std::move(c.outputs);
      ++seen->completions;
    }
    seen->done.notify_all();
  };
}

Batcher::Options policy(Batcher::Fill fill) {
  Batcher::Options o;
  o.fill = fill;
  return o;
}

struct ServingCase {
  const char* model;
  Batcher::Fill fill;
};

}  // namespace

// Eight threads submit requests of 1 to maxBatch rows; each request's results equal those of a
// run of it alone, every request completes once, and each run holds at most maxBatch rows of
// whole requests (one request per run when the outputs cannot be cut into rows).
TEST(Batcher, ManyThreadsGetWhatRunsAloneGive) {
  const std::vector<ServingCase> cases = {
      {"batch_mix", Batcher::Fill::whileBusy},  {"batch_mix", Batcher::Fill::never},
      {"batch_mlp", Batcher::Fill::whileBusy},  {"batch_reshape_by_input", Batcher::Fill::whileBusy},
      {"batch_concat", Batcher::Fill::whileBusy}, {"two_inputs", Batcher::Fill::never},
  };
  const std::size_t threads = 8, perThread = 30;
  for (const ServingCase& c : cases) {
    const std::string what = std::string(c.model) + (c.fill == Batcher::Fill::never ? " never" : " whileBusy");
    auto model = shared(c.model, 2, 6);
    const std::size_t maxBatch = model->maxBatch();
    std::vector<Prepared> prepared;
    for (std::size_t id = 0; id < threads * perThread; ++id)
      prepared.push_back(prepare(*model, model->fixedBatch() ? maxBatch : 1 + (id * 5) % maxBatch, int(id)));
    auto alone = shared(c.model, 1, 6);
    std::vector<Expected> expected;
    for (const Prepared& p : prepared) expected.push_back(aloneOn(*alone, p));

    auto seen = std::make_shared<Seen>(prepared.size());
    {
      Batcher batcher(model, hookInto(seen), policy(c.fill));
      std::vector<std::thread> submitters;
      for (std::size_t t = 0; t < threads; ++t)
        submitters.emplace_back([&, t] {
          for (std::size_t k = 0; k < perThread; ++k) {
            const std::size_t id = t * perThread + k;
            batcher.submit(requestOf(prepared[id], id));
          }
        });
      for (std::thread& s : submitters) s.join();
      ASSERT_TRUE(seen->waitFor(prepared.size())) << what;
      const Batcher::Stats stats = batcher.stats();
      EXPECT_EQ(stats.requests, prepared.size()) << what;
      EXPECT_EQ(stats.runs, seen->runs.size()) << what;
      EXPECT_EQ(stats.failures, 0u) << what;
      std::size_t rows = 0;
      for (const Prepared& p : prepared) rows += p.rows;
      EXPECT_EQ(stats.rows, rows) << what;
    }
    EXPECT_EQ(seen->times, std::vector<int>(prepared.size(), 1)) << what;
    for (const Seen::Run& run : seen->runs) {
      EXPECT_FALSE(run.failed) << what << ": " << run.error;
      std::size_t rows = 0;
      for (std::size_t id : run.ids) rows += prepared[id].rows;
      EXPECT_EQ(run.rows, rows) << what;
      EXPECT_LE(run.rows, maxBatch) << what;
      if (!model->splitsRows()) {
        EXPECT_EQ(run.ids.size(), 1u) << what;
      }
    }
    for (std::size_t id = 0; id < prepared.size(); ++id) {
      const std::vector<Batcher::Output>& got = seen->outputs[id];
      ASSERT_EQ(got.size(), model->outputCount()) << what << " request " << id;
      for (std::size_t o = 0; o < got.size(); ++o) {
        EXPECT_EQ(got[o].shape, expected[id].shapes[o]) << what << " request " << id << " output " << o;
        ASSERT_EQ(got[o].bytes, expected[id].values[o].size()) << what << " request " << id << " output " << o;
        EXPECT_TRUE(sameElements(model->output(o).type, got[o].data.get(), expected[id].values[o].data(),
                                 countOf(got[o], *model, o), tolerance))
            << what << " request " << id << " output " << o;
      }
    }
  }
}

// Runs that fail in ONNX Runtime (a Reshape to a size the rows do not divide) fail the requests
// of that run only; the other runs succeed, and the batcher goes on serving.
TEST(Batcher, AFailedRunFailsOnlyItsOwnRequests) {
  auto model = shared("batch_reshape_by_input", 2, 4);
  std::vector<Prepared> prepared;
  for (std::size_t id = 0; id < 120; ++id) prepared.push_back(prepare(*model, 1 + id % 3, int(id), id % 10 == 3));
  auto seen = std::make_shared<Seen>(prepared.size() + 1);
  Batcher batcher(model, hookInto(seen));
  std::vector<std::thread> submitters;
  for (std::size_t t = 0; t < 4; ++t)
    submitters.emplace_back([&, t] {
      for (std::size_t id = t; id < prepared.size(); id += 4) batcher.submit(requestOf(prepared[id], id));
    });
  for (std::thread& s : submitters) s.join();
  ASSERT_TRUE(seen->waitFor(prepared.size()));

  std::size_t failedRequests = 0, failedRuns = 0;
  for (const Seen::Run& run : seen->runs) {
    bool bad = false;
    for (std::size_t id : run.ids) bad = bad || prepared[id].bad;
    EXPECT_EQ(run.failed, bad);
    if (!run.failed) continue;
    ++failedRuns;
    failedRequests += run.ids.size();
    EXPECT_NE(run.error.find("Reshape"), std::string::npos) << run.error;
    for (std::size_t id : run.ids) EXPECT_TRUE(seen->outputs[id].empty());
  }
  EXPECT_GE(failedRuns, 1u);
  for (std::size_t id = 0; id < prepared.size(); ++id) {
    if (seen->outputs[id].empty()) continue;
    const Batcher::Output& y = seen->outputs[id][0];
    EXPECT_EQ(y.shape, (std::vector<int64_t>{int64_t(prepared[id].rows), 4}));
    EXPECT_TRUE(sameElements(ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, y.data.get(), prepared[id].inputs[0].data(),
                             countOf(y, *model, 0), tolerance));
  }
  EXPECT_EQ(batcher.stats().failures, failedRequests);

  const Prepared good = prepare(*model, 2, 1);
  batcher.submit(requestOf(good, prepared.size()));
  ASSERT_TRUE(seen->waitFor(prepared.size() + 1));
  EXPECT_EQ(seen->outputs[prepared.size()].size(), 1u);
}

// Threads that run their requests themselves (runHere) beside threads that submit: each request
// is answered once, by the hook or by runHere, with what a run of it alone gives. runHere runs
// on an idle batcher, does nothing while it is busy, and refuses what submit refuses.
TEST(Batcher, RunningHereBesideSubmittersAnswersEveryRequestOnce) {
  auto model = shared("batch_mlp", 2, 4);
  auto alone = shared("batch_mlp", 1, 4);
  std::vector<Prepared> prepared;
  for (std::size_t id = 0; id < 400; ++id) prepared.push_back(prepare(*model, 1 + id % 4, int(id)));
  std::vector<Expected> expected;
  for (const Prepared& p : prepared) expected.push_back(aloneOn(*alone, p));
  auto seen = std::make_shared<Seen>(prepared.size());
  {
    Batcher batcher(model, hookInto(seen));
    // an idle batcher runs the request here (once its workers wait for work)
    Batcher::Ran first;
    for (int wait = 0; wait < 5000 && !first.ran; ++wait) {
      Batcher::Request r = requestOf(prepared[0], 0);
      first = batcher.runHere(r);
      if (!first.ran) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(first.ran);
    seen->times.at(0) = 1;
    seen->outputs.at(0) = std::move(first.outputs);
    seen->completions = 1;
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 4; ++t)
      threads.emplace_back([&, t] {
        for (std::size_t id = t == 0 ? 4 : t; id < prepared.size(); id += 4) {
          Batcher::Request r = requestOf(prepared[id], id);
          if (t % 2 == 0) {
            batcher.submit(r);
            continue;
          }
          Batcher::Ran ran = batcher.runHere(r);
          if (!ran.ran) {
            batcher.submit(r);
            continue;
          }
          EXPECT_FALSE(ran.failed) << ran.error;
          const std::lock_guard<std::mutex> guard(seen->lock);
          ++seen->times.at(id);
          seen->outputs.at(id) = std::move(ran.outputs);
          ++seen->completions;
        }
      });
    for (std::thread& t : threads) t.join();
    ASSERT_TRUE(seen->waitFor(prepared.size()));
    EXPECT_EQ(batcher.stats().requests, prepared.size());
    const Prepared tooMany = prepare(*model, 5, 0);
    Batcher::Request refused = requestOf(tooMany, 0);
    EXPECT_THROW((void)batcher.runHere(refused), std::invalid_argument);
    batcher.close();
    Batcher::Request late = requestOf(prepared[0], 0);
    EXPECT_THROW((void)batcher.runHere(late), std::runtime_error);
  }
  const std::lock_guard<std::mutex> guard(seen->lock);
  EXPECT_EQ(seen->times, std::vector<int>(prepared.size(), 1));
  for (std::size_t id = 0; id < prepared.size(); ++id) {
    ASSERT_EQ(seen->outputs[id].size(), expected[id].shapes.size());
    for (std::size_t o = 0; o < seen->outputs[id].size(); ++o) {
      const Batcher::Output& y = seen->outputs[id][o];
      EXPECT_EQ(y.shape, expected[id].shapes[o]);
      EXPECT_TRUE(sameElements(model->output(o).type, y.data.get(), expected[id].values[o].data(),
                               countOf(y, *model, o), tolerance));
    }
  }
}

// close() with requests still queued completes every one of them before it returns; later
// submissions are refused, and closing again changes nothing.
TEST(Batcher, CloseCompletesWhatItAccepted) {
  auto model = shared("batch_mlp", 1, 4);
  std::vector<Prepared> prepared;
  for (std::size_t id = 0; id < 300; ++id) prepared.push_back(prepare(*model, 1 + id % 4, int(id)));
  auto seen = std::make_shared<Seen>(prepared.size());
  Batcher batcher(model, hookInto(seen));
  for (std::size_t id = 0; id < prepared.size(); ++id) batcher.submit(requestOf(prepared[id], id));
  batcher.close();
  EXPECT_TRUE(batcher.closed());
  {
    const std::lock_guard<std::mutex> guard(seen->lock);
    EXPECT_EQ(seen->completions, prepared.size());
    EXPECT_EQ(seen->times, std::vector<int>(prepared.size(), 1));
  }
  try {
    batcher.submit(requestOf(prepared[0], 0));
    ADD_FAILURE() << "a closed batcher accepted a request";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "batcher is closed");
  }
  batcher.close();
  EXPECT_EQ(batcher.stats().requests, prepared.size());

  // the destructor closes the same way
  auto later = std::make_shared<Seen>(prepared.size());
  {
    Batcher scoped(model, hookInto(later));
    for (std::size_t id = 0; id < prepared.size(); ++id) scoped.submit(requestOf(prepared[id], id));
  }
  const std::lock_guard<std::mutex> guard(later->lock);
  EXPECT_EQ(later->completions, prepared.size());
}

// The hook closing the batcher, or dropping it altogether, does not wait for its own worker: the
// requests accepted before still complete.
TEST(Batcher, TheHookMayCloseOrDropTheBatcher) {
  auto model = shared("batch_mix", 2, 4);
  std::vector<Prepared> prepared;
  for (std::size_t id = 0; id < 60; ++id) prepared.push_back(prepare(*model, 1 + id % 4, int(id)));
  for (bool drop : {false, true}) {
    auto seen = std::make_shared<Seen>(prepared.size());
    auto owner = std::make_shared<std::unique_ptr<Batcher>>();
    auto record = hookInto(seen);
    auto ownerLock = std::make_shared<std::mutex>();  // the two workers' hooks share `owner`
    auto gate = std::make_shared<std::mutex>();       // holds the hooks back until every request is in
    gate->lock();
    *owner = std::make_unique<Batcher>(model, [=](Batcher::RunResult& run) {
      {
        const std::lock_guard<std::mutex> wait(*gate);
      }
      record(run);
      const std::lock_guard<std::mutex> guard(*ownerLock);
      if (drop)
        owner->reset();
      else if (*owner)
        (*owner)->close();
    });
    for (std::size_t id = 0; id < prepared.size(); ++id) (*owner)->submit(requestOf(prepared[id], id));
    gate->unlock();
    ASSERT_TRUE(seen->waitFor(prepared.size())) << (drop ? "dropped" : "closed");
    if (!drop) {
      std::unique_ptr<Batcher> taken;
      {
        const std::lock_guard<std::mutex> guard(*ownerLock);
        taken = std::move(*owner);
      }
      EXPECT_TRUE(taken->closed());
      taken.reset();  // joins the workers
    }
    const std::lock_guard<std::mutex> guard(seen->lock);
    EXPECT_EQ(seen->times, std::vector<int>(prepared.size(), 1)) << (drop ? "dropped" : "closed");
  }
}

TEST(Batcher, RefusesBadRequests) {
  auto model = shared("batch_mix", 1, 4);
  auto seen = std::make_shared<Seen>(1);
  Batcher batcher(model, hookInto(seen));
  const Prepared p = prepare(*model, 2, 0);
  auto message = [&](Batcher::Request r) -> std::string {
    try {
      batcher.submit(std::move(r));
    } catch (const std::invalid_argument& e) {
      return e.what();
    }
    return "<no exception>";
  };
  Batcher::Request r = requestOf(p, 0);
  r.rows = 0;
  EXPECT_EQ(message(r), "a request has 1 to 4 rows, not 0");
  r.rows = 5;
  EXPECT_EQ(message(r), "a request has 1 to 4 rows, not 5");
  r = requestOf(p, 0);
  r.inputs.pop_back();
  EXPECT_EQ(message(r), "a request of this model has 2 inputs, not 1");
  r = requestOf(p, 0);
  r.inputs[1] = nullptr;
  EXPECT_EQ(message(r), "request input 1 'k' is null");
  EXPECT_EQ(batcher.stats().requests, 0u);

  auto fixed = shared("two_inputs", 1, 4);
  Batcher fixedBatcher(fixed, hookInto(seen));
  const Prepared one = prepare(*fixed, 1, 0);
  try {
    fixedBatcher.submit(requestOf(one, 0));
    ADD_FAILURE() << "one row went to a model of two";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "this model takes requests of exactly 2 rows, not 1");
  }

  EXPECT_THROW(Batcher(nullptr, hookInto(seen)), std::invalid_argument);
  EXPECT_THROW(Batcher(model, Batcher::Hook{}), std::invalid_argument);
  Batcher::Options negative;
  negative.maxWait = std::chrono::microseconds(-1);
  EXPECT_THROW(Batcher(model, hookInto(seen), negative), std::invalid_argument);
}

// A forked child has none of the workers: the child's submit() throws, and its destructor
// returns instead of waiting for threads that are not there (or locks their owners held). The
// parent's worker is inside the hook while the child runs.
TEST(Batcher, AForkedChildLeavesTheParentsWorkersAlone) {
  auto model = shared("batch_mix", 1, 4);
  auto gate = std::make_shared<std::mutex>();
  auto entered = std::make_shared<std::atomic<bool>>(false);
  gate->lock();
  auto batcher = std::make_unique<Batcher>(model, [gate, entered](Batcher::RunResult&) {
    entered->store(true);
    const std::lock_guard<std::mutex> wait(*gate);
  });
  EXPECT_EQ(batcher->creatorPid(), getpid());
  const Prepared p = prepare(*model, 1, 0);
  batcher->submit(requestOf(p, 0));
  while (!entered->load()) std::this_thread::yield();

  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    int code = batcher->closed() ? 0 : 3;
    try {
      batcher->submit(requestOf(p, 1));
      code = 2;
    } catch (const std::runtime_error&) {
    }
    batcher->close();
    batcher.reset();
    _exit(code);
  }
  int status = 0;
  pid_t ended = 0;
  for (int tries = 0; tries < 600 && ended == 0; ++tries) {  // a minute, then it hangs
    ended = waitpid(child, &status, WNOHANG);
    if (ended == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (ended == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    ADD_FAILURE() << "the child's batcher waited for the parent's workers";
  } else {
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  gate->unlock();
  batcher.reset();
}
