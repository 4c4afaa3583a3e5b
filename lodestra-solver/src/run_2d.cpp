#include "lodestra_solver/run_2d.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <utility>

#include "lodestra_core/panic.hpp"
#include "lodestra_solver/ch_2d.hpp"
#include "lodestra_solver/defects_2d.hpp"
#include "lodestra_solver/steps_2d.hpp"

namespace lodestra_solver {

using lodestra_fields::Count;
using lodestra_fields::VelocityField2D;
using lodestra_fields::Xoshiro256pp;

namespace {

// Domain area of the defect density, from the parameter set's grid.
double domain_area(const RidiParams& params) {
  return (params.dx * static_cast<double>(params.nx)) *
         (params.dx * static_cast<double>(params.ny));
}

SnapStats snapshot(const QField2D& q, const RidiParams& params, std::uint64_t step) {
  const std::vector<DefectInfo> defects = scan_defects(q, kDefectThreshold);
  SnapStats rec{};
  rec.n_defects = defects.size();
  for (const DefectInfo& d : defects) {
    if (d.charge_sign > 0) ++rec.n_plus;
    if (d.charge_sign < 0) ++rec.n_minus;
  }
  rec.mean_s = q.mean_order_param();
  rec.time = params.dt * static_cast<double>(step);
  rec.defect_density = static_cast<double>(rec.n_defects) / domain_area(params);
  return rec;
}

BechStats bech_snapshot(const QField2D& q, const ScalarField2D& phi, const RidiParams& params,
                        std::uint64_t step) {
  const SnapStats s = snapshot(q, params, step);
  BechStats rec{};
  rec.time = s.time;
  rec.mean_s = s.mean_s;
  rec.n_defects = s.n_defects;
  rec.n_plus = s.n_plus;
  rec.n_minus = s.n_minus;
  rec.defect_density = s.defect_density;
  rec.mean_phi = phi.mean_value();
  rec.phi_variance = phi.variance();
  rec.mean_grad_phi_sq = phi.mean_gradient_sq();
  return rec;
}

// Largest |u| dt / dx over the grid: the advective Courant number of the step.
double courant_2d(const VelocityField2D& v, double dt) {
  double top = 0.0;
  for (Count k = 0; k < v.len(); ++k) {
    const double ux = v.data[2 * k];
    const double uy = v.data[2 * k + 1];
    top = std::max(top, std::sqrt(ux * ux + uy * uy));
  }
  return top * dt / v.dx;
}

}  // namespace

struct Run2D::Workspaces {
  std::optional<DryRk4> rk4;
  std::optional<FlowStepper> flow;
  std::optional<ChWorkspace2D> ch;
  ScalarField2D phi_next;

