// Snapshot files, their names, the JSON text of the statistics and the write failures.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "lodestra_solver/snapshot.hpp"
#include "lodestra_solver/stats_3d.hpp"

using namespace lodestra_solver;
namespace fs = std::filesystem;

namespace {

// A fresh directory per test, removed afterwards.
class TempDir {
 public:
  TempDir() {
    path_ = fs::temp_directory_path() /
            ("lodestra-snap-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string str() const { return path_.string(); }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(path_)) out.push_back(e.path().filename());
    return out;
  }

 private:
  fs::path path_;
  static inline int counter_ = 0;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Files of this process may grow to `bytes` at most while it lives (writes beyond fail with
// EFBIG, as on a full disk).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_{};
};

}  // namespace

TEST(Npy, HeaderLayoutAndDataOfTheTwoExampleShapes) {
  TempDir dir;
  struct Case {
    std::uint64_t nx, ny, nz, ncomp;
    const char* shape;
    std::size_t header_len;
  };
  for (const Case c :
       {Case{16, 16, 16, 5, "(16, 16, 16, 5)", 118}, Case{2, 3, 4, 1, "(2, 3, 4, 1)", 118}}) {
    std::vector<double> records(c.nx * c.ny * c.nz * c.ncomp);
    for (std::size_t k = 0; k < records.size(); ++k) records[k] = 0.25 * k - 3.0;
    records[1] = -0.0;
    const std::string path = join_path(dir.str(), snapshot_file_name("q", c.nz));
    ASSERT_TRUE(write_npy(path, records, c.ncomp, c.nx, c.ny, c.nz).has_value());
    const std::string bytes = slurp(path);
    ASSERT_EQ(bytes.size(), 128 + 8 * records.size());
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x93NUMPY\x01\x00", 8));
    EXPECT_EQ(static_cast<unsigned char>(bytes[8]) + 256 * static_cast<unsigned char>(bytes[9]),
              c.header_len);
    const std::string text =
        std::string("{'descr': '<f8', 'fortran_order': False, 'shape': ") + c.shape + ", }";
    EXPECT_EQ(bytes.substr(10, text.size()), text);
    EXPECT_EQ(bytes.substr(10 + text.size(), 117 - text.size()),
              std::string(117 - text.size(), ' '));
    EXPECT_EQ(bytes[127], '\n');
    EXPECT_EQ(std::memcmp(bytes.data() + 128, records.data(), 8 * records.size()), 0);
  }
  EXPECT_EQ(slurp(dir.str() + "/q_000016.npy").size(), 163968u);
  // An existing file is truncated.
  const std::vector<double> one{1.5};
  ASSERT_TRUE(write_npy(dir.str() + "/q_000016.npy", one, 1, 1, 1, 1).has_value());
  EXPECT_EQ(slurp(dir.str() + "/q_000016.npy").size(), 136u);
}

TEST(Npy, FailuresCarryTheSystemMessageAndErrorNumber) {
  TempDir dir;
  const std::vector<double> data(24, 1.0);
  struct Case {
    std::string path;
    const char* text;
  };
  for (const Case& c :
       {Case{dir.str() + "/missing/q_000000.npy", "No such file or directory (os error 2)"},
        Case{"", "No such file or directory (os error 2)"},
        Case{dir.str(), "Is a directory (os error 21)"}}) {
    const auto r = write_npy(c.path, data, 1, 2, 3, 4);
    ASSERT_FALSE(r.has_value()) << c.path;
    EXPECT_EQ(r.error().text, c.text);
  }
  EXPECT_FALSE(fs::exists(dir.str() + "/missing"));  // never created
  testing::internal::CaptureStderr();
  warn_write_failure("out dir/é/q_000007.npy", {"No such file or directory (os error 2)"});
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[runner_3d] warn: failed to write out dir/é/q_000007.npy: No such file or directory "
            "(os error 2)\n");
}

TEST(SnapshotNames, PaddingAndJoining) {
  EXPECT_EQ(snapshot_file_name("q", 99), "q_000099.npy");
  EXPECT_EQ(snapshot_file_name("phi", 0), "phi_000000.npy");
  EXPECT_EQ(snapshot_file_name("vel", 1234567), "vel_1234567.npy");
  EXPECT_EQ(join_path("out", "q.npy"), "out/q.npy");
  EXPECT_EQ(join_path("out/", "q.npy"), "out/q.npy");
  EXPECT_EQ(join_path("", "q.npy"), "q.npy");
  EXPECT_EQ(join_path("/", "stats.json"), "/stats.json");
}

TEST(Json, NumberFormsAcrossTheBoundaries) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, const char*> cases[] = {{1e-5, "0.00001"},
                                                  {1e-6, "1e-6"},
                                                  {1.5e-6, "1.5e-6"},
                                                  {1e15, "1000000000000000.0"},
                                                  {1e16, "1e+16"},
                                                  {2.5e20, "2.5e+20"},
                                                  {12.5, "12.5"},
                                                  {100.0, "100.0"},
                                                  {1.0, "1.0"},
                                                  {0.01, "0.01"},
                                                  {0.1, "0.1"},
                                                  {-0.0, "-0.0"},
                                                  {0.0, "0.0"},
                                                  {-3.25, "-3.25"},
                                                  {1.2345e-5, "0.000012345"},
                                                  {123456.789, "123456.789"},
                                                  {0.30000000000000004, "0.30000000000000004"},
                                                  {5e-324, "5e-324"},
                                                  {std::nan(""), "null"},
                                                  {inf, "null"},
                                                  {-inf, "null"}};
  for (const auto& [x, text] : cases) EXPECT_EQ(json_number(x), text) << text;
}

