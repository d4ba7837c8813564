// Vekra::Onnx::Model's options constructor and its description of the allocated tensors, on
// the models of tests/data (make_models.py, make_bridge_models.py).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "model_files.h"
#include "types/Model"

using Vekra::Onnx::Model;

namespace {

Model::Options quiet(GraphOptimizationLevel level = ORT_DISABLE_ALL, int threads = 0) {
  Model::Options options;
  options.optimization = level;
  options.intraOpThreads = threads;
  options.report = false;
  return options;
}

std::size_t threadCount() {
  const std::filesystem::directory_iterator tasks("/proc/self/task");
  return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

}  // namespace

TEST(ModelOptions, DefaultOptionsReportLikeTheOtherConstructor) {
  for (const char* name : {"affine", "int64_input", "no_inputs"}) {
    const std::string specified = coutOf([&] { Model m(modelPath(name)); });
    EXPECT_EQ(coutOf([&] { Model m(modelPath(name), Model::Options{}); }), specified) << name;
    EXPECT_NE(specified, "");
  }
}

TEST(ModelOptions, NoReportPrintsNothingAtAll) {
  for (const char* name : {"affine", "two_inputs", "element_types", "conv_bn"})
    for (GraphOptimizationLevel level : {ORT_DISABLE_ALL, ORT_ENABLE_ALL})
      EXPECT_EQ(coutOf([&] { Model m(modelPath(name), quiet(level)); }), "") << name;
  // nor before a failure
  EXPECT_EQ(coutOf([] { EXPECT_THROW(Model(modelPath("float16_input"), quiet()), std::runtime_error); }), "");
  EXPECT_EQ(coutOf([] { EXPECT_THROW(Model(modelPath("sequence_output"), quiet()), std::runtime_error); }), "");
}

TEST(ModelOptions, BadOptionsAreRefused) {
  EXPECT_THROW(Model(modelPath("affine"), quiet(static_cast<GraphOptimizationLevel>(3))), std::invalid_argument);
  EXPECT_THROW(Model(modelPath("affine"), quiet(ORT_ENABLE_ALL, -1)), std::invalid_argument);
  EXPECT_THROW(Model(modelPath("missing"), quiet()), Vekra::Onnx::Exception);
  EXPECT_THROW(Model(modelPath("affine") + std::string(1, '\0'), quiet()), std::runtime_error);
}

TEST(ModelOptions, TensorsAreDescribedInSessionOrder) {
  const Model m(modelPath("two_inputs"), quiet());
  ASSERT_EQ(m.inputCount(), 2u);
  ASSERT_EQ(m.outputCount(), 2u);
  EXPECT_EQ(m.input(0).name, "a");
  EXPECT_EQ(m.input(1).name, "b");
  EXPECT_EQ(m.output(0).name, "sum");
  EXPECT_EQ(m.output(1).name, "prod");
  EXPECT_EQ(m.output(1).shape, (std::vector<int64_t>{2, 2}));
  EXPECT_EQ(m.input(0).type, ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT);
  EXPECT_THROW(m.input(2), std::out_of_range);
  EXPECT_THROW(m.output(2), std::out_of_range);

  const Model s(modelPath("scalar"), quiet());
  EXPECT_TRUE(s.input(0).shape.empty());
  const Model none(modelPath("no_inputs"), quiet());
  EXPECT_EQ(none.inputCount(), 0u);
  EXPECT_EQ(none.outputCount(), 1u);

  const Model types(modelPath("element_types"), quiet());
  ASSERT_EQ(types.inputCount(), 12u);
  EXPECT_EQ(types.input(1).type, ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8);
  EXPECT_EQ(types.output(8).type, ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE);
  EXPECT_EQ(types.input(11).type, ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING);
  EXPECT_EQ(types.input(11).data, nullptr);
  for (std::size_t i = 0; i < 11; ++i) EXPECT_NE(types.input(i).data, nullptr) << i;
}

TEST(ModelOptions, DataPointersAreTheTensorsThemselves) {
  std::unique_ptr<Model> model;  // the first constructor describes its tensors too
  coutOf([&] { model = std::make_unique<Model>(modelPath("two_inputs")); });
  Model& m = *model;
  auto* a = static_cast<float*>(m.input(0).data);
  auto* b = static_cast<float*>(m.input(1).data);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(a[k], 0.0f);
  a[1] = 3.0f;  // element (0, 1), row-major
  b[1] = 4.0f;
  m.set<float>(0, {1, 0}, 5.0f);
  EXPECT_EQ(a[2], 5.0f);
  m.run();
  const auto* sum = static_cast<const float*>(m.output(0).data);
  const auto* prod = static_cast<const float*>(m.output(1).data);
  EXPECT_EQ(sum[1], 7.0f);
  EXPECT_EQ(prod[1], 12.0f);
  EXPECT_EQ(m.get<float>(0, {0, 1}), 7.0f);
  m.run();
  EXPECT_EQ(m.output(0).data, sum);  // the same buffers on every run
}

TEST(ModelOptions, OptimizationLevelReachesTheSession) {
  // Basic optimisations fold the normalisation into the convolution: different rounding.
  std::vector<std::vector<float>> results;
  for (GraphOptimizationLevel level : {ORT_DISABLE_ALL, ORT_ENABLE_BASIC, ORT_DISABLE_ALL}) {
    Model m(modelPath("conv_bn"), quiet(level));
    auto* x = static_cast<float*>(m.input(0).data);
    for (int k = 0; k < 3 * 8 * 8; ++k) x[k] = static_cast<float>((k * 37) % 11) / 7.0f - 0.7f;
    m.run();
    const auto* y = static_cast<const float*>(m.output(0).data);
    results.emplace_back(y, y + 4 * 8 * 8);
  }
  EXPECT_NE(results[0], results[1]);
  EXPECT_EQ(results[0], results[2]);
}

TEST(ModelOptions, ThreadCountReachesTheSession) {
  // A session of n intra-op threads starts n - 1 workers (the caller is the n-th). ONNX
  // Runtime's first session in a process may start a thread of its own that stays: one is
  // made before counting.
  { Model first(modelPath("affine"), quiet()); }
  for (int threads : {1, 3}) {
    const std::size_t before = threadCount();
    Model m(modelPath("conv_bn"), quiet(ORT_ENABLE_ALL, threads));
    m.run();
    EXPECT_EQ(threadCount() - before, static_cast<std::size_t>(threads - 1));
  }
}

// dynamic.onnx: Relu over x ["N", 3] giving y ["N", 3].
TEST(ModelOptions, DimensionsPinSymbolicSizes) {
  Model::Options options = quiet(ORT_ENABLE_BASIC);
  options.dimensions = {{"N", 5}};
  Model m(modelPath("dynamic"), options);
  EXPECT_EQ(m.input(0).shape, (std::vector<int64_t>{5, 3}));
  EXPECT_EQ(m.output(0).shape, (std::vector<int64_t>{5, 3}));
  m.set<float>(0, {4, 2}, -1.5f);
  m.set<float>(0, {3, 1}, 2.5f);
  m.run();
  EXPECT_EQ(m.get<float>(0, {4, 2}), 0.0f);
  EXPECT_EQ(m.get<float>(0, {3, 1}), 2.5f);
  // a name the model does not have changes nothing, and the shape stays dynamic
  options.dimensions = {{"batch", 5}};
  EXPECT_THROW(Model(modelPath("dynamic"), options), Vekra::Onnx::DynamicDimension);
}

TEST(ModelOptions, AStillDynamicDimensionIsNamed) {
  try {
    Model m(modelPath("dynamic"), quiet());
    FAIL() << "a dynamic model was loaded";
  } catch (const Vekra::Onnx::DynamicDimension& d) {
    EXPECT_EQ(d.direction, "input");
    EXPECT_EQ(d.index, 0u);
    EXPECT_EQ(d.tensor, "x");
    EXPECT_EQ(d.position, 0u);
    EXPECT_EQ(d.symbol, "N");
    EXPECT_STREQ(d.what(), "input 0 'x' dimension 0 is dynamic ('N'); give 'N' a size in Model::Options::dimensions");
  }
  // The specified constructor leaves the failure to ONNX Runtime.
  EXPECT_THROW(Model(modelPath("dynamic")), Vekra::Onnx::Exception);
}

TEST(ModelOptions, BadDimensionsAreRefusedBeforeLoading) {
  for (int64_t size : {0, -1, -5}) {
    Model::Options options = quiet(ORT_ENABLE_ALL);
    options.dimensions = {{"N", size}};
    EXPECT_THROW(Model(modelPath("dynamic"), options), std::invalid_argument) << size;
  }
  Model::Options options = quiet(ORT_ENABLE_ALL);
  options.dimensions = {{std::string("N\0M", 3), 2}};
  EXPECT_THROW(Model(modelPath("dynamic"), options), std::invalid_argument);
  // ONNX Runtime would leave the sizes out without a word
  options = quiet(ORT_DISABLE_ALL);
  options.dimensions = {{"N", 2}};
  EXPECT_THROW(Model(modelPath("dynamic"), options), std::invalid_argument);
}

TEST(ModelOptions, UnlockedRunsIsRecordedOnly) {
  EXPECT_FALSE(Model(modelPath("affine"), quiet()).unlockedRuns());
  EXPECT_FALSE(coutOf([] { EXPECT_FALSE(Model(modelPath("affine")).unlockedRuns()); }).empty());
  Model::Options options = quiet();
  options.unlockedRuns = true;
  Model m(modelPath("affine"), options);
  EXPECT_TRUE(m.unlockedRuns());
  m.set<float>(0, {0, 1}, 2.0f);
  m.run();
  EXPECT_EQ(m.get<float>(0, {0, 1}), 5.0f);
}

// Runs of one model from several threads follow one another; with the inputs left alone, every
// read after a run sees that run's result (the last node writes each element once).
TEST(ModelOptions, OneModelRunFromSeveralThreads) {
  Model m(modelPath("affine"), quiet(ORT_ENABLE_ALL, 1));
  for (int64_t j = 0; j < 3; ++j) m.set<float>(0, {0, j}, static_cast<float>(j));
  std::vector<int> wrong(4, 0);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < wrong.size(); ++t)
    threads.emplace_back([&m, &wrong, t] {
      for (int r = 0; r < 200; ++r) {
        m.run();
        for (int64_t j = 0; j < 3; ++j) wrong[t] += m.get<float>(0, {0, j}) != 2.0f * static_cast<float>(j) + 1.0f;
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}
