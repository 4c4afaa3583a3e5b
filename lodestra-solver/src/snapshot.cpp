#include "lodestra_solver/snapshot.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "lodestra_core/format.hpp"

namespace lodestra_solver {

namespace {

using lodestra_core::fmt_int;

IoError os_error(int code) {
  return IoError{std::string(std::strerror(code)) + " (os error " +
                 fmt_int(static_cast<std::int64_t>(code)) + ")"};
}

// Writes all bytes, resuming after short writes and interrupted calls; 0 or the errno.
int write_all(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t done = ::write(fd, p, size);
    if (done < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += done;
    size -= static_cast<std::size_t>(done);
  }
  return 0;
}

int open_for_writing(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The magic, the version, H and the padded header: 10 + H is a multiple of 64.
std::string npy_header(std::uint64_t ncomp, std::uint64_t nx, std::uint64_t ny, std::uint64_t nz) {
  const std::string text = "{'descr': '<f8', 'fortran_order': False, 'shape': (" + fmt_int(nx) +
                           ", " + fmt_int(ny) + ", " + fmt_int(nz) + ", " + fmt_int(ncomp) + "), }";
  const std::size_t t = text.size();
  const std::size_t pad = (64 - (t + 11) % 64) % 64;  // (-T - 11) mod 64
  const std::size_t h = t + pad + 1;
  std::string out("\x93NUMPY\x01\x00", 8);
  out.push_back(static_cast<char>(h & 0xff));
  out.push_back(static_cast<char>((h >> 8) & 0xff));
  out += text;
  out.append(pad, ' ');
  out.push_back('\n');
  return out;
}

// The data bytes: the doubles themselves on a little-endian host, else byte-swapped copies
// written in blocks.
int write_doubles(int fd, std::span<const double> values) {
  if constexpr (std::endian::native == std::endian::little) {
    return write_all(fd, values.data(), values.size_bytes());
  } else {
    constexpr std::size_t kBlock = 1 << 15;
    std::vector<std::uint64_t> block;
    for (std::size_t start = 0; start < values.size(); start += kBlock) {
      const std::size_t count = std::min(kBlock, values.size() - start);
      block.resize(count);
      for (std::size_t k = 0; k < count; ++k) {
        block[k] = std::byteswap(std::bit_cast<std::uint64_t>(values[start + k]));
      }
      if (const int e = write_all(fd, block.data(), count * sizeof(std::uint64_t))) return e;
    }
    return 0;
  }
}

void field(std::string& out, const char* key, const std::string& value, bool last) {
  out += "\n    \"";
  out += key;
  out += "\": ";
  out += value;
  if (!last) out += ',';
}

std::string count(std::uint64_t n) { return fmt_int(n); }

// "[" + ("\n  " + object) joined by "," + "\n]", or "[]".
template <class Record, class Object>
std::string json_array(std::span<const Record> records, Object&& object) {
  if (records.empty()) return "[]";
  std::string out = "[";
  for (std::size_t r = 0; r < records.size(); ++r) {
    out += r == 0 ? "\n  {" : ",\n  {";
    object(out, records[r]);
    out += "\n  }";
  }
  out += "\n]";
  return out;
}

}  // namespace

std::expected<void, IoError> write_npy(const std::string& path, std::span<const double> records,
                                       std::uint64_t ncomp, std::uint64_t nx, std::uint64_t ny,
                                       std::uint64_t nz) {
  const std::string header = npy_header(ncomp, nx, ny, nz);
  const int fd = open_for_writing(path);
  if (fd < 0) return std::unexpected(os_error(errno));
  int error = write_all(fd, header.data(), header.size());
  if (error == 0) error = write_doubles(fd, records);
  // A failing close can be the first report of lost data (deferred write-back): an error too.
  if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  if (error != 0) return std::unexpected(os_error(error));
  return {};
}

std::string snapshot_file_name(std::string_view prefix, std::uint64_t step) {
  std::string digits = fmt_int(step);
  if (digits.size() < 6) digits.insert(0, 6 - digits.size(), '0');
  std::string out(prefix);
  out += '_';
  out += digits;
  out += ".npy";
  return out;
}

std::string join_path(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

void warn_write_failure(const std::string& path, const IoError& e) {
  const std::string line = "[runner_3d] warn: failed to write " + path + ": " + e.text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

std::string json_number(double x) {
  if (!std::isfinite(x)) return "null";
  std::string out = std::signbit(x) ? "-" : "";
  const double a = std::fabs(x);
  if (a == 0.0) return out + "0.0";
  // Shortest round-trip digits in scientific form: d[.ddd]e(+|-)XX.
  char buf[64];
  const std::to_chars_result r =
      std::to_chars(buf, buf + sizeof buf, a, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
  const std::size_t epos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, epos)) {
    if (c != '.') digits.push_back(c);
  }
  int e = 0;
  std::from_chars(sci.data() + epos + (sci[epos + 1] == '+' ? 2 : 1), sci.data() + sci.size(), e);
  const int n = static_cast<int>(digits.size());
  if (e >= -5 && e <= 15) {
    if (e < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-e - 1), '0');
      out += digits;
    } else if (e < n - 1) {
      out += digits.substr(0, static_cast<std::size_t>(e + 1));
      out += '.';
      out += digits.substr(static_cast<std::size_t>(e + 1));
    } else {
      out += digits;
      out.append(static_cast<std::size_t>(e - n + 1), '0');
      out += ".0";
    }
    return out;
  }
  out += digits[0];
  if (n > 1) {
    out += '.';
    out += digits.substr(1);
  }
  out += e < 0 ? "e-" : "e+";
  out += fmt_int(static_cast<std::int64_t>(e < 0 ? -e : e));
  return out;
}

std::string stats_json(std::span<const SnapStats3D> records) {
  return json_array(records, [](std::string& out, const SnapStats3D& s) {
    field(out, "time", json_number(s.time), false);
    field(out, "mean_s", json_number(s.mean_s), false);
    field(out, "biaxiality_p", json_number(s.biaxiality_p), false);
    field(out, "n_disclination_lines", count(s.n_disclination_lines), false);
    field(out, "total_line_length", json_number(s.total_line_length), false);
    field(out, "mean_line_curvature", json_number(s.mean_line_curvature), false);
    field(out, "n_events", count(s.n_events), true);
  });
}

std::string stats_json(std::span<const BechStats3D> records) {
  return json_array(records, [](std::string& out, const BechStats3D& s) {
    field(out, "time", json_number(s.time), false);
    field(out, "mean_s", json_number(s.mean_s), false);
    field(out, "biaxiality_p", json_number(s.biaxiality_p), false);
    field(out, "mean_phi", json_number(s.mean_phi), false);
    field(out, "n_disclination_lines", count(s.n_disclination_lines), false);
    field(out, "total_line_length", json_number(s.total_line_length), false);
    field(out, "mean_line_curvature", json_number(s.mean_line_curvature), false);
    field(out, "n_events", count(s.n_events), true);
  });
}

void write_stats_json(const std::string& out_dir, const std::string& text) {
  const std::string target = join_path(out_dir, "stats.json");
  // One temporary name per process, so that two runs writing into one directory do not
  // share a half-written file.
  const std::string temporary =
      join_path(out_dir, ".stats.json." + fmt_int(static_cast<std::int64_t>(::getpid())) + ".tmp");
  const int fd = open_for_writing(temporary);
  if (fd < 0) return;
  int error = write_all(fd, text.data(), text.size());
  if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  if (error != 0 || ::rename(temporary.c_str(), target.c_str()) != 0) {
    ::unlink(temporary.c_str());
  }
}

}  // namespace lodestra_solver
