// Sets of volumes: written, re-packed, proven and read as one.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <new>
#include <thread>

#include "app/driver.h"
#include "app/inspect.h"
#include "app/state_record.h"
#include "pack/pack_set.h"
#include "platform/platform.h"
#include "support/test_support.h"
#include "tarnix/tarnix.h"

namespace tarnix {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

class VolumeSet : public ::testing::Test {
 protected:
  // Twelve files of 25,000 incompressible bytes (two to a volume of 64 KiB) and one of
  // 150,000, which has a volume of its own.
  void SetUp() override {
    for (int i = 10; i < 22; ++i) WriteFile(dir_ / ("src/f" + std::to_string(i)), Bytes(25000, i));
    WriteFile(dir_ / "src/zbig", Bytes(150000, 99));
  }
  static std::string Bytes(size_t size, uint32_t seed) { return test::RandomBytes(size, seed); }
  std::string Pack(const std::vector<std::string>& options = {},
                   const EntryDataOptions& tuning = {}) {
    std::vector<std::string> args = {"Tarnix", dir_ / "src", set_, "--volume-size", "64K"};
    args.insert(args.end(), options.begin(), options.end());
    std::string out;
    Console console(&out);
    status_ = RunTarnix(args, console, tuning);
    return out;
  }
  // Each volume file beside the set: its bytes and time.
  std::map<std::string, std::pair<std::string, fs::file_time_type>> Volumes() {
    std::map<std::string, std::pair<std::string, fs::file_time_type>> volumes;
    for (const std::string& name : test::Listing(dir_.path())) {
      if (name != "src" && name != "o.set")
        volumes[name] = {ReadFile(dir_ / name), fs::last_write_time(dir_ / name)};
    }
    return volumes;
  }
  // The set is sound, holds exactly the tree, each volume within the size or alone, and
  // nothing but its volumes (and `others` files) lies beside it.
  void ExpectSetOfTree(size_t others = 0) {
    std::string out, errors;
    Console o(&out), e(&errors);
    EXPECT_EQ(RunInspect({"tarnix-inspect", "test", set_}, o, e, nullptr), 0) << errors;
    PackReader reader;
    ASSERT_TRUE(reader.open(set_)) << reader.error();
    size_t files = 0;
    for (const std::string& name : test::Listing(dir_ / "src")) {  // a tree of files alone
      ++files;
      std::vector<uint8_t> content;
      ASSERT_TRUE(reader.read(reader.find("src/" + name), &content)) << name;
      EXPECT_EQ(std::string(content.begin(), content.end()), ReadFile(dir_ / ("src/" + name)));
    }
    EXPECT_EQ(reader.files().size(), files);
    PackSet set;
    ASSERT_TRUE(ReadSetFile(set_, &set).ok());
    for (const SetVolume& volume : set.volumes)
      EXPECT_TRUE(volume.size <= 65536 || volume.entries == 1) << volume.file;
    EXPECT_EQ(Volumes().size(), set.volumes.size() + others);
  }
  test::TempDir dir_;
  std::string set_ = dir_ / "o.set";
  int status_ = -1;
};

TEST_F(VolumeSet, RepacksOnlyTheVolumesThatChanged) {
  using Edit = std::function<void(const std::string& src)>;
  const struct {
    const char* what;
    Edit edit;
    std::vector<std::string> options;
    const char* line;
    size_t rewritten, removed;
  } rows[] = {
      // clang-format off
      {"up to date", [](auto&) {}, {}, "No file changes found", 0, 0},
      {"up to date, -v", [](auto&) {}, {"-v"}, "No file changes found", 0, 0},
      {"one file changed", [](auto& s) { WriteFile(s + "/f15", "x"); }, {}, "Wrote", 1, 1},
      {"a file added at the front", [](auto& s) { WriteFile(s + "/a", "new"); }, {}, "Wrote", 1, 1},
      {"a file grown past its volume", [](auto& s) { WriteFile(s + "/f15", Bytes(50000, 5)); },
       {}, "Wrote", 2, 1},
      {"the tree shrunk", [](auto& s) { for (int i = 10; i < 16; ++i)
         fs::remove(s + "/f" + std::to_string(i)); }, {}, "Wrote", 0, 3},
      {"to uncompressed", [](auto&) {}, {"-uc"}, "Wrote", 7, 7},
      {"a stored byte damaged, -v", [this](auto&) {
         std::string bytes = ReadFile(dir_ / "o.3.pak");
         bytes.back() ^= 1;
         WriteFile(dir_ / "o.3.pak", bytes); }, {"-v"}, "Wrote", 1, 1},
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(dir_ / "src");
    for (const std::string& name : test::Listing(dir_.path())) fs::remove(dir_ / name);
    SetUp();
    ASSERT_NE(Pack().find("Wrote " + set_), std::string::npos);
    const auto before = Volumes();
    row.edit(dir_ / "src");
    const std::string out = Pack(row.options);
    EXPECT_EQ(status_, 0) << out;
    EXPECT_NE(out.find(row.line), std::string::npos) << out;
    const auto after = Volumes();
    size_t kept = 0;
    for (const auto& [name, volume] : after) {
      if (before.count(name) == 0) continue;
      EXPECT_EQ(before.at(name), volume) << name;  // bytes and time
      ++kept;
    }
    EXPECT_EQ(after.size() - kept, row.rewritten);
    EXPECT_EQ(before.size() - kept, row.removed);
    ExpectSetOfTree();
  }
}

// A set whose file or volumes are not what it names is refused by readers, naming the volume; a
// failed run leaves the old set whole, and the next one leaves nothing of it behind.
TEST_F(VolumeSet, RefusesMismatchedVolumesAndSurvivesAFailedRun) {
  ASSERT_NE(Pack().find("Wrote"), std::string::npos);
  {  // Runs on one set take turns: a run waits while another holds the set's turn.
    auto turn = std::make_unique<platform::FileLock>();
    ASSERT_TRUE(turn->lock(StateRecordPath(set_) + ".lock").ok());
    std::atomic<bool> done{false};
    std::thread waiting([&] { Pack(), done = true; });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(done);
    turn.reset();
    waiting.join();
    EXPECT_EQ(status_, 0);
  }
  {  // tarnix-inspect sees it as one pack: as a pack of the same tree.
    test::TempDir other;
    std::string out, errors;
    Console o(&out), e(&errors);
    ASSERT_EQ(RunTarnix({"Tarnix", dir_ / "src", other / "one.pak"}, o), 0);
    EXPECT_EQ(RunInspect({"tarnix-inspect", "diff", other / "one.pak", set_}, o, e, nullptr), 0);
    out.clear();
    EXPECT_EQ(RunInspect({"tarnix-inspect", "list", set_}, o, e, nullptr), 0);
    EXPECT_EQ(out.substr(0, out.find('\n')),
              set_ + ": version 1, compressed, 13 entries in 7 volumes");
  }
  const std::string good = ReadFile(set_), volume = ReadFile(dir_ / "o.1.pak"),
                    first = ReadFile(dir_ / "o.0.pak");
  const std::pair<std::function<void()>, std::string> damages[] = {
      {[&] { WriteFile(set_, good.substr(0, good.size() / 2)); }, ": not a sound set file"},
      {[&] { fs::remove(dir_ / "o.1.pak"); }, "o.1.pak: No such file or directory"},
      {[&] { WriteFile(dir_ / "o.1.pak", ReadFile(dir_ / "o.2.pak")); },
       ": volume o.1.pak: it is not the volume the set names"},
      {[&] { WriteFile(set_, std::string(good).replace(good.find("o.1.pak"), 7, "../x.pak")); },
       "volume name \"../x.pak\" is refused"}};
  for (const auto& [damage, reason] : damages) {
    SCOPED_TRACE(reason);
    damage();
    PackReader reader;
    EXPECT_FALSE(reader.open(set_));
    EXPECT_NE(reader.error().find(reason), std::string::npos) << reader.error();
    WriteFile(set_, good);
    WriteFile(dir_ / "o.1.pak", volume);
  }
  // Two files added at the front, a volume each; the second runs out of memory (each has two
  // chunks, and the volumes are written in turn).
  std::atomic<int> chunks{0};
  test::Watch failing;
  failing.chunk = [&chunks](size_t, size_t, uint8_t*, size_t) {
    if (++chunks == 3) throw std::bad_alloc();
  };
  EntryDataOptions tuning;
  tuning.observer = &failing;
  for (const char* name : {"a", "b"})
    WriteFile(dir_ / ("src/" + std::string(name)), Bytes(60000, 1));
  EXPECT_NE(Pack({}, tuning).find("out of memory"), std::string::npos);
  EXPECT_EQ(status_, 1);
  EXPECT_EQ(ReadFile(set_), good);
  EXPECT_TRUE(PackReader().open(set_));  // the old set, whole
  EXPECT_NE(Pack().find("Wrote"), std::string::npos);
  ExpectSetOfTree();  // and nothing left of the failed run
  // Killed after its commit, before it removed the volumes the set no longer names: the next
  // run does, while they are what the set says they were.
  PackSet set;
  ASSERT_TRUE(ReadSetFile(set_, &set).ok());
  ASSERT_EQ(set.retired.size(), 1u);
  set.pending = {"o.9.pak"};  // what a set file lists besides its volumes reads back
  PackSet listed;
  WriteFile(dir_ / "l.set", SetFileText(set));
  ASSERT_TRUE(ReadSetFile(dir_ / "l.set", &listed).ok());
  EXPECT_EQ(listed.pending, set.pending);
  fs::remove(dir_ / "l.set");
  ASSERT_EQ(set.retired[0].file, "o.0.pak");
  {  // Stored as they are, two files that fill 64 KiB exactly share one volume.
    test::TempDir exact;
    for (const char* name : {"src/a", "src/b"}) WriteFile(exact / name, Bytes(32744, 3));
    std::string out;
    Console console(&out);
    ASSERT_EQ(RunTarnix({"Tarnix", exact / "src", exact / "e.set", "-uc", "--volume-size", "64K"},
                        console),
              0);
    PackSet fits;
    ASSERT_TRUE(ReadSetFile(exact / "e.set", &fits).ok());
    ASSERT_EQ(fits.volumes.size(), 1u);
    EXPECT_EQ(fits.volumes[0].size, 65536);
  }
  for (const std::string& content : {first, std::string("a user's file of that name")}) {
    WriteFile(dir_ / "o.0.pak", content);
    EXPECT_NE(Pack().find("No file changes found"), std::string::npos);
    ExpectSetOfTree(content == first ? 0 : 1);
  }
}

}  // namespace
}  // namespace tarnix
