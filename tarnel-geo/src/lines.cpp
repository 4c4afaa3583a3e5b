#include "tarnel_geo/lines.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lodestra_core/panic.hpp"
#include "lodestra_core/threads.hpp"
#include "lodestra_fields/grid.hpp"

namespace tarnel_geo {

namespace {

using Vec3 = std::array<double, 3>;

double norm(const Vec3& v) { return std::sqrt((v[0] * v[0] + v[1] * v[1]) + v[2] * v[2]); }
Vec3 sub(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }

}  // namespace

double DisclinationLine::length() const {
  double total = 0.0;
  for (std::size_t k = 0; k + 1 < vertices.size(); ++k)
    total += norm(sub(vertices[k + 1], vertices[k]));
  return total;
}

double DisclinationLine::mean_curvature() const {
  if (curvatures.empty()) return 0.0;
  double total = 0.0;
  for (double c : curvatures) total += c;
  return total / static_cast<double>(curvatures.size());
}

namespace disclination::lines {

namespace {

constexpr double kEps = 1e-14;

Vec3 normalise(const Vec3& v) {
  const double n = norm(v);
  if (n < kEps) return {0.0, 0.0, 0.0};
  return {v[0] / n, v[1] / n, v[2] / n};
}

// d taken modulo n into [0, n), less n when twice it exceeds n.
std::int64_t minimage(std::int64_t d, std::uint64_t n) {
  const auto nn = static_cast<std::int64_t>(n);
  std::int64_t m = d % nn;
  if (m < 0) m += nn;
  if (2 * m > nn) m -= nn;
  return m;
}

struct Cell {
  std::int64_t c[3];
};

// Vertex index -> first segment based there: open addressing with linear probing in a
// power-of-two table at most half full. Every segment looks up its 27 neighbour cells,
// mostly empty, so a miss must cost about one probe.
class VertexTable {
 public:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  explicit VertexTable(std::size_t count) {
    std::size_t capacity = 16;
    while (capacity < 2 * count) capacity *= 2;
    mask_ = capacity - 1;
    keys_.assign(capacity, kEmpty);
    values_.assign(capacity, kNone);
  }

  // The slot of `key`, claimed when absent; returns the value stored there.
  std::size_t& slot(std::uint64_t key) {
    std::size_t h = hash(key);
    while (keys_[h] != kEmpty && keys_[h] != key) h = (h + 1) & mask_;
    keys_[h] = key;
    return values_[h];
  }

  std::size_t find(std::uint64_t key) const {
    for (std::size_t h = hash(key);; h = (h + 1) & mask_) {
      if (keys_[h] == key) return values_[h];
      if (keys_[h] == kEmpty) return kNone;
    }
  }

 private:
  static constexpr std::uint64_t kEmpty = static_cast<std::uint64_t>(-1);
  std::size_t hash(std::uint64_t key) const {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 20) & mask_;
  }
  std::size_t mask_ = 0;
  std::vector<std::uint64_t> keys_;
  std::vector<std::size_t> values_;
};

}  // namespace

void frenet_geometry(DisclinationLine& line) {
  const std::vector<Vec3>& p = line.vertices;
  const std::size_t n = p.size();
  line.tangents.assign(n, Vec3{0.0, 0.0, 0.0});
  line.curvatures.assign(n, 0.0);
  line.torsions.assign(n, 0.0);
  if (n == 0) return;
  if (n == 1) {
    line.tangents[0] = {1.0, 0.0, 0.0};
    return;
  }
  std::vector<Vec3>& t = line.tangents;
  t[0] = normalise(sub(p[1], p[0]));
  for (std::size_t k = 1; k + 1 < n; ++k) t[k] = normalise(sub(p[k + 1], p[k - 1]));
  t[n - 1] = normalise(sub(p[n - 1], p[n - 2]));
  if (n == 2) return;
  auto stencil = [n](std::size_t k) -> std::pair<std::size_t, std::size_t> {
    if (k == 0) return {0, 1};
    if (k == n - 1) return {n - 2, n - 1};
    return {k - 1, k + 1};
  };
  std::vector<Vec3> normal(n, Vec3{0.0, 0.0, 0.0}), binormal(n);
  for (std::size_t k = 0; k < n; ++k) {
    const auto [a, b] = stencil(k);
    const double ds = norm(sub(p[b], p[a]));
    if (ds > kEps) {
      const double inv = 1.0 / ds;
      const Vec3 dt = sub(t[b], t[a]);
      const Vec3 d{dt[0] * inv, dt[1] * inv, dt[2] * inv};
      line.curvatures[k] = norm(d);
      normal[k] = normalise(d);
    }
  }
  for (std::size_t k = 0; k < n; ++k) {
    const Vec3& a = t[k];
    const Vec3& b = normal[k];
    binormal[k] = normalise(
        {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]});
  }
  for (std::size_t k = 0; k < n; ++k) {
    const auto [a, b] = stencil(k);
    const double ds = norm(sub(p[b], p[a]));
    if (ds > kEps) {
      const Vec3 db = sub(binormal[b], binormal[a]);
      const Vec3 d{db[0] / ds, db[1] / ds, db[2] / ds};
      line.torsions[k] = -((d[0] * normal[k][0] + d[1] * normal[k][1]) + d[2] * normal[k][2]);
    }
  }
}

