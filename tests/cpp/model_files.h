// Test helpers for the model tests: where the test models lie, and what a call prints.
#pragma once

#include <iostream>
#include <sstream>
#include <string>

inline std::string modelPath(const std::string& name) {
  return std::string(VEKRA_TEST_DATA_DIR) + "/" + name + ".onnx";
}

// Runs `f` with std::cout redirected; returns what was written.
template <class F>
std::string coutOf(F&& f) {
  std::stringstream captured;
  std::streambuf* previous = std::cout.rdbuf(captured.rdbuf());
  try {
    f();
  } catch (...) {
    std::cout.rdbuf(previous);
    throw;
  }
  std::cout.rdbuf(previous);
  return captured.str();
}
