// Vekra::Onnx::SharedModel on the batch models of tests/data (make_models.py): how it finds the
// batch, runs of every row count against a Model pinned to that count, contexts run from two
// threads at once, and what it refuses.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "model_files.h"
#include "types/Model"
#include "types/SharedModel"

#include "thrown.h"

using Vekra::Onnx::Model;
using Vekra::Onnx::SharedModel;

namespace {

SharedModel::Options options(std::size_t contexts, std::size_t maxBatch) {
  SharedModel::Options o;
  o.intraOpThreads = 1;
  o.contexts = contexts;
  o.maxBatch = maxBatch;
  return o;
}

std::size_t elements(const std::vector<int64_t>& shape) {
  std::size_t n = 1;
  for (int64_t d : shape) n *= static_cast<std::size_t>(d);
  return n;
}

// Equal within a few roundings: the same session on the same rows.
constexpr float tolerance = 1e-6f;

// Fills the first `rows` rows of every input of context ctx from `seed`.
void fillInputs(SharedModel& m, std::size_t ctx, std::size_t rows, int seed) {
  for (std::size_t i = 0; i < m.inputCount(); ++i) {
    const SharedModel::Tensor& t = m.input(i);
    fillElements(m.inputData(ctx, i), t.type, rows * t.rowBytes / Vekra::Onnx::elementSize(t.type), seed + int(i));
  }
}

// What one run of context ctx left in each output.
struct Results {
  std::vector<std::vector<int64_t>> shapes;
  std::vector<std::vector<std::byte>> values;
};

Results resultsOf(SharedModel& m, std::size_t ctx) {
  Results r;
  for (std::size_t o = 0; o < m.outputCount(); ++o) {
    r.shapes.push_back(m.outputShape(ctx, o));
    const auto* data = static_cast<const std::byte*>(m.outputData(ctx, o));
    r.values.emplace_back(data, data + elements(r.shapes.back()) * Vekra::Onnx::elementSize(m.output(o).type));
  }
  return r;
}

// The same inputs through a Model whose batch is pinned to `rows` (when `pin`).
Results modelResults(const std::string& name, SharedModel& m, std::size_t ctx, std::size_t rows, bool pin) {
  Model::Options o;
  o.optimization = ORT_ENABLE_ALL;
  o.intraOpThreads = 1;
  o.report = false;
  if (pin) o.dimensions = {{"N", static_cast<int64_t>(rows)}};
  Model oracle(modelPath(name), o);
  for (std::size_t i = 0; i < m.inputCount(); ++i) {
    const SharedModel::Tensor& t = m.input(i);
    std::memcpy(oracle.input(i).data, m.inputData(ctx, i), rows * t.rowBytes);
  }
  oracle.run();
  Results r;
  for (std::size_t o = 0; o < oracle.outputCount(); ++o) {
    const Model::Tensor& t = oracle.output(o);
    r.shapes.push_back(t.shape);
    const auto* data = static_cast<const std::byte*>(t.data);
    r.values.emplace_back(data, data + elements(t.shape) * Vekra::Onnx::elementSize(t.type));
  }
  return r;
}

void expectSameResults(const SharedModel& m, const Results& actual, const Results& expected, const std::string& what) {
  ASSERT_EQ(actual.shapes, expected.shapes) << what;
  for (std::size_t o = 0; o < m.outputCount(); ++o)
    EXPECT_TRUE(sameElements(m.output(o).type, actual.values[o].data(), expected.values[o].data(),
                             elements(actual.shapes[o]), tolerance))
        << what << " output " << o;
}

struct OutputGeometry {
  std::vector<int64_t> shape;
  std::optional<std::size_t> batchAxis;
  std::size_t rowBytes;
  bool allocatedByRun;
};

struct BatchCase {
  const char* model;
  std::vector<std::pair<std::string, int64_t>> dimensions;
  std::size_t maxBatch;  // reported, given 5 in the options
  bool fixedBatch;
  bool splitsRows;
  std::vector<std::optional<std::size_t>> inputAxes;
  std::vector<std::size_t> inputRowBytes;
  std::vector<OutputGeometry> outputs;
};

const std::optional<std::size_t> none;

}  // namespace

