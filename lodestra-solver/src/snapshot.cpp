#include "lodestra_solver/snapshot.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "lodestra_core/format.hpp"
#include "lodestra_core/sizes.hpp"

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

// A name for the temporary file beside target: ".<name>.<16 hex digits>.tmp", the name cut
// so that the whole stays within the usual 255-byte limit of a file name. The digits mix a
// per-process random seed, the process id and a counter, so that names rarely collide (and a
// collision only costs another try: the file is created exclusively).
std::string temporary_name(const std::string& target) {
  static const std::uint64_t seed = [] {
    std::random_device device;
    return (std::uint64_t{device()} << 32) ^ device() ^
           static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }();
  static std::atomic<std::uint64_t> counter{0};
  // SplitMix64's finaliser over the seed, the process and the counter.
  std::uint64_t z =
      seed + (static_cast<std::uint64_t>(::getpid()) << 40) + 0x9e3779b97f4a7c15ull * ++counter;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  z ^= z >> 31;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string digits(16, '0');
  for (int k = 15; k >= 0; --k, z >>= 4) digits[std::size_t(k)] = kHex[z & 15];
  const std::size_t slash = target.rfind('/');
  const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
  const std::string name = target.substr(start, 200);
  return target.substr(0, start) + "." + name + "." + digits + ".tmp";
}

