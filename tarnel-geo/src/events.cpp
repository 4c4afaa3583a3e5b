#include "tarnel_geo/events.hpp"

#include <cmath>
#include <cstddef>
#include <optional>

namespace tarnel_geo {

std::string_view event_kind_name(DisclinationEventKind kind) {
  switch (kind) {
    case DisclinationEventKind::creation:
      return "creation";
    case DisclinationEventKind::annihilation:
      return "annihilation";
    case DisclinationEventKind::reconnection:
      return "reconnection";
  }
  return "reconnection";
}

namespace disclination::events {

namespace {

using Vec3 = std::array<double, 3>;

// Mean of the vertex positions, each axis summed in order from 0.0; (0, 0, 0) for none.
Vec3 centroid(const DisclinationLine& line) {
  Vec3 c{0.0, 0.0, 0.0};
  if (line.vertices.empty()) return c;
  for (const Vec3& v : line.vertices) {
    for (int a = 0; a < 3; ++a) c[a] += v[a];
  }
  const double n = static_cast<double>(line.vertices.size());
  for (int a = 0; a < 3; ++a) c[a] /= n;
  return c;
}

// For each of `from`, the nearest of `to` (first strictly nearer wins) if closer than
// threshold. The distances of one row are computed first, over coordinates held axis by
// axis, so that the square roots vectorise; the choice then scans them in order.
std::vector<std::optional<std::size_t>> nearest(const std::vector<Vec3>& from,
                                                const std::vector<Vec3>& to, double threshold) {
  std::vector<std::optional<std::size_t>> match(from.size());
  if (to.empty()) return match;
  const std::size_t n = to.size();
  std::vector<double> tx(n), ty(n), tz(n), d(n);
  for (std::size_t b = 0; b < n; ++b) {
    tx[b] = to[b][0];
    ty[b] = to[b][1];
    tz[b] = to[b][2];
  }
  for (std::size_t a = 0; a < from.size(); ++a) {
    const double ax = from[a][0], ay = from[a][1], az = from[a][2];
    for (std::size_t b = 0; b < n; ++b) {
      const double x = ax - tx[b], y = ay - ty[b], z = az - tz[b];
      d[b] = std::sqrt((x * x + y * y) + z * z);
    }
    std::size_t best = 0;
    double best_d = d[0];
    for (std::size_t b = 1; b < n; ++b) {
      if (d[b] < best_d) {
        best = b;
        best_d = d[b];
      }
    }
    if (best_d < threshold) match[a] = best;
  }
  return match;
}

}  // namespace

std::vector<DisclinationEvent> track_disclination_events(std::span<const DisclinationLine> previous,
                                                         std::span<const DisclinationLine> current,
                                                         std::uint64_t frame, double threshold) {
  std::vector<Vec3> cp, cc;
  cp.reserve(previous.size());
  cc.reserve(current.size());
  for (const DisclinationLine& line : previous) cp.push_back(centroid(line));
  for (const DisclinationLine& line : current) cc.push_back(centroid(line));
  const auto match_c = nearest(cc, cp, threshold);
  const auto match_p = nearest(cp, cc, threshold);

  std::vector<DisclinationEvent> events;
  for (std::size_t j = 0; j < cc.size(); ++j) {
    if (!match_c[j]) events.push_back({{j}, frame, cc[j], DisclinationEventKind::creation});
  }
  for (std::size_t i = 0; i < cp.size(); ++i) {
    if (!match_p[i]) events.push_back({{i}, frame, cp[i], DisclinationEventKind::annihilation});
  }
  // Groupings by target index, members ascending: a target with several members is a
  // split (previous line, several current) or a merge (current line, several previous).
  auto reconnections = [&](const std::vector<std::optional<std::size_t>>& match,
                           const std::vector<Vec3>& anchors) {
    std::vector<std::vector<std::uint64_t>> members(anchors.size());
    for (std::size_t m = 0; m < match.size(); ++m) {
      if (match[m]) members[*match[m]].push_back(m);
    }
    for (std::size_t t = 0; t < anchors.size(); ++t) {
      if (members[t].size() > 1) {
        events.push_back(
            {std::move(members[t]), frame, anchors[t], DisclinationEventKind::reconnection});
      }
    }
  };
  reconnections(match_c, cp);
  reconnections(match_p, cc);
  return events;
}

}  // namespace disclination::events
}  // namespace tarnel_geo
