// Vekra::Onnx::Model on the models of tests/data (made by tests/data/make_models.py): the
// discovery report, element access and inference, and every way construction or access fails.
#include <gtest/gtest.h>

#include <string>

#include "model_files.h"
#include "types/Model"

using Vekra::Onnx::Model;

namespace {

// Constructs a model quietly.
std::unique_ptr<Model> load(const std::string& name) {
  std::unique_ptr<Model> model;
  coutOf([&] { model = std::make_unique<Model>(modelPath(name)); });
  return model;
}

// The report printed before construction failed, and the exception's message.
struct Failure {
  std::string report;
  std::string message;
};

template <class E>
Failure constructionFailure(const std::string& path) {
  Failure failure{"", "<no exception>"};
  failure.report = coutOf([&] {
    try {
      Model model(path);
    } catch (const E& e) {
      failure.message = e.what();
    }
  });
  return failure;
}

template <class E, class F>
std::string messageOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<no exception>";
}

}  // namespace

TEST(Model, ReportsInputsThenOutputs) {
  EXPECT_EQ(coutOf([] { Model m(modelPath("affine")); }),
            "Vekra::Onnx::Model:: input name 0 'x'\n"
            "Vekra::Onnx::Model:: input shape 0 '{1, 3}'\n"
            "Vekra::Onnx::MakeTensor:: making tensor of type 'float'\n"
            "Vekra::Onnx::Model:: output name 0 'y'\n"
            "Vekra::Onnx::Model:: output shape 0 '{1, 3}'\n"
            "Vekra::Onnx::MakeTensor:: making tensor of type 'float'\n");
  EXPECT_EQ(coutOf([] { Model m(modelPath("two_inputs")); }),
            "Vekra::Onnx::Model:: input name 0 'a'\n"
            "Vekra::Onnx::Model:: input shape 0 '{2, 2}'\n"
            "Vekra::Onnx::MakeTensor:: making tensor of type 'float'\n"
            "Vekra::Onnx::Model:: input name 1 'b'\n"
            "Vekra::Onnx::Model:: input shape 1 '{2, 2}'\n"
            "Vekra::Onnx::MakeTensor:: making tensor of type 'float'\n"
            "Vekra::Onnx::Model:: output name 0 'sum'\n"
            "Vekra::Onnx::Model:: output shape 0 '{2, 2}'\n"
            "Vekra::Onnx::MakeTensor:: making tensor of type 'float'\n"
            "Vekra::Onnx::Model:: output name 1 'prod'\n"
            "Vekra::Onnx::Model:: output shape 1 '{2, 2}'\n"
            "Vekra::Onnx::MakeTensor:: making tensor of type 'float'\n");
  // A scalar has empty braces; a tensor without a view (int64) has no MakeTensor line.
  EXPECT_EQ(coutOf([] { Model m(modelPath("scalar")); }),
            "Vekra::Onnx::Model:: input name 0 's'\n"
            "Vekra::Onnx::Model:: input shape 0 '{}'\n"
            "Vekra::Onnx::MakeTensor:: making tensor of type 'float'\n"
            "Vekra::Onnx::Model:: output name 0 'y'\n"
            "Vekra::Onnx::Model:: output shape 0 '{}'\n"
            "Vekra::Onnx::MakeTensor:: making tensor of type 'float'\n");
  EXPECT_EQ(coutOf([] { Model m(modelPath("int64_input")); }),
            "Vekra::Onnx::Model:: input name 0 'x'\n"
            "Vekra::Onnx::Model:: input shape 0 '{2}'\n"
            "Vekra::Onnx::MakeTensor:: making tensor of type 'float'\n"
            "Vekra::Onnx::Model:: input name 1 'k'\n"
            "Vekra::Onnx::Model:: input shape 1 '{2}'\n"
            "Vekra::Onnx::Model:: output name 0 'y'\n"
            "Vekra::Onnx::Model:: output shape 0 '{2}'\n"
            "Vekra::Onnx::MakeTensor:: making tensor of type 'float'\n");
  EXPECT_EQ(coutOf([] { Model m(modelPath("no_inputs")); }),
            "Vekra::Onnx::Model:: output name 0 'y'\n"
            "Vekra::Onnx::Model:: output shape 0 '{2}'\n"
            "Vekra::Onnx::MakeTensor:: making tensor of type 'float'\n");
}

