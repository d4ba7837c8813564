// Vector, VectorView and Matrix: sizes, shared storage, checked access and its messages.
#include <gtest/gtest.h>

#include "utils/ElementTypes"

#include <complex>
#include <cstdint>

#include "thrown.h"
#include "types/Matrix"
#include "types/Vector"
#include "types/VectorView"

using namespace Vekra;

template <class T>
class Containers : public ::testing::Test {};
TYPED_TEST_SUITE(Containers, ElementTypesAs<::testing::Types>);

TYPED_TEST(Containers, VectorStartsZeroAndChecksBounds) {
  Vector<TypeParam> v(4);
  EXPECT_EQ(v.numel(), 4u);
  EXPECT_EQ(v.template dim<0>(), 4u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(v[i], TypeParam(0));
  EXPECT_EQ(thrownBy([&] { v[4]; }), "index 4 exceeds max number of elements 4");
  const Vector<TypeParam>& cv = v;
  EXPECT_EQ(thrownBy([&] { cv[9]; }), "index 9 exceeds max number of elements 4");
  Vector<TypeParam> empty(0);
  EXPECT_EQ(thrownBy([&] { empty[0]; }), "index 0 exceeds max number of elements 0");
}

TYPED_TEST(Containers, ViewsComposeOffsetsAndShareStorage) {
  Vector<TypeParam> v(10);
  for (std::size_t i = 0; i < 10; ++i) v[i] = TypeParam(float(i));
  auto w = v[{2, 8}];
  EXPECT_EQ(w.numel(), 6u);
  EXPECT_EQ(w.get(), v.get() + 2);
  auto u = w[{1, 3}];
  EXPECT_EQ(u.numel(), 2u);
  EXPECT_EQ(u.get(), v.get() + 3);
  EXPECT_EQ(u[1], v[4]);
  EXPECT_EQ(thrownBy([&] { w[6]; }), "index 6 exceeds max number of elements 6");
  EXPECT_EQ(thrownBy([&] { w[{0, 7}]; }), "index 7 exceeds max number of elements 6");
  EXPECT_EQ(thrownBy([&] { v[{0, 11}]; }), "index 11 exceeds max number of elements 10");

  w[0] = TypeParam(42);
  Vector<TypeParam> copy = v;
  EXPECT_EQ(copy[2], TypeParam(42));
  auto fromCopy = copy[{2, 3}];
  EXPECT_EQ(fromCopy[0], TypeParam(42));
}

TYPED_TEST(Containers, ReversedAndEmptyRangesGiveEmptyViews) {
  Vector<TypeParam> v(5);
  EXPECT_EQ((v[{2, 2}]).numel(), 0u);
  EXPECT_EQ((v[{3, 1}]).numel(), 0u);
  EXPECT_EQ((v[{0, 5}]).numel(), 5u);
  auto w = v[{1, 4}];
  EXPECT_EQ((w[{2, 0}]).numel(), 0u);
}

TYPED_TEST(Containers, ViewOutlivesItsVector) {
  std::unique_ptr<VectorView<TypeParam>> w;
  {
    Vector<TypeParam> v(3);
    v[1] = TypeParam(7);
    w = std::make_unique<VectorView<TypeParam>>(v[{1, 3}]);
  }
  EXPECT_EQ((*w)[0], TypeParam(7));
  (*w)[1] = TypeParam(8);
  EXPECT_EQ((*w)[1], TypeParam(8));
}

TYPED_TEST(Containers, MatrixIsColumnMajorWithThreeStepCheck) {
  Matrix<TypeParam> a(2, 3);
  EXPECT_EQ(a.template dim<0>(), 2u);
  EXPECT_EQ(a.template dim<1>(), 3u);
  EXPECT_EQ(a.numel(), 6u);
  a[{1, 0}] = TypeParam(5);
  a[{1, 2}] = TypeParam(9);
  EXPECT_EQ(a.get()[1], TypeParam(5));
  EXPECT_EQ(a.get()[5], TypeParam(9));
  EXPECT_EQ(thrownBy([&] { a[{2, 0}]; }), "index for dimension 02exceeds max number of elements for that dimension 2");
  EXPECT_EQ(thrownBy([&] { a[{6, 0}]; }), "requested array index 6exceeds max number of elements 6");
  EXPECT_EQ(thrownBy([&] { a[{0, 3}]; }), "requested array index 6exceeds max number of elements 6");
  const std::size_t wraps = std::size_t(1) << 63;  // wraps * 2 == 0 (mod 2^64)
  EXPECT_EQ(thrownBy([&] { a[{1, wraps}]; }),
            "index for dimension 1" + std::to_string(wraps) + "exceeds max number of elements for that dimension 3");
  Matrix<TypeParam> shared = a;
  EXPECT_EQ((shared[{1, 2}]), TypeParam(9));
  Matrix<TypeParam> empty(0, 4);
  EXPECT_EQ(empty.template dim<1>(), 4u);
  EXPECT_EQ(thrownBy([&] { empty[{0, 0}]; }), "requested array index 0exceeds max number of elements 0");
}

TYPED_TEST(Containers, ImpossibleSizesThrowBadAlloc) {
  EXPECT_THROW(Matrix<TypeParam>(std::size_t(1) << 33, std::size_t(1) << 33), std::bad_alloc);
  EXPECT_THROW(Vector<TypeParam>(std::size_t(1) << 62), std::bad_alloc);
  // Sizes whose element count plus the reference count's room wraps around.
  for (std::size_t n : {SIZE_MAX, SIZE_MAX - 1, SIZE_MAX / sizeof(TypeParam)}) {
    EXPECT_THROW(Vector<TypeParam>{n}, std::bad_alloc) << n;
    EXPECT_THROW((Matrix<TypeParam>{1, n}), std::bad_alloc) << n;
  }
  const std::size_t largest = PTRDIFF_MAX / sizeof(TypeParam);
  EXPECT_THROW(Vector<TypeParam>{largest + 1}, std::bad_alloc);
  EXPECT_THROW(Vector<TypeParam>{largest}, std::bad_alloc);
}

TYPED_TEST(Containers, BuffersAreAlignedForTheirElements) {
  const auto misalignment = [](const void* p) { return reinterpret_cast<std::uintptr_t>(p) % alignof(TypeParam); };
  for (std::size_t n : {1u, 3u, 64u}) {
    EXPECT_EQ(misalignment(Vector<TypeParam>(n).get()), 0u) << n;
    EXPECT_EQ(misalignment(Matrix<TypeParam>(n, 2).get()), 0u) << n;
  }
}
