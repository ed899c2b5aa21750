#include "app/driver.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <new>
#include <tuple>

#include "app/change_detection.h"
#include "app/content_hash.h"
#include "app/state_record.h"
#include "format/format.h"
#include "pack/pack_check.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace tarnix {
namespace {

using test::Chunk;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;
using Files = std::vector<std::pair<std::string, std::string>>;

int RunTool(const std::vector<std::string>& args, std::string* out,
            const EntryDataOptions& tuning = {}) {
  out->clear();
  Console console(out);
  return RunTarnix(args, console, tuning);
}

TEST(CommandLine, UsageRootNameAndOptions) {
  std::string out;
  EXPECT_EQ(RunTool({}, &out), 1);  // not even a program name
  EXPECT_EQ(out, "");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"Tarnix"}, {"Tarnix", "dir"}}) {
    EXPECT_EQ(RunTool(args, &out), 0);
    EXPECT_EQ(out,
              "Tarnix v1.00 - Packs multiple files into a Ombrel .pak file\n\nArguments:\n"
              " -uc: Do not compress the resulting file.\n -v: Verify each file can be read back "
              "correctly.\n"
              "\nUsage:\n Tarnix.exe <directory> <pack filename> [-uc] [-v]\n");
  }
  // clang-format off
  const std::pair<const char*, const char*> roots[] = {
      {"data/assets/", "assets"}, {"data\\assets", "assets"}, {"C:/", "C:"}, {".", "."},
      {"assets//", ""}, {"", ""}};
  // clang-format on
  for (const auto& [directory, root] : roots) EXPECT_EQ(RootName(directory), root) << directory;
  TempDir dir;
  WriteFile(dir / "src/a.txt", "abc");
  WriteFile(dir / "src/sub/b", "");
  // Stored for "." and "..": the folder's own name, which extract accepts; "/" has none.
  for (const std::string& directory :
       {dir / "src/.", dir / "src/sub/..", dir / "src//", std::string("/")}) {
    std::string stored;
    EXPECT_EQ(StoredRootName(directory, &stored).ok(), directory != "/") << directory;
    EXPECT_EQ(stored, directory == "/" ? "" : "src");
  }
  const std::pair<std::vector<std::string>, int> options[] = {
      {{}, 1}, {{"-UC", "-V"}, 0}, {{"-uc"}, 0}, {{"-Uc", "-uC", "--uc", "/uc", "-verify"}, 1}};
  for (const auto& [extra, type] : options) {
    std::vector<std::string> args = {"Tarnix", dir / "src", dir / "o.pak"};
    args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_EQ(RunTool(args, &out), 0) << out;
    EXPECT_EQ(ReadFile(dir / "o.pak")[5], type);
  }
  for (const char* size : {"63K", "2G", "12X", ""}) {
    EXPECT_EQ(RunTool({"Tarnix", dir / "src", dir / "s.set", "-v", "--volume-size", size}, &out),
              1);
    EXPECT_EQ(out, "Tarnix v1.00\nInvalid --volume-size \"" + std::string(size) +
                       "\": give bytes, or K, M or G, from 64K to 2147483647\n");
  }
  // What the pack depends on, as Make and Ninja read it: each file, then each folder.
  WriteFile(dir / "dep/a b#$", "x");
  EXPECT_EQ(RunTool({"Tarnix", dir / "dep", dir / "d.pak", "--depfile", dir / "d.d"}, &out), 0);
  const std::string file = platform::JoinPath(dir / "dep", "a\\ b\\#$$");
  EXPECT_EQ(ReadFile(dir / "d.d"), dir / "d.pak: \\\n " + file + " \\\n " + (dir / "dep") + "\n");
  EXPECT_EQ(RunTool({"Tarnix", dir / "dep", dir / "d.pak", "--depfile", dir / "no/d.d"}, &out), 1);
  EXPECT_NE(out.find("\nFailed to write " + (dir / "no/d.d") + ": "), std::string::npos) << out;
#ifndef _WIN32  // sparse files
  // Too large for one pack: the refusal names the way out.
  for (const char* name : {"big/a", "big/b"}) {
    WriteFile(dir / name, "");
    std::filesystem::resize_file(dir / name, 0x40000000);
  }
  EXPECT_EQ(RunTool({"Tarnix", dir / "big", dir / "big.pak", "-uc"}, &out), 1);
  EXPECT_NE(out.find(": the pack would reach 2 GiB, the largest the format can hold; "
                     "--volume-size writes a set of smaller packs instead\n"),
            std::string::npos)
      << out;
