// Vekra::Onnx::readDeclaredGraph on the models of tests/data, on hand-written encodings, and
// on paths that are no model or no regular file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "model_files.h"
#include "protobuf_writer.h"
#include "utils/OnnxFile"

#include "thrown.h"

using Vekra::Onnx::DeclaredGraph;
using Vekra::Onnx::DeclaredTensor;
using Vekra::Onnx::NotRegularFile;
using Vekra::Onnx::readDeclaredGraph;
using Vekra::Onnx::ValueKind;

namespace {

// "x[N,3]": the name and each dimension's size, symbol, or ? for neither.
std::string shown(const DeclaredTensor& t) {
  std::string text = t.name;
  if (!t.ranked) return text + "(unranked)";
  text += "[";
  for (std::size_t k = 0; k < t.dims.size(); ++k) {
    if (k) text += ",";
    const auto& d = t.dims[k];
    text += d.size ? std::to_string(*d.size) : d.symbol.empty() ? "?" : d.symbol;
    if (d.size && !d.symbol.empty()) text += "<both>";
  }
  return text + "]";
}

std::vector<std::string> shown(const std::vector<DeclaredTensor>& tensors) {
  std::vector<std::string> all;
  for (const DeclaredTensor& t : tensors) all.push_back(shown(t));
  return all;
}

// ModelProto { graph { input: each of `inputs` (ValueInfoProto bytes) } }
std::string modelWithInputs(const std::vector<std::string>& inputs) {
  std::string graph;
  for (const std::string& input : inputs) graph += field(11, input);
  return field(7, graph);
}

std::string written(const std::string& name, const std::string& bytes) {
  const std::string path = (std::filesystem::temp_directory_path() / name).string();
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

}  // namespace

TEST(OnnxFile, DeclaredInputsAndOutputsWithTheirShapes) {
  const DeclaredGraph dynamic = readDeclaredGraph(modelPath("dynamic"));
  EXPECT_EQ(shown(dynamic.inputs), (std::vector<std::string>{"x[N,3]"}));
  EXPECT_EQ(shown(dynamic.outputs), (std::vector<std::string>{"y[N,3]"}));
  // initializers are no inputs; the order is the file's
  const DeclaredGraph two = readDeclaredGraph(modelPath("two_inputs"));
  EXPECT_EQ(shown(two.inputs), (std::vector<std::string>{"a[2,2]", "b[2,2]"}));
  EXPECT_EQ(shown(two.outputs), (std::vector<std::string>{"sum[2,2]", "prod[2,2]"}));
  EXPECT_EQ(shown(readDeclaredGraph(modelPath("conv_bn")).inputs), (std::vector<std::string>{"x[1,3,8,8]"}));
  EXPECT_EQ(shown(readDeclaredGraph(modelPath("scalar")).inputs), (std::vector<std::string>{"s[]"}));
  EXPECT_TRUE(readDeclaredGraph(modelPath("no_inputs")).inputs.empty());
}

TEST(OnnxFile, WhatIsNoModelIsRefused) {
  EXPECT_THROW(readDeclaredGraph(modelPath("missing")), std::runtime_error);
  const std::string whole = bytesOf(modelPath("conv_bn"));
  ASSERT_GT(whole.size(), 100u);
  // cut inside the graph, an empty file, and text
  for (const std::string& bytes : {whole.substr(0, whole.size() - 7), whole.substr(0, 40), std::string(),
                                   std::string("not a model at all\n")}) {
    const std::string path = written("vekra_onnx_file_test.onnx", bytes);
    EXPECT_THROW(readDeclaredGraph(path), std::runtime_error) << bytes.size();
    std::remove(path.c_str());
  }
}

TEST(OnnxFile, KindsAndElementTypes) {
  const DeclaredGraph types = readDeclaredGraph(modelPath("element_types"));
  ASSERT_EQ(types.inputs.size(), 12u);
  std::vector<int32_t> elementTypes;
  for (const DeclaredTensor& t : types.inputs) {
    EXPECT_EQ(t.kind, ValueKind::tensor) << t.name;
    elementTypes.push_back(t.elementType);
  }
  EXPECT_EQ(elementTypes, (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 9, 11, 12, 13, 8}));
  const DeclaredGraph sequence = readDeclaredGraph(modelPath("sequence_output"));
  ASSERT_EQ(sequence.outputs.size(), 1u);
  EXPECT_EQ(sequence.outputs[0].kind, ValueKind::sequence);
  EXPECT_FALSE(sequence.outputs[0].ranked);  // the element's shape is not the sequence's
  EXPECT_EQ(readDeclaredGraph(modelPath("bfloat16_input")).inputs[1].elementType, 16);
}

