#pragma once
// What the 3D runners leave on disk: NPY 1.0 snapshot files, their names, the warning line
// of a failed write, the stats.json text of the statistics records, and the one way every
// file of the engine is written.
//
// Writing a file: a new temporary file is made in the target's own directory, named
// ".<name>.<16 hex digits>.tmp" and opened with O_CREAT | O_EXCL | O_NOFOLLOW (mode 0666
// before the umask), so that nothing already there (a symbolic link planted in a shared
// directory, another process's file) is ever opened; it is written and closed, then renamed
// over the target. A symbolic link at the target is thereby replaced, never followed; a
// reader, a killed run or a full disk never finds a part of a file under the target's name;
// and a failure removes the temporary file. The data are not forced to the disk (no fsync):
// the guarantee is against the process dying, not the machine.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lodestra_fields/fields3d.hpp"
#include "lodestra_solver/stats_3d.hpp"

namespace lodestra_solver {

// A failed file operation: the system's message followed by " (os error N)",
// e.g. "No such file or directory (os error 2)".
struct IoError {
  std::string text;
};

// The temporary file behind one target, as described above. Destroying it before commit()
// removes the temporary file.
class NewFile {
 public:
  // Creates the temporary file beside target; its directory is never created.
  static std::expected<NewFile, IoError> create(const std::string& target);

  NewFile(NewFile&& other) noexcept;
  NewFile& operator=(NewFile&& other) noexcept;
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  ~NewFile();

  // The open descriptor, for writers that stream their data.
  int fd() const { return fd_; }
  // Writes all of data, resuming after short writes and interrupted calls.
  std::expected<void, IoError> write(std::string_view data);
  // Closes the file (a failing close can be the first report of lost data, so it is an
  // error) and renames it over the target.
  std::expected<void, IoError> commit();
  // Renames the file over the target and hands over the still open descriptor, for a file
  // that then grows in place (StatsFile). The caller closes it.
  std::expected<int, IoError> commit_open();

 private:
  NewFile(std::string target, std::string temporary, int fd);
  void discard();

  std::string target_;
  std::string temporary_;
  int fd_ = -1;
};

// Writes bytes as the whole file at path through a NewFile.
std::expected<void, IoError> write_file(const std::string& path, std::string_view bytes);

// Writes records (the flat per-vertex sequence, ncomp doubles per vertex) as an NPY 1.0 file
// of shape (nx, ny, nz, ncomp), float64 little-endian, C order, through a NewFile. The header
//   {'descr': '<f8', 'fortran_order': False, 'shape': (nx, ny, nz, ncomp), }
// is padded with spaces and ended by a newline so that the data start at a multiple of 64.
// The first failing create, write, close or rename ends the call with that error.
std::expected<void, IoError> write_npy(const std::string& path, std::span<const double> records,
                                       std::uint64_t ncomp, std::uint64_t nx, std::uint64_t ny,
                                       std::uint64_t nz);

// One field of a snapshot to out_dir/<prefix>_<step>.npy, shaped by the field's own grid
// (Q: 5 components, phi: 1, the velocity: 3). A failure is the warning line, not an error:
// the run goes on.
void write_snapshot(const std::string& out_dir, std::string_view prefix, std::uint64_t step,
                    const lodestra_fields::QField3D& q);
void write_snapshot(const std::string& out_dir, std::string_view prefix, std::uint64_t step,
                    const lodestra_fields::ScalarField3D& phi);
void write_snapshot(const std::string& out_dir, std::string_view prefix, std::uint64_t step,
                    const lodestra_fields::VelocityField3D& u);

// The NPY 1.0 header of a little-endian float64 C-order array of `shape`, padded so that
// the data start at a multiple of 64 (the header of write_npy for (nx, ny, nz, ncomp)).
std::string npy_float64_header(std::span<const std::uint64_t> shape);

// Appends one NPY array (header and data) at fd's position: a file of consecutive arrays
// that numpy.load reads one after another from the open file.
std::expected<void, IoError> append_npy(int fd, std::span<const double> values,
                                        std::span<const std::uint64_t> shape);

// Reads at offset the array append_npy wrote with this shape, advancing offset past it; an
// array of another header, or a file that ends inside it, is an error.
std::expected<std::vector<double>, IoError> read_npy_at(int fd, std::uint64_t& offset,
                                                        std::span<const std::uint64_t> shape);

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

// One record as the object stats.json holds: "{", one "\n    \"key\": value" line per field
// (comma-separated), "\n  }".
std::string stats_record_json(const SnapStats3D& record);
std::string stats_record_json(const BechStats3D& record);

// The records as one pretty-printed JSON array ("[]" when empty, no trailing newline):
// "[" + ("\n  " + record object) joined by "," + "\n]".
std::string stats_json(std::span<const SnapStats3D> records);
std::string stats_json(std::span<const BechStats3D> records);

// Replaces out_dir/stats.json by text through write_file. Failures are silent.
void write_stats_json(const std::string& out_dir, const std::string& text);

// out_dir/stats.json kept on disk during a run at a cost per record independent of the run's
// length:
//
//   StatsFile stats(out_dir);
//   stats.append(stats_record_json(record));   // after every snapshot
//   stats.finish();                            // at the end of the run
//
// The first record creates the file through a NewFile ("[\n  {...}\n]") and keeps it open;
// each further record replaces the closing "\n]" by ",\n  {...}\n]" in one positioned write
// at the end. Between appends the file therefore holds exactly stats_json of the records so
// far, the text a finished run leaves. A kill can still tear that one write (the kernel copies
// it page by page), so beside it out_dir/.stats.json.length holds the length of the last
// complete text (20 decimal digits and a newline, rewritten in place after every append):
// lodestra.io.read_stats reads a file that does not parse as that many bytes, the closing
// "\n]" put back. finish() removes the length file. Nothing is written before the first
// record; finish() writes "[]" for a run without one.
//
// If the file at the name is no longer the one being appended to (removed, or replaced by a
// symbolic link or another file), or an earlier write failed, the next append or finish()
// writes the whole text anew through a NewFile. A failed write leaves the file as it was
// before it (the torn bytes are cut off again) and prints warn_write_failure's line for the
// file, once until a write succeeds again.
class StatsFile {
 public:
  explicit StatsFile(const std::string& out_dir);
  // A file that already holds `text` (stats_json of a resumed run's records): the first
  // write rewrites it whole, later appends go in place.
  StatsFile(const std::string& out_dir, std::string text);
  StatsFile(StatsFile&& other) noexcept;
  StatsFile& operator=(StatsFile&& other) noexcept;
  StatsFile(const StatsFile&) = delete;
  StatsFile& operator=(const StatsFile&) = delete;
  // Closes the files as they stand; finish() is what writes "[]" for a run without records.
  ~StatsFile();

  // record: the object text of stats_record_json.
  void append(std::string_view record);
  void finish();

  // The whole text the file holds once every write has succeeded.
  const std::string& text() const { return text_; }
  // The file and the error of the last failed write since the last call, if any.
  std::optional<std::pair<std::string, IoError>> take_error() { return std::exchange(error_, {}); }

 private:
  void rewrite();
  void append_in_place(std::size_t old_size);
  bool record_length();
  bool still_ours() const;
  void failed(const std::string& path, const IoError& e);
  void close();

  std::string path_;
  std::string length_path_;
  std::string text_ = "[]";
  int fd_ = -1;
  int length_fd_ = -1;
  bool dirty_ = true;  // the file does not hold text_: the next write rewrites it whole
  bool warned_ = false;
  std::optional<std::pair<std::string, IoError>> error_;
};

}  // namespace lodestra_solver
