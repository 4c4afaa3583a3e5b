#pragma once
// What the 3D runners leave on disk: NPY 1.0 snapshot files, their names, the warning line
// of a failed write, and the stats.json text of the statistics records.

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "lodestra_solver/stats_3d.hpp"

namespace lodestra_solver {

// A failed file operation: the system's message followed by " (os error N)",
// e.g. "No such file or directory (os error 2)".
struct IoError {
  std::string text;
};

// Writes records (the flat per-vertex sequence, ncomp doubles per vertex) as an NPY 1.0 file
// of shape (nx, ny, nz, ncomp), float64 little-endian, C order. The header text
//   {'descr': '<f8', 'fortran_order': False, 'shape': (nx, ny, nz, ncomp), }
// is padded with spaces and ended by a newline so that the data start at a multiple of 64.
// The file is created (mode 0666 before the umask) or truncated; its directory is never
// created. The first failing open, write or close ends the call with that error.
std::expected<void, IoError> write_npy(const std::string& path, std::span<const double> records,
                                       std::uint64_t ncomp, std::uint64_t nx, std::uint64_t ny,
                                       std::uint64_t nz);

// prefix + "_" + step in decimal padded to at least six digits + ".npy": ("q", 99) gives
// "q_000099.npy".
std::string snapshot_file_name(std::string_view prefix, std::uint64_t step);

// dir joined with name: a '/' is inserted unless dir is empty or already ends with one.
std::string join_path(const std::string& dir, const std::string& name);

// "[runner_3d] warn: failed to write {path}: {text}\n" on standard error.
void warn_write_failure(const std::string& path, const IoError& e);

// The JSON number form: null for NaN and infinities; '-' when the sign bit is set (-0.0
// included); zero as 0.0; otherwise the shortest round-trip digits d1..dn with decimal
// exponent e, positional for -5 <= e <= 15 (0.00001, 12.5, 100.0), else d1[.d2..dn]e(+|-)|e|
// (1.5e-6, 1e+16).
std::string json_number(double x);

// The records as one pretty-printed JSON array ("[]" when empty, no trailing newline): each
// object on its own lines, two spaces before braces, four before keys.
std::string stats_json(std::span<const SnapStats3D> records);
std::string stats_json(std::span<const BechStats3D> records);

// Replaces out_dir/stats.json by text atomically: the text goes to a temporary file in the
// same directory, which is then renamed onto stats.json, so a reader sees the previous file
// or the new one, never a part. Failures are silent and leave no temporary file behind.
void write_stats_json(const std::string& out_dir, const std::string& text);

}  // namespace lodestra_solver