TEST(SharedModel, FindsTheBatchAndEachTensorsRows) {
  const std::vector<BatchCase> cases = {
      {"batch_mix", {}, 5, false, true, {0, 0}, {16, 16},
       {{{-1, 3}, 0, 12, false}, {{-1, 2}, 0, 16, false}, {{1, -1, 3}, 1, 12, false}}},
      {"batch_reshape_by_input", {}, 5, false, true, {0, 0}, {16, 8}, {{{-1, -1}, 0, 0, true}}},
      {"batch_concat", {}, 5, false, false, {0}, {12}, {{{-1, 3}, none, 0, true}, {{-1, 3}, 0, 12, false}}},
      // a pinned batch is a fixed one
      {"batch_mix", {{"N", 3}}, 3, true, false, {0, 0}, {16, 16},
       {{{3, 3}, none, 36, false}, {{3, 2}, none, 48, false}, {{1, 3, 3}, none, 36, false}}},
      // column sums: no batch axis in an output of fixed shape pins the batch to 1
      {"batch_reduce", {}, 1, true, false, {0}, {12}, {{{3}, none, 12, false}, {{1, 3}, none, 12, false}}},
      {"two_inputs", {}, 2, true, false, {0, 0}, {8, 8}, {{{2, 2}, none, 16, false}, {{2, 2}, none, 16, false}}},
      // inputs whose axis 0 differ in size, no inputs, no dimensions: one row, each input whole
      {"batch_uneven", {}, 1, true, false, {none, none}, {24, 12}, {{{2, 3}, none, 24, false}}},
      {"no_inputs", {}, 1, true, false, {}, {}, {{{2}, none, 8, false}}},
      {"scalar", {}, 1, true, false, {none}, {4}, {{{}, none, 4, false}}},
  };
  for (const BatchCase& c : cases) {
    SharedModel::Options o = options(2, 5);
    o.dimensions = c.dimensions;
    const std::string what = std::string(c.model) + (c.dimensions.empty() ? "" : " pinned");
    SharedModel m(modelPath(c.model), o);
    EXPECT_EQ(m.contexts(), 2u) << what;
    EXPECT_EQ(m.maxBatch(), c.maxBatch) << what;
    EXPECT_EQ(m.fixedBatch(), c.fixedBatch) << what;
    EXPECT_EQ(m.splitsRows(), c.splitsRows) << what;
    ASSERT_EQ(m.inputCount(), c.inputAxes.size()) << what;
    for (std::size_t i = 0; i < m.inputCount(); ++i) {
      EXPECT_EQ(m.input(i).batchAxis, c.inputAxes[i]) << what << " input " << i;
      EXPECT_EQ(m.input(i).rowBytes, c.inputRowBytes[i]) << what << " input " << i;
      EXPECT_FALSE(m.input(i).allocatedByRun) << what << " input " << i;
    }
    ASSERT_EQ(m.outputCount(), c.outputs.size()) << what;
    for (std::size_t o = 0; o < m.outputCount(); ++o) {
      EXPECT_EQ(m.output(o).shape, c.outputs[o].shape) << what << " output " << o;
      EXPECT_EQ(m.output(o).batchAxis, c.outputs[o].batchAxis) << what << " output " << o;
      EXPECT_EQ(m.output(o).rowBytes, c.outputs[o].rowBytes) << what << " output " << o;
      EXPECT_EQ(m.output(o).allocatedByRun, c.outputs[o].allocatedByRun) << what << " output " << o;
    }
  }
}

// Every row count on the same buffers, against a Model pinned to that count; the contexts take
// turns, so each sees several counts in a row and counts already seen again.
TEST(SharedModel, EveryRowCountEqualsAModelPinnedToIt) {
  for (const char* name : {"batch_mix", "batch_concat", "batch_mlp", "dynamic"}) {
    SharedModel m(modelPath(name), options(2, 5));
    for (std::size_t rows : {1, 2, 3, 4, 5, 3, 1, 5}) {
      const std::size_t ctx = rows % 2;
      const std::string what = std::string(name) + " rows " + std::to_string(rows);
      fillInputs(m, ctx, rows, static_cast<int>(rows));
      m.run(ctx, rows);
      expectSameResults(m, resultsOf(m, ctx), modelResults(name, m, ctx, rows, true), what);
    }
  }
}

// An output of a size only the run knows, beside the batch: read from what the run returned.
TEST(SharedModel, AnOutputTheRunAllocatesHasTheRowsOnItsBatchAxis) {
  SharedModel m(modelPath("batch_reshape_by_input"), options(2, 5));
  for (std::size_t rows : {2, 5, 1}) {
    fillInputs(m, 1, rows, 9);
    auto* s = static_cast<int64_t*>(m.inputData(1, 1));
    for (std::size_t r = 0; r < rows; ++r) s[r] = 4;
    m.run(1, rows);
    EXPECT_EQ(m.outputShape(1, 0), (std::vector<int64_t>{int64_t(rows), 4}));
    EXPECT_TRUE(
        sameElements(ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, m.outputData(1, 0), m.inputData(1, 0), rows * 4, tolerance));
  }
}