#endif
  // "-uc" in the directory's place is the directory.
  EXPECT_EQ(RunTool({"Tarnix", "-uc", dir / "new.pak", "out.pak"}, &out), 1);
  EXPECT_EQ(out, "Tarnix v1.00\nCannot read directory -uc: No such file or directory\n");
}

// Problems `test` finds in the pack at `path`: all of them, or those of its layout alone.
size_t Problems(const std::string& path, bool full) {
  PackContents pack;
  if (!pack.stream.open(path, OpenMode::Read)) return 1;
  if (full) return FindPackProblems(pack);
  return pack.read() ? CheckLayout(pack) : 1;
}

// A pack's header and table: what its entries hold, once the full check has passed.
std::string Table(const std::string& path) {
  PackContents pack;
  if (!pack.stream.open(path, OpenMode::Read) || !pack.read()) return "unreadable";
  std::string table = std::to_string(static_cast<int>(pack.compressionType));
  for (const PackEntry& e : pack.entries)
    table += "|" + e.name + " " + std::to_string(e.size) + " " + std::to_string(*e.checksum);
  return table;
}

class ChangeDetection : public ::testing::Test {
 protected:
  // Packs `files` (name -> content, in place of the tree there was); true when the run found
  // nothing to write. A pack it writes must be what a fresh run writes: byte for byte where it
  // replaced one of the tool's, and entry for entry where it copied from one made otherwise.
  bool Unchanged(const Files& files, const std::string& option = "") {
    const bool ours = ReadFile(pak_) == written_;
    std::filesystem::remove_all(dir_ / "src");
    std::filesystem::create_directories(dir_ / "src");
    for (const auto& [name, content] : files) WriteFile(dir_ / ("src/" + name), content);
    std::string out;
    EXPECT_EQ(RunTool({"Tarnix", dir_ / "src", pak_, option}, &out), 0) << out;
    // A pack called up to date passes test (with -v, in full); one written passes in full.
    const bool kept = out.find("No file changes found") != std::string::npos;
    EXPECT_EQ(Problems(pak_, !kept || option == "-v"), 0u) << out;
    if (kept) return true;
    EXPECT_EQ(RunTool({"Tarnix", dir_ / "src", dir_ / "fresh.pak", option}, &out), 0) << out;
    written_ = ReadFile(pak_);
    EXPECT_EQ(ours ? written_ : Table(pak_),
              ours ? ReadFile(dir_ / "fresh.pak") : Table(dir_ / "fresh.pak"));
    return false;
  }
  TempDir dir_;
  std::string pak_ = dir_ / "out.pak";
  std::string written_;  // the last pack a run wrote
};

