// Test helpers: a file's bytes, and the protobuf wire encoding written by hand (varints,
// length-delimited fields), for the tests that craft ONNX files byte by byte.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

inline std::string bytesOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::string varint(uint64_t value) {
  std::string out;
  do {
    out += static_cast<char>((value & 0x7f) | (value > 0x7f ? 0x80 : 0));
    value >>= 7;
  } while (value != 0);
  return out;
}

// A length-delimited field: key, length, contents.
inline std::string field(uint32_t number, const std::string& contents) {
  return varint(uint64_t{number} << 3 | 2) + varint(contents.size()) + contents;
}

// A varint field: key, value.
inline std::string varintField(uint32_t number, uint64_t value) { return varint(uint64_t{number} << 3) + varint(value); }
