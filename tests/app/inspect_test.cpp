#include "app/inspect.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "support/test_support.h"

namespace tarnix {
namespace {

using test::MakePack;

struct Result {
  int status;
  std::string out, errors;
};

Result Inspect(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"tarnix-inspect"};
  all.insert(all.end(), args.begin(), args.end());
  Result r;
  Console out(&r.out), errors(&r.errors);
  std::FILE* data = std::tmpfile();
  r.status = RunInspect(all, out, errors, data);
  std::rewind(data);
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, data)) > 0;) r.out.append(buf, n);
  std::fclose(data);
  return r;
}

TEST(Inspect, CommandLines) {
  test::TempDir dir;
  const std::string p = dir / "p.pak", q = dir / "q.pak";
  test::WriteFile(
      p,
      MakePack({{"d/a", "abc"}, {"d/sub\\b", "hello"}, {"d/gone", "x"}, {"d/e", ""}}, false).bytes);
  test::WriteFile(q, MakePack({{"d/a", "abc"}, {"d/sub\\b", "hellO"}, {"d/new", "y"}}, true).bytes);
  const std::string longName(255, 'n');  // the temporary name must not be longer
  test::WriteFile(dir / "l.pak",
                  MakePack({{"d/" + longName, "x"}, {"d/n%\xFF\n", ""}}, true).bytes);
  test::MadeEntry wrong{"d/w", "abc"};
  wrong.checksum = 1;
  test::WriteFile(dir / "w.pak", MakePack({wrong}, true).bytes);
  test::WriteFile(dir / "not.pak", "not a pack");
  test::WriteFile(dir / "e.pak", MakePack({}, true).bytes);
  const std::string usage = "Usage:\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out, errors; /* its start */
  } cases[] = {
      // clang-format off
      {{"--version"}, 0, "tarnix-inspect 1.00\n", ""},
      {{"list", p, p}, 2, "", "tarnix-inspect: wrong number of arguments for list\n" + usage},
      // Not diff, for all its two packs.
      {{"lst", p, p}, 2, "", "tarnix-inspect: unknown command 'lst'\n" + usage},
      {{"--frob"}, 2, "", "tarnix-inspect: unknown option '--frob'\n" + usage},
      // "-" is no option.
      {{"cat", "-"}, 2, "", "tarnix-inspect: wrong number of arguments for cat\n" + usage},
      {{"list", dir / "not.pak"}, 1, "", (dir / "not.pak") + ": Magic mismatch\n"},
      {{"extract", dir / "w.pak", dir / "w"}, 1,
       "Extracted 0 of 1 entries to " + (dir / "w") + "\n",
       (dir / "w.pak") + ": entry 0 (d/w): checksum 899311407, recorded 1\n"},
      {{"list", "--names", p}, 0, "d/a\nd/sub\\b\nd/gone\nd/e\n", ""},
      {{"test", p}, 0, p + ": OK, 4 entries\n", ""},
      {{"list", dir / "e.pak"}, 0, (dir / "e.pak") + ": version 1, compressed, 0 entries\n"
       "        size      stored  checksum  name\n0 entries, 0 bytes, 0 stored bytes, ratio -\n",
       ""},
      {{"cat", p, "d/sub/b"}, 0, "hello", ""},
      {{"cat", p, "d\\sub\\b"}, 0, "hello", ""},
      // A separator stands for no other byte.
      {{"cat", p, "d/subxb"}, 1, "", p + ": no entry named d/subxb\n"},
      {{"diff", p, q}, 1, "- d/e\n- d/gone\n~ d/sub\\b\n+ d/new\n", ""},
      {{"diff", p, p}, 0, "", ""},
      {{"diff", p, dir / "none.pak"}, 2, "", (dir / "none.pak") + ": No such file or directory\n"},
      {{"extract", dir / "l.pak", dir / "o/new", "d/" + longName}, 0,
       "Extracted 1 of 1 entries to " + (dir / "o/new") + "\n", ""},
      // Into folders that exist (made below), and with a name the pack lacks.
      {{"extract", dir / "l.pak", dir / "o/old", "d/" + longName, "d/x"}, 1,
       "Extracted 1 of 1 entries to " + (dir / "o/old") + "\n",
       (dir / "l.pak") + ": no entry named d/x\n"},
      {{"list", "--names", dir / "l.pak"}, 0, "d/" + longName + "\nd/n%\xFF\\n\n", ""},
      {{"list", p}, 0,
       p + ": version 1, uncompressed, 4 entries\n        size      stored  checksum  name\n"
       "           3           3  359A672F  d/a\n           5           5  0FCDAE64  d/sub\\b\n"
       "           1           1  A12106F1  d/gone\n           0           0  FFFFFFFF  d/e\n"
       "4 entries, 9 bytes, 9 stored bytes, ratio 100.0%\n", ""},
      // clang-format on
  };
  std::filesystem::create_directories(dir / "o/old/d");
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    Result r = Inspect(c.args);
    EXPECT_EQ(r.status, c.status) << r.errors;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.errors.substr(0, c.errors.size()), c.errors);
  }
  for (const char* help : {"-h", "--help"})
    EXPECT_EQ(Inspect({help}).out.rfind(usage, 0), 0u) << help;
  EXPECT_EQ(test::ReadFile(dir / ("o/new/d/" + longName)), "x");
  EXPECT_EQ(test::Listing(dir / "w/d"), std::vector<std::string>{});  // nothing left of the bad one
  // Names that are not UTF-8 (overlong forms, surrogates, beyond U+10FFFF, cut short), and "%",
  // come back percent-escaped in JSON.
  const std::pair<std::string, std::string> names[] = {
      {"a\\u\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "a\\u\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"\xE0\xA0\x80\xEE\xA0\x80\xF0\x90\x80\x80",
       "\xE0\xA0\x80\xEE\xA0\x80\xF0\x90\x80\x80"},  // the lowest 3- and 4-byte forms, and past the
                                                     // surrogates
      {"n%\xFF\n", "n%25%FF\n"},
      {"\x80\xC0\xAF\xC1\xBF\xF5\x80\x80\x80", "%80%C0%AF%C1%BF%F5%80%80%80"},
      {"\xE0\x80\xAF\xED\xA0\x80", "%E0%80%AF%ED%A0%80"},
      {"\xF0\x80\x80\x80\xF4\x90\x80\x80", "%F0%80%80%80%F4%90%80%80"},
      {"\xC3\xE2\x82", "%C3%E2%82"}};
  std::vector<test::MadeEntry> entries;
  for (const auto& name : names) entries.emplace_back(name.first, "x");
  const test::MadePack u = MakePack(entries, true);
  test::WriteFile(dir / "u.pak", u.bytes);
  nlohmann::json list = nlohmann::json::parse(Inspect({"list", "--json", dir / "u.pak"}).out);
  for (size_t i = 0; i < entries.size(); ++i)
    EXPECT_EQ(list["entries"][i]["name"], names[i].second) << i;
  EXPECT_EQ(list["compression"], "compressed");
  EXPECT_EQ(nlohmann::json::parse(Inspect({"list", "--json", p}).out)["entries"][3]["stored_size"],
            0);  // d/e
  EXPECT_EQ(list["entries"][0], nlohmann::json({{"name", names[0].second},
                                                {"size", 1},
                                                {"offset", u.data[0]},
                                                {"stored_size", u.data[1] - u.data[0]},
                                                {"checksum", 0xA12106F1u}}));
}

