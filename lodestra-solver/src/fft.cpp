#include "lodestra_solver/fft.hpp"

#include <fftw3.h>

#include <array>
#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "lodestra_core/format.hpp"
#include "lodestra_core/panic.hpp"
#include "lodestra_core/sizes.hpp"

namespace lodestra_solver::fft {

using lodestra_core::checked_mul;
using lodestra_core::fmt_int;
using lodestra_core::panic;

namespace detail {

void* aligned_alloc_bytes(std::size_t count, std::size_t size) {
  if (count == 0) return nullptr;
  const std::size_t bytes = checked_mul(count, size);
  void* p = fftw_malloc(bytes);
  if (p == nullptr) {
    throw lodestra_core::AllocationError("cannot allocate FFT work storage (" +
                                         lodestra_core::fmt_int(std::uint64_t{bytes}) + " bytes)");
  }
  return p;
}

void aligned_free(void* p) noexcept {
  if (p != nullptr) fftw_free(p);
}

void PlanDeleter::operator()(void* plan) const noexcept {
  fftw_destroy_plan(static_cast<fftw_plan>(plan));
}

}  // namespace detail

namespace {

bool has_zero_extent(std::span<const Count> extents) {
  for (Count n : extents) {
    if (n == 0) return true;
  }
  return extents.empty();
}

// Row-major strides of the real array (in doubles) and of its half spectrum (in complex
// values), the last axis contiguous in both.
std::vector<fftw_iodim64> real_dims(std::span<const Count> extents) {
  std::vector<fftw_iodim64> dims(extents.size());
  std::ptrdiff_t real_stride = 1;
  std::ptrdiff_t half_stride = 1;
  for (std::size_t d = extents.size(); d-- > 0;) {
    const Count n = extents[d];
    dims[d].n = static_cast<std::ptrdiff_t>(n);
    dims[d].is = real_stride;
    dims[d].os = half_stride;
    real_stride = static_cast<std::ptrdiff_t>(checked_mul(static_cast<Count>(real_stride), n));
    const Count stored = d + 1 == extents.size() ? n / 2 + 1 : n;
    half_stride = static_cast<std::ptrdiff_t>(checked_mul(static_cast<Count>(half_stride), stored));
  }
  return dims;
}

void check_extents(std::span<const Count> extents) {
  for (Count n : extents) {
    if (n > static_cast<Count>(PTRDIFF_MAX)) panic("FFT extent " + fmt_int(n) + " is too large");
  }
}

void check_buffer(const void* p, Count size, Count expected, const char* what) {
  if (size != expected) {
    panic(std::string("FFT ") + what + " holds " + fmt_int(size) + " values, the plan needs " +
          fmt_int(expected));
  }
  // The plan was made on FFTW-aligned buffers; SIMD codelets need the same alignment.
  if (fftw_alignment_of(const_cast<double*>(static_cast<const double*>(p))) != 0) {
    panic(std::string("FFT ") + what + " is not FFTW-aligned");
  }
}

}  // namespace

Count real_size(std::span<const Count> extents) {
  Count total = extents.empty() ? 0 : 1;
  for (Count n : extents) total = checked_mul(total, n);
  return total;
}

Count half_spectrum_size(std::span<const Count> extents) {
  if (has_zero_extent(extents)) return 0;
  Count total = 1;
  for (std::size_t d = 0; d < extents.size(); ++d) {
    total = checked_mul(total, d + 1 == extents.size() ? extents[d] / 2 + 1 : extents[d]);
  }
  return total;
}

RealForward::RealForward(std::span<const Count> extents) {
  check_extents(extents);
  points_ = real_size(extents);
  modes_ = half_spectrum_size(extents);
  if (has_zero_extent(extents)) return;
  // The estimating planner reads neither array; they only fix alignment and placement.
  RealBuffer x(points_);
  ComplexBuffer spectrum(modes_);
  const std::vector<fftw_iodim64> dims = real_dims(extents);
  plan_.reset(fftw_plan_guru64_dft_r2c(static_cast<int>(dims.size()), dims.data(), 0, nullptr,
                                       x.data(), reinterpret_cast<fftw_complex*>(spectrum.data()),
                                       FFTW_ESTIMATE | FFTW_PRESERVE_INPUT));
  if (plan_ == nullptr) panic("FFTW could not plan a forward real transform");
}

void RealForward::execute(const RealBuffer& x, ComplexBuffer& spectrum) const {
  check_buffer(x.data(), x.size(), points_, "input");
  check_buffer(spectrum.data(), spectrum.size(), modes_, "spectrum");
  if (plan_ == nullptr) return;
  // FFTW_PRESERVE_INPUT: the input really is left alone, the cast only meets the C API.
  fftw_execute_dft_r2c(static_cast<fftw_plan>(plan_.get()), const_cast<double*>(x.data()),
                       reinterpret_cast<fftw_complex*>(spectrum.data()));
}

RealInverse::RealInverse(std::span<const Count> extents) {
  check_extents(extents);
  points_ = real_size(extents);
  modes_ = half_spectrum_size(extents);
  if (has_zero_extent(extents)) return;
  RealBuffer x(points_);
  ComplexBuffer spectrum(modes_);
  const std::vector<fftw_iodim64> dims = real_dims(extents);
  // Multi-dimensional complex-to-real transforms always overwrite their input.
  std::vector<fftw_iodim64> inverse_dims = dims;
  for (fftw_iodim64& d : inverse_dims) std::swap(d.is, d.os);
  plan_.reset(fftw_plan_guru64_dft_c2r(static_cast<int>(inverse_dims.size()), inverse_dims.data(),
                                       0, nullptr, reinterpret_cast<fftw_complex*>(spectrum.data()),
                                       x.data(), FFTW_ESTIMATE | FFTW_DESTROY_INPUT));
  if (plan_ == nullptr) panic("FFTW could not plan an inverse real transform");
}

void RealInverse::execute(ComplexBuffer& spectrum, RealBuffer& x) const {
  check_buffer(spectrum.data(), spectrum.size(), modes_, "spectrum");
  check_buffer(x.data(), x.size(), points_, "output");
  if (plan_ == nullptr) return;
  fftw_execute_dft_c2r(static_cast<fftw_plan>(plan_.get()),
                       reinterpret_cast<fftw_complex*>(spectrum.data()), x.data());
}

namespace {

// Row-major complex plans of these extents, out of place, preserving the input.
void plan_complex(std::span<const Count> extents, Planning planning, PlanHandle& forward,
                  PlanHandle& inverse, Count& points) {
  check_extents(extents);
  points = real_size(extents);
  if (points == 0) return;
  ComplexBuffer in(points);
  ComplexBuffer out(points);
  std::vector<fftw_iodim64> dims(extents.size());
  std::ptrdiff_t stride = 1;
  for (std::size_t d = extents.size(); d-- > 0;) {
    dims[d] = {static_cast<std::ptrdiff_t>(extents[d]), stride, stride};
    stride *= static_cast<std::ptrdiff_t>(extents[d]);
  }
  const unsigned flags =
      (planning == Planning::Measure ? FFTW_MEASURE : FFTW_ESTIMATE) | FFTW_PRESERVE_INPUT;
  auto* i = reinterpret_cast<fftw_complex*>(in.data());
  auto* o = reinterpret_cast<fftw_complex*>(out.data());
  const int rank = static_cast<int>(dims.size());
  forward.reset(fftw_plan_guru64_dft(rank, dims.data(), 0, nullptr, i, o, FFTW_FORWARD, flags));
  inverse.reset(fftw_plan_guru64_dft(rank, dims.data(), 0, nullptr, i, o, FFTW_BACKWARD, flags));
  if (!forward || !inverse) panic("FFTW could not plan a complex transform");
}

}  // namespace

ComplexPlan2D::ComplexPlan2D(Count nx, Count ny, Planning planning) {
  const std::array<Count, 2> extents{nx, ny};
  plan_complex(extents, planning, forward_, inverse_, points_);
}

ComplexPlan3D::ComplexPlan3D(Count nx, Count ny, Count nz, Planning planning) {
  const std::array<Count, 3> extents{nx, ny, nz};
  plan_complex(extents, planning, forward_, inverse_, points_);
}

namespace {

void execute_complex(void* plan, const ComplexBuffer& in, ComplexBuffer& out, Count points) {
  check_buffer(in.data(), in.size(), points, "input");
  check_buffer(out.data(), out.size(), points, "output");
  if (plan == nullptr) return;
  // The plans are out of place; FFTW_PRESERVE_INPUT leaves the input alone.
  if (static_cast<const void*>(in.data()) == static_cast<const void*>(out.data())) {
    panic("complex FFT input and output must be different buffers");
  }
  fftw_execute_dft(static_cast<fftw_plan>(plan),
                   reinterpret_cast<fftw_complex*>(const_cast<Complex*>(in.data())),
                   reinterpret_cast<fftw_complex*>(out.data()));
}

}  // namespace

void ComplexPlan2D::forward(const ComplexBuffer& in, ComplexBuffer& out) const {
  execute_complex(forward_.get(), in, out, points_);
}

void ComplexPlan2D::inverse(const ComplexBuffer& in, ComplexBuffer& out) const {
  execute_complex(inverse_.get(), in, out, points_);
}

void ComplexPlan3D::forward(const ComplexBuffer& in, ComplexBuffer& out) const {
  execute_complex(forward_.get(), in, out, points_);
}

void ComplexPlan3D::inverse(const ComplexBuffer& in, ComplexBuffer& out) const {
  execute_complex(inverse_.get(), in, out, points_);
}

}  // namespace lodestra_solver::fft