TEST(OnnxFile, RankedScalarsUnrankedTensorsAndOtherKinds) {
  const std::string tensorType = field(1, varintField(1, 1));  // float, no shape
  const std::string scalarType = field(1, varintField(1, 1) + field(2, ""));
  const std::string path = written("vekra_onnx_kinds.onnx", modelWithInputs({
      field(1, "unranked") + field(2, tensorType),
      field(1, "scalar") + field(2, scalarType),
      field(1, "untyped"),
      field(1, "map") + field(2, field(5, varintField(1, 8))),
      field(1, "optional") + field(2, field(9, "")),
      field(1, "sparse") + field(2, field(8, varintField(1, 1))),
  }));
  const DeclaredGraph graph = readDeclaredGraph(path);
  std::remove(path.c_str());
  EXPECT_EQ(shown(graph.inputs), (std::vector<std::string>{"unranked(unranked)", "scalar[]", "untyped(unranked)",
                                                           "map(unranked)", "optional(unranked)", "sparse(unranked)"}));
  std::vector<ValueKind> kinds;
  for (const DeclaredTensor& t : graph.inputs) kinds.push_back(t.kind);
  EXPECT_EQ(kinds, (std::vector<ValueKind>{ValueKind::tensor, ValueKind::tensor, ValueKind::undeclared, ValueKind::map,
                                           ValueKind::optional, ValueKind::sparseTensor}));
  EXPECT_EQ(graph.inputs[0].elementType, 1);
}

// Fields given twice merge as protobuf merges them: strings and numbers take the last value,
// messages merge, repeated fields append, and setting another case of a oneof drops the first.
TEST(OnnxFile, RepeatedFieldsMergeAsProtobufDoes) {
  const std::string dim = field(1, varintField(1, 2));
  const std::string shapeA = field(2, dim + field(1, field(2, "n")));
  const std::string shapeB = field(2, field(1, field(2, "gone") + varintField(1, 5)));
  const std::string path = written("vekra_onnx_merged.onnx", modelWithInputs({
      // two names, two types, each with a tensor_type: elem types last, shapes appended
      field(1, "first") + field(2, field(1, varintField(1, 1) + shapeA)) + field(1, "x") +
          field(2, field(1, varintField(1, 7) + shapeB)),
      // a tensor, then a sequence: the sequence remains; then a tensor again: a new tensor
      field(1, "s") + field(2, field(1, varintField(1, 1) + shapeA) + field(4, "")),
      field(1, "t") + field(2, field(4, "") + field(1, varintField(1, 6))),
  }));
  const DeclaredGraph graph = readDeclaredGraph(path);
  std::remove(path.c_str());
  EXPECT_EQ(shown(graph.inputs), (std::vector<std::string>{"x[2,n,5]", "s(unranked)", "t(unranked)"}));
  EXPECT_EQ(graph.inputs[0].elementType, 7);
  EXPECT_EQ(graph.inputs[1].kind, ValueKind::sequence);
  EXPECT_EQ(graph.inputs[2].kind, ValueKind::tensor);
  EXPECT_EQ(graph.inputs[2].elementType, 6);
}

TEST(OnnxFile, SymbolsKeepTheirBytes) {
  const std::string symbol("b\0\xff\xfe", 4);
  const std::string path = written("vekra_onnx_symbol.onnx", modelWithInputs({
      field(1, std::string("x\0y", 3)) + field(2, field(1, field(2, field(1, field(2, symbol))))),
  }));
  const DeclaredGraph graph = readDeclaredGraph(path);
  std::remove(path.c_str());
  ASSERT_EQ(graph.inputs.size(), 1u);
  EXPECT_EQ(graph.inputs[0].name, std::string("x\0y", 3));
  ASSERT_EQ(graph.inputs[0].dims.size(), 1u);
  EXPECT_EQ(graph.inputs[0].dims[0].symbol, symbol);
}

// Initializers (field 5, named by field 8) and sparse initializers (field 15, named by their
// values' name) are no inputs, whether the graph lists them before or after the others.
TEST(OnnxFile, InitializedInputsAreLeftOut) {
  const std::string input = field(2, field(1, varintField(1, 1) + field(2, "")));
  const std::string graph = field(11, field(1, "w") + input) + field(11, field(1, "x") + input) +
                            field(11, field(1, "v") + input) + field(5, field(8, "w") + varintField(2, 1)) +
                            field(15, field(1, field(8, "v")) + field(2, ""));
  const std::string path = written("vekra_onnx_initialized.onnx", varintField(1, 3) + field(7, graph));
  const DeclaredGraph declared = readDeclaredGraph(path);
  std::remove(path.c_str());
  EXPECT_EQ(shown(declared.inputs), (std::vector<std::string>{"x[]"}));
}