TEST(Json, StatsTextForNoneOneAndTwoRecords) {
  EXPECT_EQ(stats_json(std::span<const SnapStats3D>{}), "[]");
  EXPECT_EQ(stats_json(std::span<const BechStats3D>{}), "[]");
  const SnapStats3D s[2] = {{0.01, 0.5, 1e-7, 0, -0.0, std::nan(""), 0},
                            {0.02, 0.25, 0.0, 3, 12.5, 1e16, 7}};
  EXPECT_EQ(stats_json(std::span(s, 1)),
            "[\n  {\n    \"time\": 0.01,\n    \"mean_s\": 0.5,\n    \"biaxiality_p\": 1e-7,\n"
            "    \"n_disclination_lines\": 0,\n    \"total_line_length\": -0.0,\n"
            "    \"mean_line_curvature\": null,\n    \"n_events\": 0\n  }\n]");
  EXPECT_EQ(stats_json(std::span(s, 2)),
            "[\n  {\n    \"time\": 0.01,\n    \"mean_s\": 0.5,\n    \"biaxiality_p\": 1e-7,\n"
            "    \"n_disclination_lines\": 0,\n    \"total_line_length\": -0.0,\n"
            "    \"mean_line_curvature\": null,\n    \"n_events\": 0\n  },\n  {\n"
            "    \"time\": 0.02,\n    \"mean_s\": 0.25,\n    \"biaxiality_p\": 0.0,\n"
            "    \"n_disclination_lines\": 3,\n    \"total_line_length\": 12.5,\n"
            "    \"mean_line_curvature\": 1e+16,\n    \"n_events\": 7\n  }\n]");
  const BechStats3D b[1] = {{0.5, 0.125, 0.0625, -0.75, 18446744073709551615u, 2.0, 0.5, 1}};
  EXPECT_EQ(stats_json(std::span(b, 1)),
            "[\n  {\n    \"time\": 0.5,\n    \"mean_s\": 0.125,\n    \"biaxiality_p\": 0.0625,\n"
            "    \"mean_phi\": -0.75,\n    \"n_disclination_lines\": 18446744073709551615,\n"
            "    \"total_line_length\": 2.0,\n    \"mean_line_curvature\": 0.5,\n"
            "    \"n_events\": 1\n  }\n]");
}

TEST(Json, StatsFileIsReplacedAtomicallyAndFailsSilently) {
  TempDir dir;
  write_stats_json(dir.str(), "[]");
  EXPECT_EQ(slurp(dir.str() + "/stats.json"), "[]");
  const std::string longer = stats_json(std::span<const SnapStats3D>{});
  write_stats_json(dir.str() + "/", "[\n  {}\n]");
  EXPECT_EQ(slurp(dir.str() + "/stats.json"), "[\n  {}\n]");
  write_stats_json(dir.str(), longer);  // shorter than the file it replaces
  EXPECT_EQ(slurp(dir.str() + "/stats.json"), longer);
  EXPECT_EQ(dir.names(), std::vector<std::string>{"stats.json"});  // no temporary left
  // Failures: a missing directory, and a directory where the file should go.
  testing::internal::CaptureStderr();
  write_stats_json(dir.str() + "/missing", "[]");
  TempDir blocked;
  fs::create_directory(blocked.str() + "/stats.json");
  write_stats_json(blocked.str(), "[]");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(fs::exists(dir.str() + "/missing"));
  EXPECT_EQ(blocked.names(), std::vector<std::string>{"stats.json"});
  EXPECT_TRUE(fs::is_directory(blocked.str() + "/stats.json"));
}