TEST_F(ChangeDetection, UnchangedOnlyWhenEveryNameAndChecksumAgreeOverAWholePack) {
  const std::string big = test::RandomBytes(70000, 1);
  const Files tree = {{"a", "abc"}, {"sub/b", big}}, changed = {{"a", "abd"}, {"sub/b", big}};
  EXPECT_FALSE(Unchanged(tree));
  const std::string good = ReadFile(pak_);
  std::string damaged = good;
  damaged.back() ^= 1;  // the Adler-32 of sub/b's last chunk
  std::string near = big;
  near[5] ^= 1;
  // Its data reads back soundly, as other bytes.
  const test::MadeEntry misleading{"src/sub\\b", big,
                                   test::MakePack({{"", near}}, true).bytes.substr(24)};
  const std::string other = test::MakePack({{"src/a", "abc"}, misleading}, true).bytes;
  // A file whose checksum is 0 (the checksum is affine in the last 4 bytes, solved for over
  // GF(2)): its old stored form must not pass for an edit of it.
  const std::string zero = test::RandomBytes(4996, 7) + "\x7b\xd7\x6b\x8f";
  ASSERT_EQ(Checksum32(zero.data(), zero.size()), 0u);
  std::string edited = zero;
  edited[10] ^= 1;
  // Packs made by other means: sound; with a stored form that breaks a rule (no final empty chunk:
  // the checks test each rule of the entry reader all these paths share), which is neither kept
  // nor copied; and with a name holding a NUL, which matches no file.
  const std::string full(32768, 'f');
  const Files withFull = {{"a", "abc"}, {"sub/b", big}, {"z", full}},
              withAdded = {{"a", "abc"}, {"sub/b", big}, {"z", full}, {"added", "new"}};
  // The last: a byte after the empty last stream, inside its frame.
  test::MadeEntry noFinal{"src/z", full, Chunk(full)},
      hidden{std::string("src/a\0hidden", 12), "abc"},
      padded{"src/z", full, Chunk(full) + Chunk("") + "z"};
  padded.stored->replace(padded.stored->size() - 13, 4, test::Le32(9));
  const std::string sound =
      test::MakePack({{"src/a", "abc"}, {"src/sub\\b", big}, {"src/z", full}}, true).bytes;
  const std::string broken =
      test::MakePack({{"src/a", "abc"}, {"src/sub\\b", big}, noFinal}, true).bytes;
  const std::string paddedEnd =
      test::MakePack({{"src/a", "abc"}, {"src/sub\\b", big}, padded}, true).bytes;
  const std::string named =
      test::MakePack({hidden, {"src/sub\\b", big}, {"src/z", full}}, true).bytes;
  const Files upper = {{"A", "abc"}, {"sub/b", big}},
              added = {{"A", "abc"}, {"sub/b", big}, {"c", ""}};
  // The pack put there first (bytes, or else a pack of a tree with an option), the tree and the
  // option of the run, and whether the run left the pack.
  const struct Run {
    const char* name;
    std::string bytes;
    Files first;
    std::string firstOption;
    Files files;
    std::string option;
    bool unchanged;
  } runs[] = {
      {"unchanged", "", tree, "", tree, "", true},
      {"unchanged, -v", "", tree, "", tree, "-v", true},
      {"half a pack", good.substr(0, good.size() / 2), {}, "", tree, "", false},
      {"a byte after the pack", good + "x", {}, "", tree, "", false},
      {"no pack", "not a pack", {}, "", tree, "", false},
      {"damaged, not read", damaged, {}, "", tree, "", true},
      {"other content, not read", other, {}, "", tree, "", true},
      {"damaged, -v", damaged, {}, "", tree, "-v", false},
      {"other content, -v", other, {}, "", tree, "-v", false},
      {"damaged, not copied", damaged, {}, "", changed, "", false},
      {"case counts", "", tree, "", upper, "", false},
      {"a file added", "", upper, "", added, "", false},
      {"to uncompressed", "", changed, "", changed, "-uc", false},
      {"uncompressed kept", "", changed, "-uc", changed, "-uc", true},
      {"to compressed", "", changed, "-uc", changed, "", false},
      {"a zero checksum edited in place", "", {{"a", zero}}, "", {{"a", edited}}, "", false},
      {"another's sound pack", sound, {}, "", withFull, "", true},
      {"another's sound pack, -v", sound, {}, "", withFull, "-v", true},
      {"another's sound pack, a file added", sound, {}, "", withAdded, "", false},
      {"no final empty chunk", broken, {}, "", withFull, "", false},
      {"no final empty chunk, -v", broken, {}, "", withFull, "-v", false},
      {"no final empty chunk, a file added", broken, {}, "", withAdded, "", false},
      {"a padded empty last chunk, -v", paddedEnd, {}, "", withFull, "-v", false},
      {"a padded empty last chunk, a file added", paddedEnd, {}, "", withAdded, "", false},
      {"an old name holding a NUL", named, {}, "", withFull, "", false},
      {"an empty tree over an empty pack", "", {}, "-uc", {}, "-uc", true},
      {"an empty tree over an empty pack of the other type", "", {}, "-uc", {}, "", false},
      {"an empty tree over what is no pack", "not a pack", {}, "", {}, "-uc", false}};
  for (const Run& run : runs) {
    SCOPED_TRACE(run.name);
    std::filesystem::remove(pak_);
    if (run.bytes.empty())
      Unchanged(run.first, run.firstOption);
    else
      WriteFile(pak_, run.bytes);
    EXPECT_EQ(Unchanged(run.files, run.option), run.unchanged);
  }
  // A source that cannot be read fails the check (a directory, for root too); one that grew
  // past the size it was listed with is not the stored file, whatever its first bytes.
  const std::string listed = test::RandomBytes(262144, 5);
  WriteFile(pak_, test::MakePack({{"src/a", listed}}, true).bytes);
  WriteFile(dir_ / "grown", listed + "x");
  for (const std::string& path : {dir_.path(), dir_ / "grown"}) {
    PackContents fresh, existing;  // which holds the pack open until it goes
    fresh.compressionType = CompressionType::Compressed;
    fresh.entries.emplace_back();
    fresh.entries[0].setSource("src/a", path, 262144, &fresh);
    bool unchanged = false;
    std::vector<StoredCopy> copies;
    LoadReplacedPack(pak_, fresh.compressionType, existing);
    const Status status = IsPackUnchanged(fresh, existing, false, &unchanged, &copies);
    EXPECT_EQ(status.message(), path == dir_.path() ? "Failed to open " + path +
                                                          ": it is a directory, not a regular file"
                                                    : "");
    EXPECT_FALSE(unchanged) << path;
  }
}

