// Test helper: the message of the std::runtime_error that f throws.
#pragma once

#include <stdexcept>
#include <string>

template <class F>
std::string thrownBy(F&& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no exception>";
}