  explicit Workspaces(const RunState2D& s) {
    if (s.model == Model2D::dry) {
      rk4.emplace(s.q, s.params);
      return;
    }
    flow.emplace(s.q);
    // The Cahn-Hilliard workspace lives on phi's grid; a Q on another grid is
    // refused by the step's own checks at the first step.
    if (s.model == Model2D::bech) {
      ch.emplace(s.phi.nx, s.phi.ny, s.phi.dx);
      phi_next = ScalarField2D::zeros(s.phi.nx, s.phi.ny, s.phi.dx);
    }
  }
};

// What a run goes back to when its field stops being finite: the state of its last
// finite record (or of the start of the segment).
struct Run2D::Resume {
  QField2D q;
  ScalarField2D phi;
  VelocityField2D velocity;
  std::uint64_t step;
  bool recorded;
  Xoshiro256pp noise;
  std::size_t n_records;
  double max_courant;
};

RunState2D start_run_2d(Model2D model, QField2D q, std::optional<ScalarField2D> phi,
                        const RidiParams& params, std::uint64_t noise_seed) {
  RunState2D s;
  s.model = model;
  s.params = params;
  s.q = std::move(q);
  if (phi) s.phi = std::move(*phi);
  if (model != Model2D::dry) s.velocity = VelocityField2D::zeros(s.q.nx, s.q.ny, s.q.dx);
  s.noise = Xoshiro256pp::seeded(noise_seed);
  return s;
}

Run2D::Run2D(RunState2D state) : state_(std::move(state)) {}
Run2D::~Run2D() = default;
Run2D::Run2D(Run2D&&) noexcept = default;
Run2D& Run2D::operator=(Run2D&&) noexcept = default;

void Run2D::save_resume() {
  const RunState2D& s = state_;
  const std::size_t n = s.model == Model2D::bech ? s.bech_records.size() : s.records.size();
  resume_ = std::make_unique<Resume>(
      Resume{s.q, s.phi, s.velocity, s.step, s.recorded, s.noise, n, s.max_courant});
}

void Run2D::restore_resume() {
  RunState2D& s = state_;
  Resume& r = *resume_;
  s.q = std::move(r.q);
  s.phi = std::move(r.phi);
  s.velocity = std::move(r.velocity);
  s.step = r.step;
  s.recorded = r.recorded;
  s.noise = r.noise;
  s.records.resize(std::min(s.records.size(), r.n_records));
  s.bech_records.resize(std::min(s.bech_records.size(), r.n_records));
  s.max_courant = r.max_courant;
  resume_.reset();
}

// The record of the current step; false when the field is no longer finite.
bool Run2D::take_record(const RunControl& control) {
  RunState2D& s = state_;
  if (work_ && work_->rk4) work_->rk4->store(s.q);
  if (s.model == Model2D::bech) {
    s.bech_records.push_back(bech_snapshot(s.q, s.phi, s.params, s.step));
  } else {
    s.records.push_back(snapshot(s.q, s.params, s.step));
  }
  s.recorded = true;
  const bool finite = all_finite(s.q.data) && all_finite(s.phi.data);
  if (!finite) {
    if (s.first_non_finite == kNoStep) s.first_non_finite = s.step;
    return false;
  }
  if (control.stop_on_non_finite) {
    if (s.model != Model2D::dry) {
      s.max_courant = std::max(s.max_courant, courant_2d(s.velocity, s.params.dt));
    }
    save_resume();
  }
  return true;
}

// One step of the model; Q advances first with the flow of the old Q, and phi
// follows with the lipid order of the new Q and that same flow.
void Run2D::step_once(const Noise2D& noise) {
  RunState2D& s = state_;
  Workspaces& w = *work_;
  if (s.model == Model2D::dry) {
    w.rk4->step();
    w.rk4->add_noise(noise, s.noise);
    return;
  }
  w.flow->step(s.q, s.params, s.options, s.velocity);
  noise.apply(s.q, s.noise);
  if (s.model == Model2D::bech) {
    const QField2D q_lip = k0_convolution(s.q, s.params);
    w.ch->step(s.phi, q_lip, s.velocity, s.params, w.phi_next);
    std::swap(s.phi.data, w.phi_next.data);
  }
}

RunOutcome Run2D::advance(std::uint64_t n_steps, std::uint64_t snap_every,
                          const RunControl& control) {
  if (snap_every == 0)
    lodestra_core::panic("attempt to calculate the remainder with a divisor of zero");
  RunState2D& s = state_;
  if (n_steps > kNoStep - 1 - s.step) throw std::overflow_error("the step count overflows");
  const std::uint64_t end = s.step + n_steps;
  if (n_steps > 0 && !work_) work_ = std::make_unique<Workspaces>(s);
  if (work_ && work_->rk4) work_->rk4->load(s.q);
  // The resume point: this state, unless the last snapshot saved it already.
  const bool saved = resume_ && resume_->step == s.step;
  if (control.stop_on_non_finite && !saved && all_finite(s.q.data) && all_finite(s.phi.data)) {
    save_resume();
  }
  const Noise2D noise(s.params);
  Poller poller(control);
  RunOutcome outcome;

  auto record_due = [&] { return s.step % snap_every == 0 && !s.recorded; };
  auto stop_non_finite = [&] {
    if (!control.stop_on_non_finite) return false;
    const std::uint64_t bad = s.step;
    if (resume_) restore_resume();
    s.first_non_finite = bad;
    outcome.stop = RunStop::non_finite;
    return true;
  };

  if (record_due() && !take_record(control) && stop_non_finite()) return outcome;
  while (s.step < end) {
    step_once(noise);
    ++s.step;
    s.recorded = false;
    if (record_due() && !take_record(control) && stop_non_finite()) return outcome;
    if (s.step < end && !poller.keep_going()) {
      outcome.stop = RunStop::polled;
      break;
    }
  }
  if (work_ && work_->rk4) work_->rk4->store(s.q);
  if (s.first_non_finite == kNoStep && !(all_finite(s.q.data) && all_finite(s.phi.data))) {
    s.first_non_finite = s.step;
  }
  return outcome;
}

}  // namespace lodestra_solver