// A state record vouches for a source only while its stamp is untouched, for this pack, tree
// and setting; a record it cannot trust is ignored, and -v reads everything.
TEST_F(ChangeDetection, TrustsTheStateRecordOnlyWhereNothingCouldHaveChanged) {
  namespace fs = std::filesystem;
  const std::string src = dir_ / "src", a = dir_ / "src/a";
  // Rewrites the record of the last run: `begun` far enough on that no file is racily clean,
  // and the checksum of "a" a lie, which a run that believes it acts on.
  auto hashOf = [](const std::string& content) {
    ContentHasher hasher;
    hasher.update(reinterpret_cast<const uint8_t*>(content.data()), content.size());
    return hasher.digest();
  };
  auto forge = [&](bool lie, const std::function<void(StateRecord&)>& change = {}) {
    std::optional<StateRecord> record = LoadStateRecord(pak_);
    ASSERT_TRUE(record.has_value());
    ASSERT_EQ(record->files.size(), 2u);
    record->begun = Now() + 3600000000000;
    record->files[0].hash = hashOf("abcde");  // as a run that read it proves
    if (lie) record->files[0].checksums.content ^= 1;
    if (change) change(*record);
    SaveStateRecord(*record);
  };
  // Other bytes of the same size and checksum: the CRC's own polynomial added to the first five.
  std::string twin = "abcde";
  for (size_t i = 0; i < 5; ++i) twin[i] = static_cast<char>(twin[i] ^ "\x41\x06\x71\xdb\x01"[i]);
  enum Damage { Flipped, Cut, Longer, Tiny };  // the middle two with their checksum made to fit
  auto damage = [&](Damage how) {
    std::string bytes = ReadFile(StateRecordPath(pak_));
    if (how == Cut) bytes.erase(bytes.size() - 13, 9);  // the end of its last file
    if (how == Tiny) bytes.resize(3);
    if (how == Flipped) bytes[bytes.size() / 2] ^= 1;
    if (how == Longer) bytes.insert(bytes.size() - 4, "more");
    if (how == Cut || how == Longer)
      bytes.replace(bytes.size() - 4, 4, test::Le32(Checksum32(bytes.data(), bytes.size() - 4)));
    WriteFile(StateRecordPath(pak_), bytes);
  };
  using Edit = std::function<void()>;
  const Edit honest = [&] { forge(false); }, lie = [&] { forge(true); };
  auto lieWith = [&](const std::function<void(StateRecord&)>& change) -> Edit {
    return [&forge, change] { forge(true, change); };
  };
  auto then = [](const Edit& first, const Edit& second) -> Edit {
    return [first, second] { first(), second(); };
  };
  auto damaged = [&](Damage how) { return then(lie, [&damage, how] { damage(how); }); };
  auto written = [&](const std::string& path, const std::string& content) -> Edit {
    return [path, content] { WriteFile(path, content); };
  };
  auto keepingTime = [](const std::string& path, const Edit& change) -> Edit {
    return [path, change] {
      const auto time = fs::last_write_time(path);
      change();
      fs::last_write_time(path, time);
    };
  };
  // A change to the file's metadata, then a run that records its stamp.
  auto restamped = [&](const Edit& change) -> Edit {
    return [&, change] {
      change();
      std::string shown;
      EXPECT_EQ(RunTool({"Tarnix", src, pak_}, &shown), 0);
    };
  };
  const Edit countCompressed = [&] {
    test::ChunkCounter counter;
    std::string shown;
    EXPECT_EQ(RunTool({"Tarnix", src, pak_}, &shown, counter.options()), 0) << shown;
    EXPECT_EQ(counter.compressed, 1);                               // the added file alone
    EXPECT_TRUE(LoadStateRecord(pak_)->files[0].hash.has_value());  // a copy keeps its proof
  };
  const Edit replacePack = [&] { fs::rename(pak_, pak_ + ".old"), fs::copy(pak_ + ".old", pak_); };
  const Edit dateAhead = [&] {
    fs::last_write_time(a, fs::file_time_type::clock::now() + std::chrono::hours(2));
  };
  const Edit chmodA = [&] { fs::permissions(a, fs::perms::others_read, fs::perm_options::add); };
  const Edit touchPack = [&] {
    fs::last_write_time(pak_, fs::last_write_time(pak_) + std::chrono::hours(1));
  };
  const Edit otherPacksRecord = then(
      lieWith([&](StateRecord& r) { r.packPath = RecordKey(dir_ / "other.pak"); }),
      [&] { WriteFile(StateRecordPath(pak_), ReadFile(StateRecordPath(dir_ / "other.pak"))); });
  const Edit renamedOver = [&] {
    WriteFile(dir_ / "other", "abcdf");
    fs::last_write_time(dir_ / "other", fs::last_write_time(a));
    fs::rename(dir_ / "other", a);
  };
  const Edit flipStoredByte = [&] {
    std::string bytes = ReadFile(pak_);
    bytes.back() ^= 1;  // in b's last chunk
    WriteFile(pak_, bytes);
  };
  const Edit forgeStoredChecksum = [&] {
    forge(false, [&](StateRecord& r) {
      *r.files[1].checksums.stored ^= 1;
      r.files[1].hash = hashOf(ReadFile(dir_ / "src/b"));
    });
  };
  const Edit proofOfBDropped = [&] {
    std::string shown;
    EXPECT_EQ(RunTool({"Tarnix", src, pak_}, &shown), 0);
    EXPECT_FALSE(LoadStateRecord(pak_)->files[2].hash.has_value());  // b
  };
  const struct {
    const char* what;
    Edit edit;
    std::string option;
    bool unchanged;
  } rows[] = {
      // clang-format off
      {"an honest record", honest, "", true},
      {"a lie is believed: no source is read", lie, "", false},
      {"a file added: the others copied on trust, not compressed",
       then(then(honest, written(dir_ / "src/added", "new")), countCompressed), "", true},
      {"-v reads every source", lie, "-v", true},
      {"racily clean: written just before the record began",
       lieWith([](StateRecord& r) { r.begun = Now(); }), "", true},
      {"another tree's record", lieWith([](StateRecord& r) { r.root += "x"; }), "", true},
      {"the other setting's record",
       lieWith([](StateRecord& r) { r.compressionType = CompressionType::Uncompressed; }), "",
       true},
      {"a pack replaced since, its time kept", then(lie, keepingTime(pak_, replacePack)), "", true},
      {"a file dated after the record began", then(restamped(dateAhead), lie), "", true},
      {"a file whose status changed as the record's trust ends, to the nanosecond",
       then(restamped(chmodA), lieWith([](StateRecord& r) {
         r.begun = r.files[0].stamp.changed + StampGranularity; })), "", true},
      {"a pack touched since", then(lie, touchPack), "", true},
      {"a table that differs", lieWith([](StateRecord& r) { r.tableChecksum ^= 1; }), "", true},
      {"a damaged record", damaged(Flipped), "", true},
      {"a record cut short", damaged(Cut), "", true},
      {"a record with bytes after its files", damaged(Longer), "", true},
      {"a record of three bytes", damaged(Tiny), "", true},
      {"another pack's record", otherPacksRecord, "", true},
      {"a same-size edit at once", then(honest, written(a, "abcdf")), "", false},
      {"a same-size edit whose checksum is the old one's", then(honest, written(a, twin)), "",
       false},
      {"-v compares bytes, not checksums", written(a, twin), "-v", false},
      {"a touched file is judged by the record's hash: a lie is believed",
       then([&] { forge(false, [&](StateRecord& r) { r.files[0].hash = hashOf(twin); }); },
            written(a, twin)), "", true},
      {"an edit with its time restored", then(honest, keepingTime(a, written(a, "abcdf"))), "",
       false},
      {"another file renamed over it, same size and time", then(honest, renamedOver), "", false},
      {"a stored byte flipped, the pack's time kept, then a file added: not copied",
       then(then(honest, keepingTime(pak_, flipStoredByte)), written(dir_ / "src/added", "new")),
       "", false},
      {"a copy that fails its recorded stored checksum is stored afresh, its proof not kept",
       then(then(forgeStoredChecksum, written(dir_ / "src/added", "new")), proofOfBDropped), "",
       true},
      // clang-format on
  };
  for (const auto& row : rows) {
    fs::remove_all(src);
    fs::remove(pak_);
    WriteFile(a, "abcde");
    WriteFile(dir_ / "src/b", test::RandomBytes(70000, 3));
    std::string out;
    ASSERT_EQ(RunTool({"Tarnix", src, pak_}, &out), 0) << out;
    row.edit();
    EXPECT_EQ(RunTool({"Tarnix", src, pak_, row.option}, &out), 0) << out;
    EXPECT_EQ(out.find("No file changes found") != std::string::npos, row.unchanged) << row.what;
    // Only a run that read no source leaves the (forged) record as it was.
    EXPECT_EQ(LoadStateRecord(pak_)->begun > Now(), row.what == std::string("an honest record"))
        << row.what;
    EXPECT_EQ(Problems(pak_, true), 0u) << row.what;
    EXPECT_EQ(RunTool({"Tarnix", src, pak_}, &out), 0) << out;  // and what it left is right
    EXPECT_NE(out.find("No file changes found"), std::string::npos) << row.what;
  }
}

