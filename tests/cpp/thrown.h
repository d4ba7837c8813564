// Test helper: the message of the exception that f throws, of kind E (std::runtime_error unless
// told), or "<no exception>".
#pragma once

#include <stdexcept>
#include <string>

template <class E = std::runtime_error, class F>
std::string thrownBy(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<no exception>";
}