TEST(SharedModel, AFixedBatchRunsWholeTensors) {
  for (const char* name : {"two_inputs", "affine", "int64_input", "scalar", "several_outputs", "batch_uneven"}) {
    SharedModel m(modelPath(name), options(1, 5));
    fillInputs(m, 0, m.maxBatch(), 3);
    m.run(0, m.maxBatch());
    expectSameResults(m, resultsOf(m, 0), modelResults(name, m, 0, m.maxBatch(), false), name);
  }
  // the batch pinned to 1 by an output that sums the rows
  SharedModel m(modelPath("batch_reduce"), options(1, 5));
  const float x[3] = {1.5f, -2.0f, 4.0f};
  std::memcpy(m.inputData(0, 0), x, sizeof x);
  m.run(0, 1);
  EXPECT_EQ(m.outputShape(0, 0), (std::vector<int64_t>{3}));
  EXPECT_EQ(m.outputShape(0, 1), (std::vector<int64_t>{1, 3}));
  EXPECT_TRUE(sameElements(ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, m.outputData(0, 0), x, 3, tolerance)) << "total";
}

// An output that is an input passed straight through is copied from it; a repeated output
// name reads the first output of the name.
TEST(SharedModel, PassthroughAndRepeatedOutputs) {
  SharedModel m(modelPath("passthrough"), options(1, 5));
  ASSERT_EQ(m.maxBatch(), 2u);
  const float x[4] = {1, -2, 3, -4};
  const int64_t k[2] = {7, -9};
  std::memcpy(m.inputData(0, 0), x, sizeof x);
  std::memcpy(m.inputData(0, 1), k, sizeof k);
  m.run(0, 2);
  const float y[4] = {-1, 2, -3, 4};
  EXPECT_TRUE(sameElements(ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, m.outputData(0, 0), x, 4, tolerance)) << "x";
  EXPECT_TRUE(sameElements(ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, m.outputData(0, 1), y, 4, tolerance)) << "y";
  EXPECT_TRUE(sameElements(ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, m.outputData(0, 2), y, 4, tolerance)) << "y again";
  EXPECT_TRUE(sameElements(ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64, m.outputData(0, 3), k, 2, tolerance)) << "k";
  EXPECT_NE(m.outputData(0, 0), m.inputData(0, 0));  // a copy, not the input
}