// The record folder keeps the newest 256 records, and nothing else of what lies there is touched.
TEST_F(ChangeDetection, StateRecordsBeyondTheNewest256AreRemoved) {
  namespace fs = std::filesystem;
  EXPECT_FALSE(Unchanged({{"a", "abc"}}));
  const fs::path folder = fs::path(StateRecordPath(pak_)).parent_path();
  EXPECT_EQ(folder.parent_path(),
            fs::path(test::CacheFolder()));  // never the tree's, nor the pack's
#ifndef _WIN32
  setenv("XDG_CACHE_HOME", "relative", 1);  // not absolute, so not the user's: $HOME/.cache is
  setenv("HOME", test::CacheFolder().c_str(), 1);
  EXPECT_EQ(fs::path(StateRecordPath(pak_)).parent_path(),
            folder.parent_path() / ".cache" / "tarnix");
  unsetenv("HOME");
  EXPECT_EQ(StateRecordPath(pak_), "");  // no cache folder at all: the run keeps no record
  setenv("XDG_CACHE_HOME", test::CacheFolder().c_str(), 1);
#endif
  const auto old = fs::last_write_time(StateRecordPath(pak_)) - std::chrono::hours(1);
  for (int i = 0; i < 300; ++i)
    WriteFile((folder / ("old" + std::to_string(i) + ".state")).string(), "");
  for (const char* other : {"notes.txt", ".state"})
    WriteFile((folder / other).string(), "not a record");
  for (const auto& entry : fs::directory_iterator(folder)) fs::last_write_time(entry.path(), old);
  fs::last_write_time(folder / "old0.state", old + std::chrono::minutes(1));  // the newest of them
  EXPECT_FALSE(Unchanged({{"a", "abd"}}));  // a new record for the pack
  size_t records = 0;
  for (const auto& entry : fs::directory_iterator(folder))
    records += entry.path().extension() == ".state";
  EXPECT_EQ(records, 256u);
  EXPECT_TRUE(LoadStateRecord(pak_).has_value());
  for (const char* kept : {"old0.state", "notes.txt", ".state"})
    EXPECT_TRUE(fs::exists(folder / kept)) << kept;
}