TEST(Model, RunsInPlaceAndKeepsInputsBetweenRuns) {
  auto m = load("affine");
  // Tensors start zero-filled: an output before the first run, and the inputs of a run
  // before any set.
  for (int64_t j = 0; j < 3; ++j) EXPECT_EQ(m->get<float>(0, {0, j}), 0.0f);
  m->run();
  for (int64_t j = 0; j < 3; ++j) EXPECT_EQ(m->get<float>(0, {0, j}), 1.0f);

  m->set<float>(0, {0, 0}, 9.0f);
  m->set<float>(0, {0, 0}, 0.5f);  // the last write wins
  m->set<float>(0, {0, 2}, -3.0f);
  m->run();
  EXPECT_EQ(m->get<float>(0, {0, 0}), 2.0f);
  EXPECT_EQ(m->get<float>(0, {0, 1}), 1.0f);
  EXPECT_EQ(m->get<float>(0, {0, 2}), -5.0f);
  m->set<float>(0, {0, 1}, 4.0f);  // the other inputs keep their values
  m->run();
  EXPECT_EQ(m->get<float>(0, {0, 0}), 2.0f);
  EXPECT_EQ(m->get<float>(0, {0, 1}), 9.0f);
  EXPECT_EQ(m->get<float>(0, {0, 2}), -5.0f);
}

TEST(Model, SeveralInputsAndOutputs) {
  auto m = load("two_inputs");
  for (int64_t i = 0; i < 2; ++i)
    for (int64_t j = 0; j < 2; ++j) {
      m->set<float>(0, {i, j}, static_cast<float>(1 + 2 * i + j));
      m->set<float>(1, {i, j}, static_cast<float>(10 * (i + 1) - j));
    }
  m->run();
  const float sums[2][2] = {{11, 11}, {23, 23}};
  const float prods[2][2] = {{10, 18}, {60, 76}};
  for (int64_t i = 0; i < 2; ++i)
    for (int64_t j = 0; j < 2; ++j) {
      EXPECT_EQ(m->get<float>(0, {i, j}), sums[i][j]);
      EXPECT_EQ(m->get<float>(1, {i, j}), prods[i][j]);
    }

  auto s = load("several_outputs");
  const float x[2][3] = {{-1, 2, -3}, {4, -5, 6}};
  for (int64_t i = 0; i < 2; ++i)
    for (int64_t j = 0; j < 3; ++j) s->set<float>(0, {i, j}, x[i][j]);
  s->run();
  for (int64_t i = 0; i < 2; ++i)
    for (int64_t j = 0; j < 3; ++j) {
      EXPECT_EQ(s->get<float>(0, {i, j}), x[i][j] > 0 ? x[i][j] : 0.0f);
      EXPECT_EQ(s->get<float>(1, {i, j}), -x[i][j]);
    }
  EXPECT_EQ(s->get<float>(2, {0}), -2.0f);
  EXPECT_EQ(s->get<float>(2, {1}), 5.0f);
}

TEST(Model, ScalarsNoInputsAndTwoModelsOfOneFile) {
  auto m = load("scalar");
  m->set<float>(0, {}, 3.0f);
  m->run();
  EXPECT_EQ(m->get<float>(0, {}), 9.0f);

  auto c = load("no_inputs");
  c->run();
  EXPECT_EQ(c->get<float>(0, {0}), 1.5f);
  EXPECT_EQ(c->get<float>(0, {1}), -2.5f);

  auto a = load("affine");
  auto b = load("affine");
  a->set<float>(0, {0, 0}, 1.0f);
  b->set<float>(0, {0, 0}, 2.0f);
  a->run();
  b->run();
  EXPECT_EQ(a->get<float>(0, {0, 0}), 3.0f);
  EXPECT_EQ(b->get<float>(0, {0, 0}), 5.0f);
}