std::vector<DisclinationLine> connect_disclination_lines(
    std::span<const DisclinationSegment> segments, std::uint64_t nx, std::uint64_t ny,
    std::uint64_t nz, double dx) {
  std::vector<DisclinationLine> lines;
  const std::size_t count = segments.size();
  if (count == 0) return lines;
  const std::uint64_t sizes[3] = {nx, ny, nz};
  const std::uint64_t vertices = lodestra_fields::vertex_count(nx, ny, nz);

  // Nodes: base vertices; segments at one vertex chained in ascending index.
  std::vector<Cell> base(count);
  VertexTable head(count);
  std::vector<std::size_t> next(count);
  constexpr std::size_t kNone = VertexTable::kNone;
  for (std::size_t s = 0; s < count; ++s) {
    if (segments[s].from >= vertices) {
      lodestra_core::panic("segment base vertex outside the nx x ny x nz grid");
    }
    const lodestra_fields::Vertex3 v = lodestra_fields::split_index(segments[s].from, ny, nz);
    base[s] = Cell{{static_cast<std::int64_t>(v.i), static_cast<std::int64_t>(v.j),
                    static_cast<std::int64_t>(v.l)}};
  }
  for (std::size_t s = count; s-- > 0;) {
    std::size_t& first_here = head.slot(segments[s].from);
    next[s] = first_here;
    first_here = s;
  }

  // Neighbour lists (CSR): segments based in the distinct periodic cells around each one.
  // Threads take ranges of segments, each list built alone; the ranges are joined in order.
  auto neighbour_list = [&](std::size_t s, std::vector<std::size_t>& adjacent) {
    std::int64_t axis_cells[3][3];
    int axis_count[3];
    for (int a = 0; a < 3; ++a) {
      const auto n = static_cast<std::int64_t>(sizes[a]);
      axis_count[a] = 0;
      for (std::int64_t d = -1; d <= 1; ++d) {
        const std::int64_t c = ((base[s].c[a] + d) % n + n) % n;
        bool seen = false;
        for (int m = 0; m < axis_count[a]; ++m) seen = seen || axis_cells[a][m] == c;
        if (!seen) axis_cells[a][axis_count[a]++] = c;
      }
    }
    const std::size_t begin = adjacent.size();
    for (int a = 0; a < axis_count[0]; ++a) {
      for (int b = 0; b < axis_count[1]; ++b) {
        for (int c = 0; c < axis_count[2]; ++c) {
          const auto key =
              lodestra_fields::flat_index(static_cast<std::uint64_t>(axis_cells[0][a]),
                                          static_cast<std::uint64_t>(axis_cells[1][b]),
                                          static_cast<std::uint64_t>(axis_cells[2][c]), ny, nz);
          for (std::size_t o = head.find(key); o != kNone; o = next[o]) {
            if (o != s) adjacent.push_back(o);
          }
        }
      }
    }
    std::sort(adjacent.begin() + static_cast<std::ptrdiff_t>(begin), adjacent.end());
  };
  std::vector<std::size_t> offset(count + 1, 0);
  std::vector<std::size_t> adjacent;
  constexpr std::size_t kBlock = 4096;  // segments per block of lists
  const std::size_t blocks = (count + kBlock - 1) / kBlock;
  std::vector<std::vector<std::size_t>> block_lists(blocks);
  lodestra_core::parallel_for(
      0, blocks, lodestra_core::grain_for(kBlock * 100), [&](std::uint64_t b0, std::uint64_t b1) {
        for (std::uint64_t b = b0; b < b1; ++b) {
          std::vector<std::size_t>& list = block_lists[b];
          list.reserve(kBlock * 8);
          const std::size_t end = std::min(count, (b + 1) * kBlock);
          for (std::size_t s = b * kBlock; s < end; ++s) {
            neighbour_list(s, list);
            offset[s + 1] = list.size();  // within the block, made absolute below
          }
        }
      });
  std::size_t listed = 0;
  for (std::size_t b = 0; b < blocks; ++b) {
    const std::size_t end = std::min(count, (b + 1) * kBlock);
    for (std::size_t s = b * kBlock; s < end; ++s) offset[s + 1] += listed;
    listed += block_lists[b].size();
  }
  adjacent.reserve(listed);
  for (std::vector<std::size_t>& list : block_lists) {
    adjacent.insert(adjacent.end(), list.begin(), list.end());
    std::vector<std::size_t>().swap(list);
  }
  auto neighbours = [&](std::size_t s) {
    return std::span<const std::size_t>(adjacent.data() + offset[s], offset[s + 1] - offset[s]);
  };
  auto is_neighbour = [&](std::size_t s, std::size_t o) {
    const auto list = neighbours(s);
    return std::binary_search(list.begin(), list.end(), o);
  };
  auto distance2 = [&](std::size_t s, std::size_t o) {
    std::int64_t total = 0;
    for (int a = 0; a < 3; ++a) {
      const std::int64_t m = minimage(base[o].c[a] - base[s].c[a], sizes[a]);
      total += m * m;
    }
    return total;
  };

  // Groups: breadth-first from the lowest segment not yet in one, in that order; group g
  // is order[group_start[g] .. group_start[g + 1]), with each segment's hop count from the
  // group's first.
  std::vector<char> grouped(count, 0), used(count, 0);
  std::vector<std::size_t> hops(count, 0);
  std::vector<std::size_t> order, group_start;
  order.reserve(count);
  for (std::size_t first = 0; first < count; ++first) {
    if (grouped[first]) continue;
    group_start.push_back(order.size());
    order.push_back(first);
    grouped[first] = 1;
    hops[first] = 0;
    for (std::size_t q = group_start.back(); q < order.size(); ++q) {
      for (std::size_t o : neighbours(order[q])) {
        if (grouped[o]) continue;
        grouped[o] = 1;
        hops[o] = hops[order[q]] + 1;
        order.push_back(o);
      }
    }
  }
  group_start.push_back(order.size());
  const std::size_t groups = group_start.size() - 1;

  // The paths of each group's lines, in order. A walk depends on the segments earlier walks
  // of its group used, never on other groups (a segment's neighbours are in its group), so
  // threads share the groups; their lines are joined in group order.
  struct Pending {
    std::vector<std::size_t> path;
    bool is_loop;
    DisclinationCharge charge;
  };
  std::vector<std::vector<Pending>> per_group(groups);
  // Group sizes vary widely, so each thread takes the next group as it finishes its last
  // one; which thread walks a group changes nothing in the group's lines.
  std::atomic<std::size_t> next_group{0};
  lodestra_core::parallel_for(
      0, groups, lodestra_core::grain_for(2000), [&](std::uint64_t, std::uint64_t) {
        std::vector<std::size_t> ranking, path;
        for (std::size_t g = next_group.fetch_add(1); g < groups; g = next_group.fetch_add(1)) {
          const auto group_begin = order.begin() + static_cast<std::ptrdiff_t>(group_start[g]);
          // Ranking: hop count descending, ties in group order (BFS order is already sorted by
          // hop count, so the hop levels are taken from last to first).
          ranking.clear();
          std::size_t level_end = group_start[g + 1] - group_start[g];
          while (level_end > 0) {
            std::size_t level_begin = level_end;
            while (level_begin > 0 &&
                   hops[group_begin[static_cast<std::ptrdiff_t>(level_begin - 1)]] ==
                       hops[group_begin[static_cast<std::ptrdiff_t>(level_end - 1)]]) {
              --level_begin;
            }
            ranking.insert(ranking.end(), group_begin + static_cast<std::ptrdiff_t>(level_begin),
                           group_begin + static_cast<std::ptrdiff_t>(level_end));
            level_end = level_begin;
          }
          const DisclinationCharge charge = segments[*group_begin].charge;
          std::size_t rank = 0;
          bool first_path = true;
          while (true) {
            while (rank < ranking.size() && used[ranking[rank]]) ++rank;
            if (rank == ranking.size()) break;
            // Walk to the nearest unused neighbour until there is none; a segment is marked
            // used as soon as it is on the path.
            path.clear();
            path.push_back(ranking[rank]);
            used[ranking[rank]] = 1;
            while (true) {
              std::size_t best = kNone;
              std::int64_t best_d = 0;
              for (std::size_t o : neighbours(path.back())) {
                if (used[o]) continue;
                const std::int64_t d = distance2(path.back(), o);
                if (best == kNone || d < best_d) {
                  best = o;
                  best_d = d;
                }
              }
              if (best == kNone) break;
              used[best] = 1;
              path.push_back(best);
            }
            const std::size_t n = path.size();
            const bool was_first = first_path;
            first_path = false;
            if (n < 3 && !was_first) continue;
            const bool is_loop = (n > 2 && is_neighbour(path.back(), path[0])) ||
                                 (n > 3 && is_neighbour(path.back(), path[1]));
            if (is_loop) {
              std::rotate(path.begin(), std::min_element(path.begin(), path.end()), path.end());
            }
            per_group[g].push_back(Pending{path, is_loop, charge});
          }
        }
      });
  std::vector<Pending> pending;
  for (std::vector<Pending>& lines_of_group : per_group) {
    for (Pending& line : lines_of_group) pending.push_back(std::move(line));
  }
  // The geometry of each line depends on its own path alone: threads share the lines,
  // each taking the next one as it finishes (line lengths vary widely).
  lines.resize(pending.size());
  std::atomic<std::size_t> next_line{0};
  lodestra_core::parallel_for(
      0, pending.size(), lodestra_core::grain_for(2000), [&](std::uint64_t, std::uint64_t) {
        std::vector<Vec3> smoothed;
        for (std::size_t l = next_line.fetch_add(1); l < pending.size();
             l = next_line.fetch_add(1)) {
          const std::vector<std::size_t>& path = pending[l].path;
          const bool is_loop = pending[l].is_loop;
          const std::size_t n = path.size();
          // Positions: unwrapped by minimum-image steps, then shifted so that the mean of
          // each axis lies in [0, L).
          DisclinationLine& line = lines[l];
          line.is_loop = is_loop;
          line.charge = pending[l].charge;
          line.vertices.resize(n);
          for (int a = 0; a < 3; ++a)
            line.vertices[0][a] = dx * static_cast<double>(base[path[0]].c[a]);
          for (std::size_t k = 1; k < n; ++k) {
            for (int a = 0; a < 3; ++a) {
              const std::int64_t m =
                  minimage(base[path[k]].c[a] - base[path[k - 1]].c[a], sizes[a]);
              line.vertices[k][a] = line.vertices[k - 1][a] + dx * static_cast<double>(m);
            }
          }
          for (int a = 0; a < 3; ++a) {
            const double box = static_cast<double>(sizes[a]) * dx;
            // A zero or non-finite box has no periodic image to shift into.
            if (!(box != 0.0 && std::isfinite(box))) continue;
            double sum = 0.0;
            for (std::size_t k = 0; k < n; ++k) sum += line.vertices[k][a];
            const double shift = box * std::floor(sum / static_cast<double>(n) / box);
            for (std::size_t k = 0; k < n; ++k) line.vertices[k][a] -= shift;
          }
          // Two Jacobi passes of P[k] <- ((P[k-1] + 2 P[k]) + P[k+1]) / 4. Open lines keep
          // their ends; loops wrap with the closure vector W = (P[n-1] + step to P[0]) - P[0].
          if (n >= 3) {
            Vec3 w{0.0, 0.0, 0.0};
            for (int a = 0; a < 3; ++a) {
              const std::int64_t m =
                  minimage(base[path[0]].c[a] - base[path[n - 1]].c[a], sizes[a]);
              w[a] = (line.vertices[n - 1][a] + dx * static_cast<double>(m)) - line.vertices[0][a];
            }
            for (int pass = 0; pass < 2; ++pass) {
              smoothed = line.vertices;
              std::vector<Vec3>& p = line.vertices;
              for (std::size_t k = 0; k < n; ++k) {
                if (!is_loop && (k == 0 || k == n - 1)) continue;
                for (int a = 0; a < 3; ++a) {
                  const double before = k == 0 ? smoothed[n - 1][a] - w[a] : smoothed[k - 1][a];
                  const double after = k == n - 1 ? smoothed[0][a] + w[a] : smoothed[k + 1][a];
                  p[k][a] = 0.25 * ((before + 2.0 * smoothed[k][a]) + after);
                }
              }
            }
          }
          frenet_geometry(line);
        }
      });
  return lines;
}

}  // namespace disclination::lines
}  // namespace tarnel_geo