TEST(Driver, ProgressRedrawsWithinAHundredOnlyWhenItsTextChanges) {
  const std::string bar = "\rWriting p.pak [";
  // Rows: entries, redraws (one per change of the line's text), parts of the output.
  // clang-format off
  const std::tuple<size_t, size_t, std::vector<std::string>> cases[] = {
      // 53/100 in floats
      {100, 100, {bar + std::string(53, '.') + std::string(47, ' ') + "] 52%\r",
                  bar + std::string(59, '.') + std::string(41, ' ') + "] 58%\r"}},
      {250, 101, {bar + "." + std::string(99, ' ') + "] 1%\r",
                  bar + std::string(100, '.') + "] 100% Done\n"}}};
  // clang-format on
  for (const auto& [n, redraws, parts] : cases) {
    std::string shown;
    Console console(&shown);
    ProgressBar progress(console, "p.pak", false);
    for (size_t k = 0; k < n; ++k) progress.show(k, n);
    progress.done();
    EXPECT_EQ(static_cast<size_t>(std::count(shown.begin(), shown.end(), '\r')), redraws) << n;
    for (const std::string& part : parts) EXPECT_NE(shown.find(part), std::string::npos) << part;
  }
}

TEST(Driver, FailuresReportTheFileAndKeepTheOldPack) {
  TempDir dir;
  const std::string b = test::RandomBytes(2000, 1);  // stored as it is: its bytes lie in the open
  std::string changed = b;
  changed[100] ^= 1;
  for (std::string name : {"a", "b", "c"})
    WriteFile(dir / ("src/" + name), name == "b" ? b : name + " entry");
  const std::string pak = dir / "old.pak";
  WriteFile(pak, "previous");
  test::Watch damagingWatch;  // a sound zlib stream of other bytes
  damagingWatch.chunk = [](size_t entry, size_t, uint8_t* framed, size_t size) {
    if (entry != 1) return;
    framed[4 + 2 + 5 + 100] ^= 1;  // past the zlib header and the stored block's header
    const uint32_t adler =
        static_cast<uint32_t>(adler32(1, framed + 11, static_cast<uInt>(size - 15)));
    for (int i = 0; i < 4; ++i) framed[size - 1 - i] = static_cast<uint8_t>(adler >> (8 * i));
  };
  EntryDataOptions damaging;
  damaging.observer = &damagingWatch;
  std::string out;
  EXPECT_EQ(RunTool({"Tarnix", dir / "src", pak, "-v"}, &out, damaging), 1);
  EXPECT_EQ(
      out,
      "Tarnix v1.00\nAdding a...Done\nAdding b...Done\nAdding c...Done\n\rWriting compressed " +
          pak + " [.  ] 33%\rWriting compressed " + pak +
          " [.. ] 66%\nFailed to verify src/b (data: " +
          std::to_string(Checksum32(b.data(), b.size())) +
          ", saved: " + std::to_string(Checksum32(changed.data(), changed.size())) + ")\n");
  test::Watch starvingWatch;
  starvingWatch.chunk = [](size_t, size_t, uint8_t*, size_t) { throw std::bad_alloc(); };
  EntryDataOptions starving;
  starving.observer = &starvingWatch;
  EXPECT_EQ(RunTool({"Tarnix", dir / "src", pak}, &out, starving), 1);
  EXPECT_EQ(out.substr(out.find("33%") + 3), "\nFailed to write " + pak + ": out of memory\n");
  EXPECT_EQ(ReadFile(pak), "previous");
  EXPECT_EQ(test::Listing(dir.path()), (std::vector<std::string>{"old.pak", "src"}));
  EXPECT_EQ(RunTool({"Tarnix", dir / "src", pak}, &out, damaging),
            0);  // without -v, not looked for
}