// Two threads run their own contexts of one model at once, each many times with rows and
// values of its own; every run gives what a run alone gave.
TEST(SharedModel, TwoContextsRunAtOnce) {
  SharedModel m(modelPath("batch_mix"), options(2, 8));
  std::vector<Results> expected(2);
  const std::size_t rows[2] = {3, 8};
  for (std::size_t ctx = 0; ctx < 2; ++ctx) {
    fillInputs(m, ctx, rows[ctx], int(ctx) + 5);
    m.run(ctx, rows[ctx]);
    expected[ctx] = resultsOf(m, ctx);
  }
  std::vector<int> wrong(2, 0);
  std::vector<std::thread> threads;
  for (std::size_t ctx = 0; ctx < 2; ++ctx)
    threads.emplace_back([&, ctx] {
      for (int r = 0; r < 300; ++r) {
        m.run(ctx, rows[ctx]);
        const Results got = resultsOf(m, ctx);
        wrong[ctx] += got.shapes != expected[ctx].shapes || got.values != expected[ctx].values;
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong, (std::vector<int>{0, 0}));
}

TEST(SharedModel, RefusesWhatItCannotBatch) {
  // a second symbolic dimension must be pinned
  try {
    SharedModel m(modelPath("batch_sequence"), options(1, 4));
    ADD_FAILURE() << "batch_sequence loaded";
  } catch (const Vekra::Onnx::DynamicDimension& e) {
    EXPECT_EQ(e.direction, "input");
    EXPECT_EQ(e.index, 0u);
    EXPECT_EQ(e.position, 1u);
    EXPECT_EQ(e.symbol, "S");
  }
  SharedModel::Options pinned = options(1, 4);
  pinned.dimensions = {{"S", 6}};
  const SharedModel sequence(modelPath("batch_sequence"), pinned);
  EXPECT_EQ(sequence.maxBatch(), 4u);
  EXPECT_EQ(sequence.input(0).rowBytes, 24u);

  EXPECT_EQ(thrownBy<std::exception>([] { SharedModel(modelPath("string_passthrough"), options(1, 4)); }),
            "input 0 's' is a string tensor, which a shared model cannot batch: its rows are not in one buffer");
  EXPECT_EQ(thrownBy<std::exception>([] { SharedModel(modelPath("sequence_output"), options(1, 4)); }),
            "output 0 'ys' is of kind sequence, not a tensor");
  EXPECT_EQ(thrownBy<std::exception>([] { SharedModel(modelPath("nul_input_name"), options(1, 4)); }),
            "input 0 'x\\0tail' has a NUL character in its name");
  EXPECT_EQ(thrownBy<std::exception>([] { SharedModel(modelPath("nul_output_name"), options(1, 4)); }),
            "output 0 'y\\0\\0z' has a NUL character in its name");
  EXPECT_THROW(SharedModel(modelPath("missing"), options(1, 4)), Vekra::Onnx::Exception);
}

TEST(SharedModel, BadOptionsAreRefusedBeforeLoading) {
  SharedModel::Options o = options(0, 4);
  EXPECT_THROW(SharedModel(modelPath("missing"), o), std::invalid_argument);
  o = options(1, 0);
  EXPECT_THROW(SharedModel(modelPath("missing"), o), std::invalid_argument);
  o = options(1, 4);
  o.optimization = ORT_DISABLE_ALL;
  o.dimensions = {{"N", 2}};
  EXPECT_THROW(SharedModel(modelPath("missing"), o), std::invalid_argument);
  o = options(1, 4);
  o.dimensions = {{"N", 0}};
  EXPECT_THROW(SharedModel(modelPath("missing"), o), std::invalid_argument);
  o = options(1, 4);
  o.intraOpThreads = -1;
  EXPECT_THROW(SharedModel(modelPath("missing"), o), std::invalid_argument);
  o = options(1, std::size_t(1) << 62);
  EXPECT_THROW(SharedModel(modelPath("batch_mix"), o), std::invalid_argument);  // rows beyond memory
}

TEST(SharedModel, RefusesRowsAndNumbersOutOfRange) {
  SharedModel m(modelPath("batch_mix"), options(2, 4));
  EXPECT_EQ(thrownBy<std::exception>([&] { m.run(0, 0); }), "a run takes 1 to 4 rows, not 0");
  EXPECT_EQ(thrownBy<std::exception>([&] { m.run(0, 5); }), "a run takes 1 to 4 rows, not 5");
  EXPECT_THROW(m.run(0, 0), std::invalid_argument);
  EXPECT_THROW(m.run(2, 1), std::out_of_range);
  EXPECT_THROW(m.inputData(0, 2), std::out_of_range);
  EXPECT_THROW(m.outputData(0, 3), std::out_of_range);
  EXPECT_THROW(m.input(2), std::out_of_range);
  EXPECT_EQ(thrownBy<std::exception>([&] { m.outputData(1, 0); }),
            "context 1 holds no results: it has not run, or its last run failed");

  SharedModel fixed(modelPath("two_inputs"), options(1, 4));
  EXPECT_EQ(thrownBy<std::exception>([&] { fixed.run(0, 1); }), "this model runs exactly 2 rows, not 1");
  EXPECT_EQ(thrownBy<std::exception>([&] { fixed.run(0, 3); }), "this model runs exactly 2 rows, not 3");
}

// A run that fails in ONNX Runtime leaves its context without results; the next run is whole.
TEST(SharedModel, AFailedRunLeavesNoResults) {
  SharedModel m(modelPath("batch_reshape_by_input"), options(1, 4));
  auto* x = static_cast<float*>(m.inputData(0, 0));
  auto* s = static_cast<int64_t*>(m.inputData(0, 1));
  for (int e = 0; e < 12; ++e) x[e] = float(e);
  for (int r = 0; r < 3; ++r) s[r] = 4;
  m.run(0, 3);
  EXPECT_EQ(m.outputShape(0, 0), (std::vector<int64_t>{3, 4}));
  s[1] = 1000003;
  EXPECT_THROW(m.run(0, 3), Vekra::Onnx::Exception);
  EXPECT_THROW(m.outputData(0, 0), std::runtime_error);
  s[1] = 4;
  m.run(0, 2);
  EXPECT_EQ(m.outputShape(0, 0), (std::vector<int64_t>{2, 4}));
  EXPECT_TRUE(sameElements(ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, m.outputData(0, 0), x, 8, tolerance)) << "y";
}
