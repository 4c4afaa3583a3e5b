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
#include "lodestra_core/threads.hpp"

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

namespace detail {

// The plans of a real transform. Rank 1: `whole`. Rank 2 and 3 (fft.hpp): the real stage
// over blocks of the real array (real_stride doubles apart) and of the spectrum (half_stride
// values apart), then the complex stage in place over blocks of the spectrum
// (complex_stride values apart); in each stage the last block runs `tail` when it holds
// fewer rows or columns than the others.
struct Stages {
  PlanHandle whole;
  PlanHandle real_full;
  PlanHandle real_tail;
  Count real_blocks = 0;
  Count real_stride = 0;
  Count half_stride = 0;
  Count real_work = 0;
  PlanHandle complex_full;
  PlanHandle complex_tail;
  Count complex_blocks = 0;
  Count complex_stride = 0;
  Count complex_work = 0;

  void* real_plan(Count b) const {
    return b + 1 == real_blocks && real_tail ? real_tail.get() : real_full.get();
  }
  void* complex_plan(Count b) const {
    return b + 1 == complex_blocks && complex_tail ? complex_tail.get() : complex_full.get();
  }
};

void StagesDeleter::operator()(Stages* stages) const noexcept { delete stages; }

}  // namespace detail

namespace {

using detail::Stages;

fftw_iodim64 dim(Count n, Count is, Count os) {
  return {static_cast<std::ptrdiff_t>(n), static_cast<std::ptrdiff_t>(is),
          static_cast<std::ptrdiff_t>(os)};
}

// A real-to-half-spectrum (forward) or half-spectrum-to-real (inverse) plan of `dims` over
// `loops`, made on fresh buffers of `points` doubles and `modes` values. The estimating planner
// reads neither buffer; they fix alignment and placement.
PlanHandle plan_real(bool forward, const std::vector<fftw_iodim64>& dims,
                     const std::vector<fftw_iodim64>& loops, Count points, Count modes,
                     unsigned extra_flags) {
  RealBuffer x(points);
  ComplexBuffer spectrum(modes);
  auto* h = reinterpret_cast<fftw_complex*>(spectrum.data());
  PlanHandle plan;
  if (forward) {
    plan.reset(fftw_plan_guru64_dft_r2c(static_cast<int>(dims.size()), dims.data(),
                                        static_cast<int>(loops.size()), loops.data(), x.data(), h,
                                        FFTW_ESTIMATE | FFTW_PRESERVE_INPUT | extra_flags));
  } else {
    // The inverse reads the spectrum with the forward's output strides and writes the real
    // array with its input strides; it may overwrite the spectrum.
    std::vector<fftw_iodim64> d = dims;
    std::vector<fftw_iodim64> l = loops;
    for (fftw_iodim64& e : d) std::swap(e.is, e.os);
    for (fftw_iodim64& e : l) std::swap(e.is, e.os);
    plan.reset(fftw_plan_guru64_dft_c2r(static_cast<int>(d.size()), d.data(),
                                        static_cast<int>(l.size()), l.data(), h, x.data(),
                                        FFTW_ESTIMATE | FFTW_DESTROY_INPUT | extra_flags));
  }
  if (plan == nullptr) panic("FFTW could not plan a real transform");
  return plan;
}

// A complex plan in place of `dim_` over `loop`, on a fresh buffer of `modes` values.
PlanHandle plan_columns(bool forward, fftw_iodim64 dim_, fftw_iodim64 loop, Count modes) {
  ComplexBuffer buffer(modes);
  auto* h = reinterpret_cast<fftw_complex*>(buffer.data());
  PlanHandle plan(fftw_plan_guru64_dft(1, &dim_, 1, &loop, h, h,
                                       forward ? FFTW_FORWARD : FFTW_BACKWARD, FFTW_ESTIMATE));
  if (plan == nullptr) panic("FFTW could not plan a complex transform");
  return plan;
}

// Blocks of at most `per` of `n` items: the block count and the size of the last one.
struct Blocks {
  Count count;
  Count per;
  Count last;
};
Blocks blocks_of(Count n, Count per) {
  const Count p = n < per ? n : per;
  const Count count = (n + p - 1) / p;
  return {count, p, n - (count - 1) * p};
}

detail::StagesHandle make_stages(std::span<const Count> extents, bool forward) {
  detail::StagesHandle st(new Stages);
  const Count points = real_size(extents);
  const Count modes = half_spectrum_size(extents);
  if (extents.size() == 2) {
    const Count nx = extents[0];
    const Count ny = extents[1];
    const Count nyh = ny / 2 + 1;
    // Rows: kRowBlock rows per block, an even number of doubles apart, so every block keeps
    // FFTW's alignment.
    const Blocks rows = blocks_of(nx, kRowBlock);
    auto row_plan = [&](Count count) {
      return plan_real(forward, {dim(ny, 1, 1)}, {dim(count, ny, nyh)}, count * ny, count * nyh, 0);
    };
    st->real_full = row_plan(rows.per);
    if (rows.last != rows.per) st->real_tail = row_plan(rows.last);
    st->real_blocks = rows.count;
    st->real_stride = rows.per * ny;
    st->half_stride = rows.per * nyh;
    st->real_work = rows.per * ny;
    // Columns of the half spectrum along x.
    const Blocks cols = blocks_of(nyh, kColumnBlock);
    auto column_plan = [&](Count count) {
      return plan_columns(forward, dim(nx, nyh, nyh), dim(count, 1, 1), modes);
    };
    st->complex_full = column_plan(cols.per);
    if (cols.last != cols.per) st->complex_tail = column_plan(cols.last);
    st->complex_blocks = cols.count;
    st->complex_stride = cols.per;
    st->complex_work = cols.per * nx;
  } else if (extents.size() == 3) {
    const Count nx = extents[0];
    const Count ny = extents[1];
    const Count nz = extents[2];
    const Count nzh = nz / 2 + 1;
    // One (ny, nz) plane per block; planes an odd number of doubles apart are not all
    // aligned alike, so their plan assumes no alignment.
    const unsigned align = (ny * nz) % 2 != 0 && nx > 1 ? FFTW_UNALIGNED : 0;
    st->real_full =
        plan_real(forward, {dim(ny, nz, nzh), dim(nz, 1, 1)}, {}, ny * nz, ny * nzh, align);
    st->real_blocks = nx;
    st->real_stride = ny * nz;
    st->half_stride = ny * nzh;
    st->real_work = ny * nz;
    // The nzh stored columns of kPlaneBlock consecutive j along x per block.
    const Blocks js = blocks_of(ny, kPlaneBlock);
    auto column_plan = [&](Count count) {
      return plan_columns(forward, dim(nx, ny * nzh, ny * nzh), dim(count * nzh, 1, 1), modes);
    };
    st->complex_full = column_plan(js.per);
    if (js.last != js.per) st->complex_tail = column_plan(js.last);
    st->complex_blocks = js.count;
    st->complex_stride = js.per * nzh;
    st->complex_work = js.per * nx * nzh;
  } else {
    const std::vector<fftw_iodim64> dims = real_dims(extents);
    st->whole = plan_real(forward, dims, {}, points, modes, 0);
  }
  return st;
}

void run_real_stage(const Stages& st, bool forward, double* x, fftw_complex* h) {
  lodestra_core::parallel_for(0, st.real_blocks, lodestra_core::grain_for(st.real_work),
                              [&](Count b0, Count b1) {
                                for (Count b = b0; b < b1; ++b) {
                                  auto* plan = static_cast<fftw_plan>(st.real_plan(b));
                                  double* xb = x + b * st.real_stride;
                                  fftw_complex* hb = h + b * st.half_stride;
                                  if (forward) {
                                    fftw_execute_dft_r2c(plan, xb, hb);
                                  } else {
                                    fftw_execute_dft_c2r(plan, hb, xb);
                                  }
                                }
                              });
}

void run_complex_stage(const Stages& st, fftw_complex* h) {
  lodestra_core::parallel_for(
      0, st.complex_blocks, lodestra_core::grain_for(st.complex_work), [&](Count b0, Count b1) {
        for (Count b = b0; b < b1; ++b) {
          fftw_complex* hb = h + b * st.complex_stride;
          fftw_execute_dft(static_cast<fftw_plan>(st.complex_plan(b)), hb, hb);
        }
      });
}

}  // namespace