#ifdef _WIN32
// Either slash, and trailing ones, give the same pack; an old pack is replaced, and one inside
// the tree is left out.
TEST(Driver, EitherSeparatorGivesTheSamePackOnWindows) {
  TempDir dir;
  WriteFile(dir / "src/sub/deeper/b.bin", test::RandomBytes(40000, 1));
  std::string back = dir / "src", reference, out;
  std::replace(back.begin(), back.end(), '/', '\\');
  for (const std::string& arg : {dir / "src", dir / "src/", back, back + "\\", dir / "src\\"}) {
    WriteFile(dir / "p.pak", "an old pack");
    EXPECT_EQ(RunTool({"Tarnix", arg, back + "\\..\\p.pak"}, &out), 0) << out;
    if (reference.empty()) reference = ReadFile(dir / "p.pak");
    EXPECT_EQ(ReadFile(dir / "p.pak"), reference) << arg;
  }
  for (const char* line : {"Wrote ", "No file changes found"}) {
    RunTool({"Tarnix", back, back + "\\in.pak", "-uc"}, &out);
    EXPECT_NE(out.find(line), std::string::npos) << out;
  }
  EXPECT_EQ(test::Listing(dir.path()), (std::vector<std::string>{"p.pak", "src"}));
}
#endif

}  // namespace
}  // namespace tarnix