TEST(OnnxFile, OnlyRegularFilesAreRead) {
  const std::string fifo = (std::filesystem::temp_directory_path() / "vekra_onnx_fifo.onnx").string();
  std::remove(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // opening it would wait for a writer: refused before that
  for (const auto& [path, kind] : std::vector<std::pair<std::string, std::string>>{
           {fifo, "a FIFO"}, {std::filesystem::temp_directory_path().string(), "a directory"},
           {"/dev/null", "a character device"}}) {
    try {
      readDeclaredGraph(path);
      ADD_FAILURE() << path << " was read";
    } catch (const NotRegularFile& e) {
      EXPECT_EQ(std::string(e.what()), path + " is " + kind + ", not a regular file");
      EXPECT_EQ(e.path(), path);
      EXPECT_EQ(std::string(e.kind()), kind);
    }
  }
  std::remove(fifo.c_str());
  // a link to a model is read as the model
  const std::string link = (std::filesystem::temp_directory_path() / "vekra_onnx_link.onnx").string();
  std::remove(link.c_str());
  ASSERT_EQ(symlink(modelPath("dynamic").c_str(), link.c_str()), 0);
  EXPECT_EQ(shown(readDeclaredGraph(link).inputs), (std::vector<std::string>{"x[N,3]"}));
  std::remove(link.c_str());
}

TEST(OnnxFile, MessagesNameThePath) {
  const std::string missing = modelPath("missing");
  EXPECT_EQ(thrownBy([&] { readDeclaredGraph(missing); }), "cannot open " + missing + ": No such file or directory");
  EXPECT_EQ(thrownBy([] { readDeclaredGraph(std::string("a\0b", 3)); }), "model path contains a NUL character");
  const std::string path = written("vekra_onnx_text.onnx", "not a model");
  EXPECT_EQ(thrownBy([&] { readDeclaredGraph(path); }), path + " is not an ONNX model: not a protobuf message");
  std::remove(path.c_str());
}

// The 14 bytes that once had the reader zero-fill 1 GiB: a graph of length 1 whose input's
// length varint runs past the graph's end and says 2 GiB, holding a name of 1 GiB.
TEST(OnnxFile, ALengthRunningPastItsParentIsRefused) {
  const std::string crafted = "\x3a\x01\x5a" + varint(uint64_t{1} << 31) + "\x0a" + varint(uint64_t{1} << 30);
  ASSERT_EQ(crafted.size(), 14u);
  const std::string path = written("vekra_onnx_crafted.onnx", crafted);
  EXPECT_EQ(thrownBy([&] { readDeclaredGraph(path); }), path + " is not an ONNX model: not a protobuf message");
  std::remove(path.c_str());
}

// Groups (wire types 3 and 4) in unknown fields are skipped, nested ones included, as protobuf
// (and so ONNX Runtime) skips them; an end without its start, or of another field, is not.
TEST(OnnxFile, GroupsAreSkippedAsProtobufSkipsThem) {
  const std::string model = bytesOf(modelPath("dynamic"));
  const auto group = [](uint32_t number, const std::string& inside) {
    return varint(uint64_t{number} << 3 | 3) + inside + varint(uint64_t{number} << 3 | 4);
  };
  std::string deep = varintField(1, 5);  // in 100 groups, as deep as ONNX Runtime reads them
  for (int depth = 0; depth < 100; ++depth) deep = group(static_cast<uint32_t>(20 + depth % 3), deep);
  for (const std::string& extra : {group(14, ""), group(111, varintField(1, 1) + field(2, "ab") + group(3, "")),
                                   deep}) {
    const std::string path = written("vekra_onnx_groups.onnx", model + extra);
    EXPECT_EQ(shown(readDeclaredGraph(path).inputs), (std::vector<std::string>{"x[N,3]"})) << extra.size();
    std::remove(path.c_str());
  }
  for (const std::string& extra : {varint(14 << 3 | 4), varint(14 << 3 | 3), varint(14 << 3 | 3) + varint(15 << 3 | 4),
                                   group(21, deep)}) {
    const std::string path = written("vekra_onnx_groups.onnx", model + extra);
    EXPECT_THROW(readDeclaredGraph(path), std::runtime_error) << extra.size();
    std::remove(path.c_str());
  }
}
