// Test helpers for the model tests: where the test models lie, what a call prints, and
// tensor values to feed and compare.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "utils/Ort"

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

// Fills `count` elements of a float or int64 tensor from `seed`: small integers (quarters for
// float), exact in either type.
inline void fillElements(void* data, ONNXTensorElementDataType type, std::size_t count, int seed) {
  for (std::size_t e = 0; e < count; ++e) {
    const int v = static_cast<int>((static_cast<std::size_t>(seed) * 31 + e * 7) % 17) - 8;
    if (type == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) {
      const float f = 0.25f * static_cast<float>(v);
      std::memcpy(static_cast<std::byte*>(data) + 4 * e, &f, 4);
    } else {
      const int64_t n = v;
      std::memcpy(static_cast<std::byte*>(data) + 8 * e, &n, 8);
    }
  }
}

// Whether `count` elements of `type` agree: floats within `tolerance`, relative to 1 + |b|,
// the other types bit for bit.
inline ::testing::AssertionResult sameElements(ONNXTensorElementDataType type, const void* a, const void* b,
                                               std::size_t count, float tolerance) {
  if (type != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) {
    if (count == 0 || std::memcmp(a, b, count * Vekra::Onnx::elementSize(type)) == 0)
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the elements differ";
  }
  for (std::size_t e = 0; e < count; ++e) {
    float x, y;
    std::memcpy(&x, static_cast<const std::byte*>(a) + 4 * e, 4);
    std::memcpy(&y, static_cast<const std::byte*>(b) + 4 * e, 4);
    if (!(std::fabs(x - y) <= tolerance * (1.0f + std::fabs(y))))
      return ::testing::AssertionFailure() << "element " << e << ": " << x << " against " << y;
  }
  return ::testing::AssertionSuccess();
}