TEST(SafeFiles, SymbolicLinksAtTheTargetAreReplacedNeverFollowed) {
  TempDir dir;
  const std::string victim = dir.str() + "/victim";
  std::ofstream(victim) << "precious";
  const SnapStats3D record{0.5, 0.25, 0.0, 1, 2.0, 0.5, 0};
  const std::vector<double> one{1.5};
  // Snapshot files, the statistics file at its creation, and one planted during a run.
  for (const std::string name : {"q_000000.npy", "stats.json", "planted"}) {
    fs::create_directory(dir.str() + "/run");
    const std::string target = dir.str() + "/run/" + (name == "planted" ? "stats.json" : name);
    if (name != "planted") fs::create_symlink(victim, target);
    if (name == "q_000000.npy") {
      ASSERT_TRUE(write_npy(target, one, 1, 1, 1, 1).has_value());
      EXPECT_EQ(slurp(target).size(), 136u);
    } else {
      StatsFile stats(dir.str() + "/run");
      stats.append(stats_record_json(record));
      if (name == "planted") {
        fs::remove(target);
        fs::create_symlink(victim, target);
      }
      stats.append(stats_record_json(record));
      stats.finish();
      const SnapStats3D both[2] = {record, record};
      EXPECT_EQ(slurp(target), stats_json(std::span(both, 2)));
    }
    EXPECT_FALSE(fs::is_symlink(target)) << name;
    EXPECT_EQ(slurp(victim), "precious") << name;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.str() + "/run"), {}), 1);  // no temporary
    fs::remove_all(dir.str() + "/run");
  }
}

TEST(SafeFiles, StatsFileHoldsEveryFinishedRecordAndTheExactFinalText) {
  TempDir dir;
  std::vector<SnapStats3D> records;
  {
    StatsFile none(dir.str());
    none.finish();
  }
  EXPECT_EQ(slurp(dir.str() + "/stats.json"), "[]");
  StatsFile stats(dir.str());
  for (int k = 0; k < 40; ++k) {
    records.push_back({0.01 * k, 0.5, 1e-7 * k, std::uint64_t(k), -0.0, std::nan(""), 3});
    stats.append(stats_record_json(records.back()));
    EXPECT_EQ(slurp(dir.str() + "/stats.json"), stats_json(std::span(records)));
    const std::string length = slurp(dir.str() + "/.stats.json.length");
    EXPECT_EQ(length.size(), 21u);
    EXPECT_EQ(std::stoull(length), stats_json(std::span(records)).size());
    if (k == 20) fs::remove(dir.str() + "/stats.json");  // rewritten at the next record
  }
  stats.finish();
  EXPECT_EQ(slurp(dir.str() + "/stats.json"), stats_json(std::span(records)));
  EXPECT_EQ(dir.names(), std::vector<std::string>{"stats.json"});
}

TEST(SafeFiles, AFullDiskLeavesNoPartFileAndWarnsAboutStatsOnce) {
  TempDir dir;
  const std::vector<double> data(200, 1.0);
  const SnapStats3D record{0.5, 0.25, 0.0, 1, 2.0, 0.5, 0};
  std::vector<SnapStats3D> records;
  StatsFile stats(dir.str());
  testing::internal::CaptureStderr();
  {
    FileSizeLimit limit(1000);
    const auto r = write_npy(dir.str() + "/q_000000.npy", data, 1, 2, 10, 10);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().text, "File too large (os error 27)");
    for (int k = 0; k < 12; ++k) {  // about 200 bytes each: the later ones fail
      records.push_back(record);
      stats.append(stats_record_json(record));
    }
    // The file holds the records before the first failure, exactly.
    const std::string kept = slurp(dir.str() + "/stats.json");
    std::size_t n = 1;
    while (n < records.size() && kept != stats_json(std::span(records).first(n))) ++n;
    EXPECT_LT(n, records.size());
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[runner_3d] warn: failed to write " + dir.str() +
                "/stats.json: File too large (os error 27)\n");
  records.push_back(record);
  stats.append(stats_record_json(record));  // room again: the whole text
  stats.finish();
  EXPECT_EQ(slurp(dir.str() + "/stats.json"), stats_json(std::span(records)));
  EXPECT_EQ(dir.names(), std::vector<std::string>{"stats.json"});
}
