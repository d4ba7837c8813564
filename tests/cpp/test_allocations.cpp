// Heap allocations made by the containers: one per buffer (elements and reference count
// together), none for a copy or a view.
//
// The count covers every heap allocation the current thread makes inside an AllocationCount's
// lifetime, and nothing outside it, so the other tests of this binary are unaffected. Normally
// the global operator new of this binary is replaced for it. Under AddressSanitizer the
// sanitizer's own operator new stays (it checks new/delete pairing) and its allocation hook
// counts instead.
#include <gtest/gtest.h>

#include "utils/ElementTypes"

#include <complex>
#include <cstddef>
#include <cstdlib>
#include <new>

#include "types/Matrix"
#include "types/Vector"

namespace {

thread_local std::size_t* t_allocations = nullptr;

void noteAllocation() {
  if (t_allocations != nullptr) ++*t_allocations;
}

// Counts the current thread's allocations from construction to stop().
class AllocationCount {
 public:
  AllocationCount() { t_allocations = &m_count; }
  ~AllocationCount() {
    if (t_allocations == &m_count) t_allocations = nullptr;
  }
  AllocationCount(const AllocationCount&) = delete;
  AllocationCount& operator=(const AllocationCount&) = delete;
  std::size_t stop() {
    t_allocations = nullptr;
    return m_count;
  }

 private:
  std::size_t m_count = 0;
};

}  // namespace

#ifdef __SANITIZE_ADDRESS__
// From the sanitizer runtime's public interface (sanitizer/allocator_interface.h).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, std::size_t),
                                                         void (*free_hook)(const volatile void*));

namespace {
const int hooksInstalled = __sanitizer_install_malloc_and_free_hooks(
    [](const volatile void*, std::size_t) { noteAllocation(); }, [](const volatile void*) {});
}  // namespace
#else
void* operator new(std::size_t size) {
  noteAllocation();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

using namespace Vekra;

template <class T>
class Allocations : public ::testing::Test {};
TYPED_TEST_SUITE(Allocations, ElementTypesAs<::testing::Types>);

TYPED_TEST(Allocations, OneAllocationPerBuffer) {
  for (std::size_t n : {std::size_t(0), std::size_t(1), std::size_t(1000)}) {
    AllocationCount vectorCount;
    Vector<TypeParam> v(n);
    EXPECT_EQ(vectorCount.stop(), 1u) << "vector of " << n;

    AllocationCount matrixCount;
    Matrix<TypeParam> a(n, 3);
    EXPECT_EQ(matrixCount.stop(), 1u) << "matrix of " << n << " rows";
  }
}

TYPED_TEST(Allocations, CopiesAndViewsShareTheBuffer) {
  Vector<TypeParam> v(8);
  Matrix<TypeParam> a(2, 4);
  AllocationCount count;
  {
    Vector<TypeParam> copy = v;
    auto view = v[{1, 5}];
    auto viewOfView = view[{1, 2}];
    Matrix<TypeParam> matrixCopy = a;
  }
  EXPECT_EQ(count.stop(), 0u);
}