// Outputs that ONNX Runtime leaves alone (an input passed straight through, a name listed
// twice) hold what a run gives, run after run; before the first run they are zero like any.
TEST(Model, OutputsThatAreInputsOrRepeatedHoldTheRunsResult) {
  auto m = load("passthrough");  // outputs x, y = -x, y again, k
  for (int64_t o = 0; o < 3; ++o) EXPECT_EQ(m->get<float>(static_cast<std::size_t>(o), {1, 1}), 0.0f);
  for (float base : {1.0f, -20.0f}) {
    for (int64_t i = 0; i < 2; ++i)
      for (int64_t j = 0; j < 2; ++j) m->set<float>(0, {i, j}, base + static_cast<float>(2 * i + j));
    m->run();
    for (int64_t i = 0; i < 2; ++i)
      for (int64_t j = 0; j < 2; ++j) {
        const float x = base + static_cast<float>(2 * i + j);
        EXPECT_EQ(m->get<float>(0, {i, j}), x);
        EXPECT_EQ(m->get<float>(1, {i, j}), -x);
        EXPECT_EQ(m->get<float>(2, {i, j}), -x);
      }
  }
  m->set<float>(0, {0, 0}, 5.0f);  // an input set after the run is not an output until the next
  EXPECT_EQ(m->get<float>(0, {0, 0}), -20.0f);

  auto identity = load("identity_graph");  // nothing left for ONNX Runtime to compute
  identity->set<float>(0, {2}, 2.5f);
  identity->run();
  EXPECT_EQ(identity->get<float>(0, {2}), 2.5f);
  EXPECT_EQ(identity->get<float>(0, {0}), 0.0f);

  Failure f = constructionFailure<std::runtime_error>(modelPath("string_passthrough"));
  EXPECT_EQ(f.message, "output 0 's' is input 0, a string tensor, which the model cannot copy");
}

// ONNX Runtime hands names over as C strings, cut at a NUL; such a name is refused before its
// report line, with the whole name.
TEST(Model, NamesWithANulAreRefused) {
  Failure f = constructionFailure<std::runtime_error>(modelPath("nul_input_name"));
  EXPECT_EQ(f.message, "input 0 'x\\0tail' has a NUL character in its name");
  EXPECT_EQ(f.report, "");
  f = constructionFailure<std::runtime_error>(modelPath("nul_output_name"));
  EXPECT_EQ(f.message, "output 0 'y\\0\\0z' has a NUL character in its name");
  EXPECT_EQ(f.report,
            "Vekra::Onnx::Model:: input name 0 'x'\n"
            "Vekra::Onnx::Model:: input shape 0 '{2}'\n"
            "Vekra::Onnx::MakeTensor:: making tensor of type 'float'\n");
}

TEST(Model, TensorWithoutViewIsAllocatedZeroAndRefusesAccess) {
  auto m = load("int64_input");
  EXPECT_EQ(messageOf<std::runtime_error>([&] { m->set<float>(1, {0}, 1.0f); }),
            "input 1 'k' is not a float tensor");
  m->set<float>(0, {0}, 1.25f);
  m->set<float>(0, {1}, -7.0f);
  m->run();  // k was never written: it holds zeros
  EXPECT_EQ(m->get<float>(0, {0}), 1.25f);
  EXPECT_EQ(m->get<float>(0, {1}), -7.0f);
}

TEST(Model, NumbersBeyondTheCountsAreRefused) {
  auto m = load("two_inputs");
  EXPECT_EQ(messageOf<std::out_of_range>([&] { m->set<float>(2, {0, 0}, 1.0f); }),
            "input number 2 out of range: the model has 2 inputs");
  EXPECT_EQ(messageOf<std::out_of_range>([&] { m->get<float>(7, {0, 0}); }),
            "output number 7 out of range: the model has 2 outputs");
  auto c = load("no_inputs");
  EXPECT_EQ(messageOf<std::out_of_range>([&] { c->set<float>(0, {0}, 1.0f); }),
            "input number 0 out of range: the model has 0 inputs");
  EXPECT_EQ(messageOf<std::out_of_range>([&] { c->get<float>(1, {0}); }),
            "output number 1 out of range: the model has 1 output");
}