int open_new(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Closes fd; 0 or the errno of a failing close (an interrupted close has closed the file).
int close_checked(int fd) {
  if (::close(fd) != 0 && errno != EINTR) return errno;
  return 0;
}

// Writes all bytes at offset, resuming after short writes and interrupted calls; 0 or the
// errno.
int pwrite_all(int fd, const char* p, std::size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t done = ::pwrite(fd, p, size, offset);
    if (done < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += done;
    size -= static_cast<std::size_t>(done);
    offset += done;
  }
  return 0;
}

// The magic, the version, H and the padded header of a float64 (nx, ny, nz, ncomp) array.
std::string npy_header(std::uint64_t ncomp, std::uint64_t nx, std::uint64_t ny, std::uint64_t nz) {
  const std::uint64_t shape[] = {nx, ny, nz, ncomp};
  return npy_float64_header(shape);
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

}  // namespace

NewFile::NewFile(std::string target, std::string temporary, int fd)
    : target_(std::move(target)), temporary_(std::move(temporary)), fd_(fd) {}

NewFile::NewFile(NewFile&& other) noexcept
    : target_(std::move(other.target_)),
      temporary_(std::move(other.temporary_)),
      fd_(std::exchange(other.fd_, -1)) {
  other.temporary_.clear();
}

NewFile& NewFile::operator=(NewFile&& other) noexcept {
  if (this != &other) {
    discard();
    target_ = std::move(other.target_);
    temporary_ = std::exchange(other.temporary_, {});
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

NewFile::~NewFile() { discard(); }

void NewFile::discard() {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  if (!temporary_.empty()) ::unlink(std::exchange(temporary_, {}).c_str());
}

std::expected<NewFile, IoError> NewFile::create(const std::string& target) {
  // What opening the target itself would have said: no name, or the name of a directory.
  if (target.empty()) return std::unexpected(os_error(ENOENT));
  if (target.back() == '/') return std::unexpected(os_error(EISDIR));
  for (int attempt = 0;; ++attempt) {
    std::string temporary = temporary_name(target);
    const int fd = open_new(temporary);
    if (fd >= 0) return NewFile(target, std::move(temporary), fd);
    if (errno != EEXIST || attempt == 99) return std::unexpected(os_error(errno));
  }
}

std::expected<void, IoError> NewFile::write(std::string_view data) {
  if (const int e = write_all(fd_, data.data(), data.size())) return std::unexpected(os_error(e));
  return {};
}

std::expected<void, IoError> NewFile::commit() {
  if (const int e = close_checked(std::exchange(fd_, -1))) return std::unexpected(os_error(e));
  if (::rename(temporary_.c_str(), target_.c_str()) != 0) return std::unexpected(os_error(errno));
  temporary_.clear();
  return {};
}

std::expected<int, IoError> NewFile::commit_open() {
  if (::rename(temporary_.c_str(), target_.c_str()) != 0) return std::unexpected(os_error(errno));
  temporary_.clear();
  return std::exchange(fd_, -1);
}

// The magic, the version, H and the padded header text: 10 + H is a multiple of 64.
std::string npy_float64_header(std::span<const std::uint64_t> shape) {
  std::string dims;
  for (const std::uint64_t n : shape) dims += (dims.empty() ? "" : ", ") + fmt_int(n);
  if (shape.size() == 1) dims += ",";
  const std::string text = "{'descr': '<f8', 'fortran_order': False, 'shape': (" + dims + "), }";
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

std::expected<std::vector<double>, IoError> read_npy_at(int fd, std::uint64_t& offset,
                                                        std::span<const std::uint64_t> shape) {
  const std::string header = npy_float64_header(shape);
  std::uint64_t count = 1;
  for (const std::uint64_t n : shape) count = lodestra_core::checked_mul(count, n);
  // Reads exactly size bytes at offset, or fails: a short read is a truncated file.
  auto read_exactly = [&](void* data, std::size_t size) -> std::expected<void, IoError> {
    char* p = static_cast<char*>(data);
    while (size > 0) {
      const ssize_t got = ::pread(fd, p, size, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return std::unexpected(os_error(errno));
      if (got == 0) return std::unexpected(IoError{"the file ends inside an array"});
      p += got;
      size -= static_cast<std::size_t>(got);
      offset += static_cast<std::uint64_t>(got);
    }
    return {};
  };
  std::string found(header.size(), '\0');
  if (auto r = read_exactly(found.data(), found.size()); !r) return std::unexpected(r.error());
  if (found != header) return std::unexpected(IoError{"an array of another shape or type"});
  std::vector<double> values(count);
  if (auto r = read_exactly(values.data(), count * sizeof(double)); !r) {
    return std::unexpected(r.error());
  }
  if constexpr (std::endian::native != std::endian::little) {
    for (double& v : values)
      v = std::bit_cast<double>(std::byteswap(std::bit_cast<std::uint64_t>(v)));
  }
  return values;
}

std::expected<void, IoError> append_npy(int fd, std::span<const double> values,
                                        std::span<const std::uint64_t> shape) {
  const std::string header = npy_float64_header(shape);
  if (const int e = write_all(fd, header.data(), header.size()))
    return std::unexpected(os_error(e));
  if (const int e = write_doubles(fd, values)) return std::unexpected(os_error(e));
  return {};
}

std::expected<void, IoError> write_file(const std::string& path, std::string_view bytes) {
  auto file = NewFile::create(path);
  if (!file) return std::unexpected(file.error());
  if (auto written = file->write(bytes); !written) return written;
  return file->commit();
}

std::expected<void, IoError> write_npy(const std::string& path, std::span<const double> records,
                                       std::uint64_t ncomp, std::uint64_t nx, std::uint64_t ny,
                                       std::uint64_t nz) {
  auto file = NewFile::create(path);
  if (!file) return std::unexpected(file.error());
  if (auto written = file->write(npy_header(ncomp, nx, ny, nz)); !written) return written;
  if (const int e = write_doubles(file->fd(), records)) return std::unexpected(os_error(e));
  return file->commit();
}

namespace {

template <class Field>
void write_field(const std::string& out_dir, std::string_view prefix, std::uint64_t step,
                 const Field& field, std::uint64_t ncomp) {
  const std::string path = join_path(out_dir, snapshot_file_name(prefix, step));
  auto written = write_npy(path, field.data, ncomp, field.nx, field.ny, field.nz);
  if (!written) warn_write_failure(path, written.error());
}

}  // namespace

void write_snapshot(const std::string& out_dir, std::string_view prefix, std::uint64_t step,
                    const lodestra_fields::QField3D& q) {
  write_field(out_dir, prefix, step, q, 5);
}

void write_snapshot(const std::string& out_dir, std::string_view prefix, std::uint64_t step,
                    const lodestra_fields::ScalarField3D& phi) {
  write_field(out_dir, prefix, step, phi, 1);
}

void write_snapshot(const std::string& out_dir, std::string_view prefix, std::uint64_t step,
                    const lodestra_fields::VelocityField3D& u) {
  write_field(out_dir, prefix, step, u, 3);
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

std::string stats_record_json(const SnapStats3D& s) {
  std::string out = "{";
  field(out, "time", json_number(s.time), false);
  field(out, "mean_s", json_number(s.mean_s), false);
  field(out, "biaxiality_p", json_number(s.biaxiality_p), false);
  field(out, "n_disclination_lines", count(s.n_disclination_lines), false);
  field(out, "total_line_length", json_number(s.total_line_length), false);
  field(out, "mean_line_curvature", json_number(s.mean_line_curvature), false);
  field(out, "n_events", count(s.n_events), true);
  return out + "\n  }";
}

std::string stats_record_json(const BechStats3D& s) {
  std::string out = "{";
  field(out, "time", json_number(s.time), false);
  field(out, "mean_s", json_number(s.mean_s), false);
  field(out, "biaxiality_p", json_number(s.biaxiality_p), false);
  field(out, "mean_phi", json_number(s.mean_phi), false);
  field(out, "n_disclination_lines", count(s.n_disclination_lines), false);
  field(out, "total_line_length", json_number(s.total_line_length), false);
  field(out, "mean_line_curvature", json_number(s.mean_line_curvature), false);
  field(out, "n_events", count(s.n_events), true);
  return out + "\n  }";
}

namespace {

// The file text after one more record: "[" + ("\n  " + object) joined by "," + "\n]".
void add_record(std::string& text, std::string_view record) {
  text.resize(text.size() - (text.size() == 2 ? 1 : 2));  // "[" or the text before "\n]"
  text += text.size() == 1 ? "\n  " : ",\n  ";
  text += record;
  text += "\n]";
}

template <class Record>
std::string json_array(std::span<const Record> records) {
  std::string text = "[]";
  for (const Record& r : records) add_record(text, stats_record_json(r));
  return text;
}

}  // namespace

std::string stats_json(std::span<const SnapStats3D> records) { return json_array(records); }

std::string stats_json(std::span<const BechStats3D> records) { return json_array(records); }

void write_stats_json(const std::string& out_dir, const std::string& text) {
  (void)write_file(join_path(out_dir, "stats.json"), text);
}

namespace {

// A new file at path holding bytes, through a NewFile, left open for writing in place.
std::expected<int, IoError> write_file_open(const std::string& path, std::string_view bytes) {
  auto file = NewFile::create(path);
  if (!file) return std::unexpected(file.error());
  if (auto written = file->write(bytes); !written) return std::unexpected(written.error());
  return file->commit_open();
}

}  // namespace

StatsFile::StatsFile(const std::string& out_dir)
    : path_(join_path(out_dir, "stats.json")),
      length_path_(join_path(out_dir, ".stats.json.length")) {}

StatsFile::StatsFile(const std::string& out_dir, std::string text) : StatsFile(out_dir) {
  text_ = std::move(text);
}

StatsFile::StatsFile(StatsFile&& other) noexcept
    : path_(std::move(other.path_)),
      length_path_(std::move(other.length_path_)),
      text_(std::move(other.text_)),
      fd_(std::exchange(other.fd_, -1)),
      length_fd_(std::exchange(other.length_fd_, -1)),
      dirty_(other.dirty_),
      warned_(other.warned_),
      error_(std::move(other.error_)) {}

StatsFile& StatsFile::operator=(StatsFile&& other) noexcept {
  if (this != &other) {
    close();
    path_ = std::move(other.path_);
    length_path_ = std::move(other.length_path_);
    text_ = std::move(other.text_);
    fd_ = std::exchange(other.fd_, -1);
    length_fd_ = std::exchange(other.length_fd_, -1);
    dirty_ = other.dirty_;
    warned_ = other.warned_;
    error_ = std::move(other.error_);
  }
  return *this;
}

StatsFile::~StatsFile() { close(); }

void StatsFile::close() {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  if (length_fd_ >= 0) ::close(std::exchange(length_fd_, -1));
}

void StatsFile::append(std::string_view record) {
  const std::size_t old_size = text_.size();
  add_record(text_, record);
  if (dirty_ || !still_ours()) {
    rewrite();
  } else {
    append_in_place(old_size);
  }
}

void StatsFile::finish() {
  if (dirty_ || !still_ours()) rewrite();
  if (text_.size() > 2) ::unlink(length_path_.c_str());
  close();
}

bool StatsFile::still_ours() const {
  struct stat mine {};
  struct stat named {};
  return fd_ >= 0 && ::fstat(fd_, &mine) == 0 && ::lstat(path_.c_str(), &named) == 0 &&
         mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
}

void StatsFile::rewrite() {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  auto fd = write_file_open(path_, text_);
  dirty_ = !fd;
  if (!fd) return failed(path_, fd.error());
  fd_ = *fd;
  if (record_length()) warned_ = false;
}

// The new bytes replace the closing "\n]" at old_size - 2 in one write, after which the
// length file tells the new size.
void StatsFile::append_in_place(std::size_t old_size) {
  const std::size_t at = old_size - 2;
  const std::string_view tail = std::string_view(text_).substr(at);
  const int e = pwrite_all(fd_, tail.data(), tail.size(), static_cast<off_t>(at));
  if (e == 0) {
    record_length();
    return;
  }
  // Restore the previous text: the closing bracket again, and the file cut back to it (both
  // need no new space on a full disk).
  if (pwrite_all(fd_, "\n]", 2, static_cast<off_t>(at)) != 0 ||
      ::ftruncate(fd_, static_cast<off_t>(old_size)) != 0) {
    ::close(std::exchange(fd_, -1));
  }
  dirty_ = true;
  failed(path_, os_error(e));
}

// The length as 20 decimal digits and a newline, written over the previous one at offset 0:
// one write of 21 bytes within the file's first page, which a kill never tears.
bool StatsFile::record_length() {
  std::string digits = fmt_int(static_cast<std::uint64_t>(text_.size()));
  digits.insert(0, 20 - digits.size(), '0');
  digits += '\n';
  std::expected<void, IoError> done;
  if (length_fd_ < 0) {
    auto fd = write_file_open(length_path_, digits);
    if (fd) length_fd_ = *fd;
    if (!fd) done = std::unexpected(fd.error());
  } else if (const int e = pwrite_all(length_fd_, digits.data(), digits.size(), 0)) {
    ::close(std::exchange(length_fd_, -1));
    done = std::unexpected(os_error(e));
  }
  if (!done) failed(length_path_, done.error());
  return done.has_value();
}

void StatsFile::failed(const std::string& path, const IoError& e) {
  if (!warned_) warn_write_failure(path, e);
  warned_ = true;
  error_ = std::make_pair(path, e);
}

}  // namespace lodestra_solver
