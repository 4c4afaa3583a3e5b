#pragma once
// Creation, annihilation and reconnection of disclination lines between two snapshots.

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "tarnel_geo/lines.hpp"

namespace tarnel_geo {

enum class DisclinationEventKind : std::uint8_t {
  creation = 0,
  annihilation = 1,
  reconnection = 2
};

// "creation", "annihilation" or "reconnection".
std::string_view event_kind_name(DisclinationEventKind kind);

struct DisclinationEvent {
  std::vector<std::uint64_t> line_indices;
  std::uint64_t frame;
  std::array<double, 3> position;  // centroid of the line the event is anchored to
  DisclinationEventKind kind;
};

namespace disclination::events {

// Lines are matched by centroid distance: each line's nearest line of the other
// snapshot (ties to the lowest index), kept when strictly closer than threshold.
// Events in this order: creations (unmatched current lines), annihilations (unmatched
// previous lines), splits (a previous line matched by several current lines), merges
// (a current line matched by several previous lines); each group in ascending index.
std::vector<DisclinationEvent> track_disclination_events(std::span<const DisclinationLine> previous,
                                                         std::span<const DisclinationLine> current,
                                                         std::uint64_t frame, double threshold);

}  // namespace disclination::events
}  // namespace tarnel_geo
