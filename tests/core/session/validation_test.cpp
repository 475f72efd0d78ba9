#include "quillbeam/session/validation.hpp"

#include <gtest/gtest.h>

namespace quillbeam {
namespace {

using Texts = std::initializer_list<std::string>;

const std::string goalMessage = "Write down what you want to get done.";
const std::string anchorMessage = "Add the site you are studying on, like wikipedia.org.";
const std::string durationMessage = "Pick a duration between 5 minutes and 8 hours.";
const std::string milestoneMessage = "Add at least one milestone to check off.";

// A timer draft that passes, changed by `change`.
template <class Change>
std::optional<std::string> problemWith(Change change) {
  SessionDraft d{
      "Read chapter 4", {"en.wikipedia.org"}, SessionMode::timer, Strictness::strict, 25, {}};
  change(d);
  return Validation::problem(d);
}

TEST(Validation, GoalCountsUserPerceivedCharactersAfterTrimming) {
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // one character
  // The tab is no separator; e + combining acute, a flag and CR LF are one character each.
  for (std::string goal :
       Texts{" \n\tab\r\n \u2028", "a b", "e\u0301xy", family + "\U0001F1EB\U0001F1F7!", "a\r\nb",
             "\xFF\xFE\xFD", std::string("a\0b", 3)}) {
    EXPECT_EQ(problemWith([&](SessionDraft& d) { d.goal = goal; }), std::nullopt) << goal;
  }
  for (std::string goal : Texts{"", " \n ab \r\n\u2028\u3000\u0085", "\u00A0ab\u2029", "e\u0301x",
                                family + "\U0001F1EB\U0001F1F7", "a\r\n", "\xFF\xFE"}) {
    EXPECT_EQ(problemWith([&](SessionDraft& d) { d.goal = goal; }), goalMessage) << goal;
  }
}

TEST(Validation, RulesInTurnAnchorDurationMilestones) {
  using D = SessionDraft&;
  EXPECT_EQ(problemWith([](D d) { d.anchors = {"", "localhost", "192.168.0.1"}; }), anchorMessage);
  EXPECT_EQ(problemWith([](D d) { d.anchors = {"", "https://Docs.Python.org/3/"}; }), std::nullopt);
  for (std::optional<int64_t> minutes :
       {std::optional<int64_t>(), {4}, {5}, {480}, {481}, {INT64_MIN}}) {
    const bool ok = minutes == 5 || minutes == 480;
    EXPECT_EQ(problemWith([&](D d) { d.durationMin = minutes; }),
              ok ? std::nullopt : std::optional(durationMessage))
        << minutes.value_or(0);
  }
  const auto goal = [](std::vector<std::string> milestones) {
    // The duration is not looked at.
    return problemWith(
        [&](D d) { d.mode = SessionMode::goal, d.durationMin = 1000, d.milestones = milestones; });
  };
  EXPECT_EQ(goal({}), milestoneMessage);
  EXPECT_EQ(goal({"", " ", "\t \t", "\u00A0\u3000"}), milestoneMessage);
  for (const char* ok : {" .", "\n", "\u2028", "\xFF"}) EXPECT_EQ(goal({ok}), std::nullopt) << ok;
  EXPECT_EQ(problemWith([](D d) { d.goal = "ab", d.anchors = {}; }), goalMessage);
  EXPECT_EQ(problemWith([](D d) { d.anchors = {}, d.durationMin = 1; }), anchorMessage);
}

TEST(Validation, NormalizeDomain) {
  // Scheme, www., port, path, query, fragment and one trailing dot go; case folds (the
  // Kelvin sign to k); labels hold letters, digits and hyphens, the last 2+ letters.
  const std::pair<std::string, std::string> hosts[] = {
      {"https://www.Example.COM:8080/path/to?q=1#top", "example.com"},
      {"  \n\u2003Example.org.\r\n", "example.org"},
      {"example.org?x", "example.org"},
      {"www.www.example.org", "www.example.org"},
      {"-my-site-.123.org", "-my-site-.123.org"},
      {"\u212Aayak.com", "kayak.com"},
      {std::string("example.org/\xFF\0", 14), "example.org"}};
  for (const auto& [input, host] : hosts) EXPECT_EQ(Validation::normalizeDomain(input), host);
  // Dotted capital I lower-cases to i and a combining dot; invalid UTF-8 is no host
  // character.
  for (std::string unusable :
       Texts{"user:pw@example.org", "a://b://example.org", "www.example", "example.org..",
             ".example.org", "example.c", "example.c0m", "my_site.org", "caf\u00e9.fr", "   ",
             "\u0130stanbul.com", "exa\xFFmple.org"}) {
    EXPECT_EQ(Validation::normalizeDomain(unusable), "") << ::testing::PrintToString(unusable);
  }
}

}  // namespace
}  // namespace quillbeam
