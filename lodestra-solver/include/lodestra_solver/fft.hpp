#pragma once
// The one wrapper around FFTW: aligned buffers and real-input transform plans.
//
// Conventions (FFTW's own, not rescaled here):
//   forward  X(p) = sum_a x(a) exp(-2 pi I (a . p / n)), unnormalised, of a real array x
//   inverse  x(a) = sum_p X(p) exp(+2 pi I (a . p / n)), unnormalised: the caller divides
//            by the number of points
// where a . p / n = a_0 p_0 / n_0 + ... + a_{d-1} p_{d-1} / n_{d-1}. A real array of extents
// n_0 x ... x n_{d-1} (row-major, last index fastest) pairs with its half spectrum of extents
// n_0 x ... x (n_{d-1}/2 + 1): only the modes whose last index is 0 .. n_{d-1}/2 are stored,
// the others follow from X(-p) = conj(X(p)). The inverse reads its input as such a
// Hermitian half spectrum (a non-Hermitian spectrum must be symmetrised first) and
// overwrites it.
//
// Reproducibility: plans are made with FFTW_ESTIMATE, whose choice depends only on the
// extents and on the buffers' alignment (always FFTW's SIMD alignment here), never on
// timings. Equal inputs therefore give bit-identical outputs in every process, provided
// nothing else in the process feeds FFTW wisdom for real-input problems (wisdom from a more
// patient planner would be reused by the estimating planner).
//
// ComplexPlan2D and ComplexPlan3D are the plain complex transforms, with the same signs and no
// scaling. Its measuring mode times candidate plans, so different processes may pick different
// plans that round differently: it exists to give benchmarks a reference time, never to make
// results.
//
// Threads: a real transform of rank 2 or 3 is done in two stages of independent blocks: the
// transforms along the last axis (rank 2: chunks of kRowBlock rows) or over the last two axes
// (rank 3: one (ny, nz) plane per block), then the complex transforms along the first axis
// (rank 2: chunks of kColumnBlock stored columns; rank 3: the nz/2 + 1 columns of
// kPlaneBlock values of j per block). Every block of a stage runs the same plan (a shorter last
// chunk its own one), made once with the object, so the blocks can be shared among the engine's
// threads and the rounding never depends on how many there are. FFTW's planner is not thread-safe:
// plans are made on the calling thread; executing a plan on new arrays is.

#include <complex>
#include <cstddef>
#include <memory>
#include <span>

#include "lodestra_fields/grid.hpp"

namespace lodestra_solver::fft {

using lodestra_fields::Count;
using Complex = std::complex<double>;  // layout-compatible with fftw_complex

namespace detail {
void* aligned_alloc_bytes(std::size_t count, std::size_t size);
void aligned_free(void* p) noexcept;
struct PlanDeleter {
  void operator()(void* plan) const noexcept;
};
}  // namespace detail

// An owned FFTW plan (null for an empty transform).
using PlanHandle = std::unique_ptr<void, detail::PlanDeleter>;

// Rows of a rank-2 real transform per block of its first stage, stored columns per block of
// its second stage.
inline constexpr Count kRowBlock = 16;
inline constexpr Count kColumnBlock = 8;
// Values of j per block of the second stage of a rank-3 transform.
inline constexpr Count kPlaneBlock = 4;

namespace detail {
// The plans of a real transform's two stages (fft.cpp).
struct Stages;
struct StagesDeleter {
  void operator()(Stages* stages) const noexcept;
};
using StagesHandle = std::unique_ptr<Stages, StagesDeleter>;
}  // namespace detail

// A zero-initialised array in FFTW-aligned storage. Move-only.
template <class T>
class AlignedBuffer {
 public:
  AlignedBuffer() = default;
  explicit AlignedBuffer(Count size)
      : data_(static_cast<T*>(detail::aligned_alloc_bytes(size, sizeof(T)))), size_(size) {
    for (Count i = 0; i < size_; ++i) data_[i] = T{};
  }
  ~AlignedBuffer() { detail::aligned_free(data_); }
  AlignedBuffer(AlignedBuffer&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  AlignedBuffer& operator=(AlignedBuffer&& other) noexcept {
    if (this != &other) {
      detail::aligned_free(data_);
      data_ = other.data_;
      size_ = other.size_;
      other.data_ = nullptr;
      other.size_ = 0;
    }
    return *this;
  }
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;

  Count size() const { return size_; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](Count i) { return data_[i]; }
  const T& operator[](Count i) const { return data_[i]; }
  std::span<T> span() { return {data_, static_cast<std::size_t>(size_)}; }
  std::span<const T> span() const { return {data_, static_cast<std::size_t>(size_)}; }

 private:
  T* data_ = nullptr;
  Count size_ = 0;
};

using RealBuffer = AlignedBuffer<double>;
using ComplexBuffer = AlignedBuffer<Complex>;

// Number of stored modes of the half spectrum of a real array with these extents
// (n_{d-1} replaced by n_{d-1}/2 + 1), checked against overflow; 0 for an empty array.
Count half_spectrum_size(std::span<const Count> extents);
// Number of points of a real array with these extents, checked against overflow.
Count real_size(std::span<const Count> extents);

// The forward real-to-half-spectrum transform of one shape. Move-only. An array with a
// zero extent makes an empty plan whose execution does nothing.
class RealForward {
 public:
  RealForward() = default;
  explicit RealForward(std::span<const Count> extents);

  // spectrum = forward(x). x is left unchanged.
  void execute(const RealBuffer& x, ComplexBuffer& spectrum) const;

 private:
  detail::StagesHandle plan_;
  Count points_ = 0;
  Count modes_ = 0;
};

// The unnormalised inverse half-spectrum-to-real transform of one shape. Move-only.
class RealInverse {
 public:
  RealInverse() = default;
  explicit RealInverse(std::span<const Count> extents);

  // x = inverse(spectrum), unnormalised. The spectrum is overwritten.
  void execute(ComplexBuffer& spectrum, RealBuffer& x) const;

 private:
  detail::StagesHandle plan_;
  Count points_ = 0;
  Count modes_ = 0;
};

enum class Planning { Estimate, Measure };

// Complex nx x ny transforms, out of place, unnormalised both ways; the input is preserved.
// Planned on private buffers, so measuring never touches the caller's data. Move-only.
class ComplexPlan2D {
 public:
  ComplexPlan2D(Count nx, Count ny, Planning planning = Planning::Estimate);

  void forward(const ComplexBuffer& in, ComplexBuffer& out) const;
  void inverse(const ComplexBuffer& in, ComplexBuffer& out) const;

 private:
  PlanHandle forward_;
  PlanHandle inverse_;
  Count points_ = 0;
};

// Complex nx x ny x nz transforms, as ComplexPlan2D.
class ComplexPlan3D {
 public:
  ComplexPlan3D(Count nx, Count ny, Count nz, Planning planning = Planning::Estimate);

  void forward(const ComplexBuffer& in, ComplexBuffer& out) const;
  void inverse(const ComplexBuffer& in, ComplexBuffer& out) const;

 private:
  PlanHandle forward_;
  PlanHandle inverse_;
  Count points_ = 0;
};

}  // namespace lodestra_solver::fft