RealForward::RealForward(std::span<const Count> extents) {
  check_extents(extents);
  points_ = real_size(extents);
  modes_ = half_spectrum_size(extents);
  if (has_zero_extent(extents)) return;
  plan_ = make_stages(extents, true);
}

void RealForward::execute(const RealBuffer& x, ComplexBuffer& spectrum) const {
  check_buffer(x.data(), x.size(), points_, "input");
  check_buffer(spectrum.data(), spectrum.size(), modes_, "spectrum");
  if (plan_ == nullptr) return;
  // FFTW_PRESERVE_INPUT: the input really is left alone, the cast only meets the C API.
  auto* in = const_cast<double*>(x.data());
  auto* h = reinterpret_cast<fftw_complex*>(spectrum.data());
  if (plan_->whole) {
    fftw_execute_dft_r2c(static_cast<fftw_plan>(plan_->whole.get()), in, h);
    return;
  }
  run_real_stage(*plan_, true, in, h);
  run_complex_stage(*plan_, h);
}

RealInverse::RealInverse(std::span<const Count> extents) {
  check_extents(extents);
  points_ = real_size(extents);
  modes_ = half_spectrum_size(extents);
  if (has_zero_extent(extents)) return;
  plan_ = make_stages(extents, false);
}

void RealInverse::execute(ComplexBuffer& spectrum, RealBuffer& x) const {
  check_buffer(spectrum.data(), spectrum.size(), modes_, "spectrum");
  check_buffer(x.data(), x.size(), points_, "output");
  if (plan_ == nullptr) return;
  auto* h = reinterpret_cast<fftw_complex*>(spectrum.data());
  if (plan_->whole) {
    fftw_execute_dft_c2r(static_cast<fftw_plan>(plan_->whole.get()), h, x.data());
    return;
  }
  run_complex_stage(*plan_, h);
  run_real_stage(*plan_, false, x.data(), h);
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
