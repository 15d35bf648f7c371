#include "app/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korrin {
namespace {

struct Parsed {
  bool ok = false;
  ArgumentMap args;
  std::string error;
};

Parsed parse(std::vector<std::string> words) {
  words.insert(words.begin(), "korrin");
  std::vector<const char*> argv;
  for (const auto& w : words) argv.push_back(w.c_str());
  Parsed p;
  p.ok = parseArguments(static_cast<int>(argv.size()), argv.data(), p.args, p.error);
  return p;
}

TEST(ParseArguments, AcceptsTheThreeForms) {
  const Parsed p = parse({"--kmax=30", "--dkmax", "4", "--mask_radius", "--out", "x"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.args,
            (ArgumentMap{{"kmax", "30"}, {"dkmax", "4"}, {"mask_radius", "true"}, {"out", "x"}}));
}

TEST(ParseArguments, ValueSplitsAtTheFirstEqualsSign) {
  const Parsed p = parse({"--a=b=c", "--dir==x"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.args.at("a"), "b=c");
  EXPECT_EQ(p.args.at("dir"), "=x");
}

TEST(ParseArguments, NextWordStartingWithDashIsNotAValue) {
  const Parsed p = parse({"--nprocs", "-2"});
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(p.error, "Unknown argument format: -2");
  // What was stored before the offending word stays.
  EXPECT_EQ(p.args, (ArgumentMap{{"nprocs", "true"}}));

  const Parsed q = parse({"--help", "--kmax=3"});
  ASSERT_TRUE(q.ok);
  EXPECT_EQ(q.args, (ArgumentMap{{"help", "true"}, {"kmax", "3"}}));
}

TEST(ParseArguments, EmptyNextWordIsConsumedAsValue) {
  const Parsed p = parse({"--out", "", "--kmax=1"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.args, (ArgumentMap{{"out", ""}, {"kmax", "1"}}));
}

TEST(ParseArguments, BareDoubleDashStoresTheEmptyKey) {
  Parsed p = parse({"--"});
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.args, (ArgumentMap{{"", "true"}}));
  p = parse({"--", "value", "--kmax=2"});
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.args, (ArgumentMap{{"", "value"}, {"kmax", "2"}}));
}

TEST(ParseArguments, RejectsWordsThatAreNotOptions) {
  const std::vector<std::string> bad{"", "-", "x", "-out=/tmp/x", "kmax=5", "-=5", " --kmax=1"};
  for (const auto& word : bad) {
    const Parsed p = parse({"--kmax=1", word, "--also=ignored"});
    EXPECT_FALSE(p.ok) << word;
    EXPECT_EQ(p.error, "Unknown argument format: " + word);
    // Stops at the first failure.
    EXPECT_EQ(p.args, (ArgumentMap{{"kmax", "1"}})) << word;
  }
}

TEST(ParseArguments, RejectsEmptyKeyOrEmptyValue) {
  for (const std::string word : {"--out=", "--=5", "--=", "--a=b="}) {
    const Parsed p = parse({word});
    if (word == "--a=b=") {
      // Only the first "=" counts: the value is "b=".
      ASSERT_TRUE(p.ok);
      EXPECT_EQ(p.args.at("a"), "b=");
      continue;
    }
    EXPECT_FALSE(p.ok) << word;
    EXPECT_EQ(p.error, "Malformed argument: " + word);
  }
}

TEST(ParseArguments, LastOccurrenceWinsAndMapIsEmptiedFirst) {
  ArgumentMap args{{"stale", "1"}};
  std::string error;
  const char* argv[] = {"korrin", "--kmax=5", "--kmax", "7"};
  ASSERT_TRUE(parseArguments(4, argv, args, error));
  EXPECT_EQ(args, (ArgumentMap{{"kmax", "7"}}));
}

TEST(ParseDecimal, ConvertsTheLeadingNumber) {
  EXPECT_EQ(parseDecimal("12"), 12);
  EXPECT_EQ(parseDecimal("12abc"), 12);
  EXPECT_EQ(parseDecimal(" 12"), 12);
  EXPECT_EQ(parseDecimal("\t\n\v\f\r 7 8"), 7);
  EXPECT_EQ(parseDecimal("+5"), 5);
  EXPECT_EQ(parseDecimal("-5"), -5);
  EXPECT_EQ(parseDecimal("007"), 7);
  EXPECT_EQ(parseDecimal("0x10"), 0);  // decimal only
  EXPECT_EQ(parseDecimal("1e3"), 1);
  EXPECT_EQ(parseDecimal("3.9"), 3);
}

TEST(ParseDecimal, RangeBoundaries) {
  EXPECT_EQ(parseDecimal("2147483647"), 2147483647);
  EXPECT_EQ(parseDecimal("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(parseDecimal("00000000000000000002147483647"), 2147483647);
  EXPECT_EQ(parseDecimal("2147483648"), std::nullopt);
  EXPECT_EQ(parseDecimal("-2147483649"), std::nullopt);
  EXPECT_EQ(parseDecimal("99999999999999999999999999999"), std::nullopt);
  EXPECT_EQ(parseDecimal("-99999999999999999999999999999"), std::nullopt);
}

TEST(ParseDecimal, NoDigitIsAnError) {
  for (const std::string text : {"", "abc", "true", "+", "-", " ", "- 5", "+-5", "--5", "x12"}) {
    EXPECT_EQ(parseDecimal(text), std::nullopt) << '"' << text << '"';
  }
}

TEST(ReadOptions, DefaultsWhenNothingIsGiven) {
  RunOptions o;
  std::string badKey;
  ASSERT_TRUE(readOptions({}, "/cwd", o, badKey));
  EXPECT_EQ(o.dir, "/cwd");
  EXPECT_EQ(o.kmax, 60);
  EXPECT_EQ(o.dkmax, 9);
  EXPECT_EQ(o.mask_radius, 0);
  EXPECT_EQ(o.mask_interval, 10);
  EXPECT_EQ(o.nprocs, -1);
  EXPECT_EQ(o.out, "");
  EXPECT_FALSE(o.help);
}

TEST(ReadOptions, KeysAreCaseSensitiveAndUnknownOnesIgnored) {
  RunOptions o;
  std::string badKey;
  ASSERT_TRUE(readOptions({{"KMAX", "5"}, {"Dir", "x"}, {"", "true"}, {"HELP", "true"}}, "/cwd", o,
                          badKey));
  EXPECT_EQ(o.kmax, 60);
  EXPECT_EQ(o.dir, "/cwd");
  EXPECT_FALSE(o.help);
}

TEST(ReadOptions, EveryFieldComesFromItsOwnKey) {
  RunOptions o;
  std::string badKey;
  ASSERT_TRUE(readOptions({{"dir", "d"},
                           {"kmax", "1"},
                           {"dkmax", "2"},
                           {"mask_radius", "3"},
                           {"mask_interval", "-4"},
                           {"nprocs", "5"},
                           {"out", "o"},
                           {"h", "no"}},
                          "/cwd", o, badKey));
  EXPECT_EQ(o.dir, "d");
  EXPECT_EQ(o.kmax, 1);
  EXPECT_EQ(o.dkmax, 2);
  EXPECT_EQ(o.mask_radius, 3);
  EXPECT_EQ(o.mask_interval, -4);  // raised to 0 later, by the run sequence
  EXPECT_EQ(o.nprocs, 5);
  EXPECT_EQ(o.out, "o");
  EXPECT_TRUE(o.help);
}

TEST(ReadOptions, FirstBadNumberInReadingOrderIsReported) {
  RunOptions o;
  std::string badKey;
  EXPECT_FALSE(readOptions({{"nprocs", "x"}, {"dkmax", "true"}, {"kmax", "1"}}, "", o, badKey));
  EXPECT_EQ(badKey, "dkmax");
  EXPECT_FALSE(readOptions({{"nprocs", "x"}, {"help", "true"}}, "", o, badKey));
  EXPECT_EQ(badKey, "nprocs");
  EXPECT_FALSE(o.help);  // the help flag is read after the numbers
}

TEST(StripQuotes, RemovesAtMostOneQuoteAtEachEnd) {
  EXPECT_EQ(stripQuotes("\"C:\\data\""), "C:\\data");
  EXPECT_EQ(stripQuotes("C:\\data\""), "C:\\data");
  EXPECT_EQ(stripQuotes("\"/data"), "/data");
  EXPECT_EQ(stripQuotes("\"\""), "");
  EXPECT_EQ(stripQuotes("\""), "\"");
  EXPECT_EQ(stripQuotes("\"\"\""), "\"");
  EXPECT_EQ(stripQuotes("\"\"\"\""), "\"\"");
  EXPECT_EQ(stripQuotes("a\"b"), "a\"b");
  EXPECT_EQ(stripQuotes(""), "");
  EXPECT_EQ(stripQuotes("x"), "x");
  EXPECT_EQ(stripQuotes("'x'"), "'x'");
}

}  // namespace
}  // namespace korrin