TEST(Inspect, TestAndExtractRefuseTheSamePacks) {
  test::TempDir dir;
  const std::string big(50000, 'z');
  test::MadePack bomb = MakePack({{"a", big}, {"b", big}}, true);
  bomb.bytes.replace(bomb.records[1] + 3, 4, test::Le32(static_cast<uint32_t>(bomb.data[0])));
  bomb.bytes.resize(bomb.data[1]);
  // Names each of extract's rules refuses or warns of, each holding one byte.
  std::vector<test::MadeEntry> odd;
  for (const std::string& name :
       {std::string("./a"), std::string("/b"), std::string("x\\..\\y"), std::string("c"),
        std::string("c\\d"), std::string("e"), std::string("e"), std::string("AZ"),
        std::string("az"), std::string("g\x1b[2J\\"), std::string("A:\\x"), std::string("1:x"),
        std::string("n\0ul", 4), std::string("f\\g"), std::string("f"),
        "d/" + std::string(256, 'L'), std::string("h\\i")})
    odd.emplace_back(name, std::string(1, "1234567890c1ngfLi"[odd.size()]));
  // The lines on standard error, in order, the summary, and the files extract leaves.
  const struct {
    std::string pack;
    std::vector<std::string> problems;
    std::string summary;
    std::vector<std::string> extracted;
  } cases[] = {
      {bomb.bytes,
       {"entry 0 (a): chunk 0: its length runs past the next entry's data"},
       "1 problem",
       {}},
      {MakePack(odd, false).bytes,
       {"warning: entry 0 (./a): stripped the leading \"./\"",
        "warning: entry 1 (/b): stripped the leading \"/\"",
        "entry 2 (x\\..\\y): refused: it holds a \"..\" component",
        "entry 4 (c\\d): refused: entry 3 (c) is a file where it needs a folder",
        "entry 6 (e): refused: the same path as entry 5 (e)",
        "warning: entry 8 (az): differs only in letter case from entry 7 (AZ): they collide on "
        "Windows and macOS",
        "entry 9 (g\\x1b[2J\\): refused: it holds an empty or \".\" component",
        "entry 10 (A:\\x): refused: it names a drive",
#ifdef _WIN32
        "entry 11 (1:x): refused: it holds a \":\", which Windows takes for a stream name",
#else
        "warning: entry 11 (1:x): it holds a \":\", which Windows takes for a stream name",
#endif
        "entry 12 (n\\x00ul): refused: its name holds a NUL byte",
        "entry 14 (f): refused: a file where entry 13 (f\\g) needs a folder",
        "entry 15 (d/" + std::string(256, 'L') +
            "): refused: a component of 256 bytes is longer than the 255 " +
#ifdef _WIN32
            "Windows allows"},
       "9 problems, 3 warnings",
#else
            "a file system allows"},
       "8 problems, 4 warnings",
#endif
       {"AZ", "a", "b", "c", "e", "f", "h"}},  // h's file in h, not in f, the folder before
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.summary);
    test::WriteFile(dir / "h.pak", c.pack);
    Result t = Inspect({"test", dir / "h.pak"});
    std::string expected;
    for (const std::string& line : c.problems) expected += (dir / "h.pak") + ": " + line + "\n";
    EXPECT_EQ(t.errors, expected);
    EXPECT_EQ(t.out, (dir / "h.pak") + ": " + c.summary + "\n");
    EXPECT_EQ(t.status, 1);
    Result x = Inspect({"extract", dir / "h.pak", dir / "out"});
    EXPECT_EQ(x.status, 1);
    std::vector<std::string> listing = std::filesystem::exists(dir / "out")
                                           ? test::Listing(dir / "out")
                                           : std::vector<std::string>{};
    listing.erase(std::remove(listing.begin(), listing.end(), "az"),
                  listing.end());  // one with AZ on Windows
    listing.erase(std::remove(listing.begin(), listing.end(), "1:x"), listing.end());
    EXPECT_EQ(listing, c.extracted);
    std::error_code ec;
    std::filesystem::remove_all(dir / "out", ec);
  }
}

}  // namespace
}  // namespace tarnix