TEST(Model, BadLocationsAreRefusedByOnnxRuntime) {
  auto m = load("affine");
  using Vekra::Onnx::Exception;
  EXPECT_EQ(messageOf<Exception>([&] { m->set<float>(0, {0, 3}, 1.0f); }), "invalid location range");
  EXPECT_EQ(messageOf<Exception>([&] { m->set<float>(0, {0, -1}, 1.0f); }), "invalid location range");
  EXPECT_EQ(messageOf<Exception>([&] { m->get<float>(0, {1, 0}); }), "invalid location range");
  EXPECT_EQ(messageOf<Exception>([&] { m->set<float>(0, {0}, 1.0f); }),
            "location dimensions do not match shape size");
  EXPECT_EQ(messageOf<Exception>([&] { m->get<float>(0, {}); }),
            "location dimensions do not match shape size");
  m->run();  // nothing was written by the refused calls
  for (int64_t j = 0; j < 3; ++j) EXPECT_EQ(m->get<float>(0, {0, j}), 1.0f);
}

TEST(Model, ConstructionFailures) {
  // A missing file: ONNX Runtime's message and code, before any report line.
  {
    Failure f;
    OrtErrorCode code = ORT_OK;
    f.report = coutOf([&] {
      try {
        Model m(modelPath("missing"));
      } catch (const Vekra::Onnx::Exception& e) {
        f.message = e.what();
        code = e.code();
      }
    });
    EXPECT_EQ(f.report, "");
    EXPECT_EQ(code, ORT_NO_SUCHFILE);
    const std::string path = modelPath("missing");
    EXPECT_EQ(f.message, "Load model from " + path + " failed:Load model " + path +
                             " failed. File doesn't exist");
  }
  // Unsupported element types fail after the lines of the tensors before them.
  const std::string before =
      "Vekra::Onnx::Model:: input name 0 'x'\n"
      "Vekra::Onnx::Model:: input shape 0 '{2}'\n"
      "Vekra::Onnx::MakeTensor:: making tensor of type 'float'\n"
      "Vekra::Onnx::Model:: input name 1 'k'\n"
      "Vekra::Onnx::Model:: input shape 1 '{2}'\n";
  Failure f = constructionFailure<std::runtime_error>(modelPath("float16_input"));
  EXPECT_EQ(f.report, before);
  EXPECT_EQ(f.message, "Unsupported datatype 'ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16'");
  f = constructionFailure<std::runtime_error>(modelPath("bfloat16_input"));
  EXPECT_EQ(f.report, before);
  EXPECT_EQ(f.message, "Unsupported datatype 'ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16'");

  // A dynamic dimension is reported as -1 and refused by ONNX Runtime's allocation.
  f = constructionFailure<Vekra::Onnx::Exception>(modelPath("dynamic"));
  EXPECT_EQ(f.report,
            "Vekra::Onnx::Model:: input name 0 'x'\n"
            "Vekra::Onnx::Model:: input shape 0 '{-1, 3}'\n");
  EXPECT_NE(f.message.find("shape.Size() must"), std::string::npos) << f.message;

  // A sequence output is named with its kind, right after its name line.
  f = constructionFailure<std::runtime_error>(modelPath("sequence_output"));
  EXPECT_EQ(f.message, "output 0 'ys' is of kind sequence, not a tensor");
  EXPECT_EQ(f.report,
            "Vekra::Onnx::Model:: input name 0 'x'\n"
            "Vekra::Onnx::Model:: input shape 0 '{2}'\n"
            "Vekra::Onnx::MakeTensor:: making tensor of type 'float'\n"
            "Vekra::Onnx::Model:: output name 0 'ys'\n");

  // A path with a NUL would name another file: refused before ONNX Runtime sees it.
  f = constructionFailure<std::runtime_error>(modelPath("affine") + std::string(1, '\0') + "x");
  EXPECT_EQ(f.message, "model path contains a NUL character");
  EXPECT_EQ(f.report, "");
}

