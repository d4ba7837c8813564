// Vekra::Onnx::readDeclaredGraph on the models of tests/data and on files that are no model.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "model_files.h"
#include "utils/OnnxFile"

using Vekra::Onnx::DeclaredGraph;
using Vekra::Onnx::DeclaredTensor;
using Vekra::Onnx::readDeclaredGraph;

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
  }
  return text + "]";
}

std::vector<std::string> shown(const std::vector<DeclaredTensor>& tensors) {
  std::vector<std::string> all;
  for (const DeclaredTensor& t : tensors) all.push_back(shown(t));
  return all;
}

std::string bytesOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
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
