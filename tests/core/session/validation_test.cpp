#include "quillbeam/session/validation.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace quillbeam {
namespace {

const std::string goalMessage = "Write down what you want to get done.";
const std::string anchorMessage = "Add the site you are studying on, like wikipedia.org.";
const std::string durationMessage = "Pick a duration between 5 minutes and 8 hours.";
const std::string milestoneMessage = "Add at least one milestone to check off.";

SessionDraft timerDraft() {
  SessionDraft d;
  d.goal = "Read chapter 4";
  d.anchors = {"en.wikipedia.org"};
  d.mode = SessionMode::timer;
  d.durationMin = 25;
  return d;
}

SessionDraft goalDraft() {
  SessionDraft d = timerDraft();
  d.mode = SessionMode::goal;
  d.durationMin.reset();
  d.milestones = {"Outline"};
  return d;
}

std::optional<std::string> withGoal(std::string goal) {
  SessionDraft d = timerDraft();
  d.goal = std::move(goal);
  return Validation::problem(d);
}

TEST(ValidationProblem, CompleteDraftsPass) {
  EXPECT_EQ(Validation::problem(timerDraft()), std::nullopt);
  EXPECT_EQ(Validation::problem(goalDraft()), std::nullopt);
}

TEST(ValidationProblem, GoalCountsUserPerceivedCharactersAfterTrimming) {
  EXPECT_EQ(withGoal(""), goalMessage);
  // The tab is no separator and no line break: it stays and counts.
  EXPECT_EQ(withGoal(" \n\tab\r\n \u2028"), std::nullopt);
  EXPECT_EQ(withGoal(" \n ab \r\n\u2028\u3000\u0085"), goalMessage);
  EXPECT_EQ(withGoal("\n\n\n\n"), goalMessage);
  EXPECT_EQ(withGoal("\u00A0ab\u2029"), goalMessage);  // no-break space is a separator
  EXPECT_EQ(withGoal("  abc \n"), std::nullopt);
  EXPECT_EQ(withGoal("a b"), std::nullopt);  // inner spaces count
  // "e" + combining acute is one character: two characters in all.
  EXPECT_EQ(withGoal("e\u0301x"), goalMessage);
  EXPECT_EQ(withGoal("e\u0301xy"), std::nullopt);
  // A family emoji built with zero-width joiners, and a flag, are one character each.
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";
  EXPECT_EQ(withGoal(family + "\U0001F1EB\U0001F1F7"), goalMessage);
  EXPECT_EQ(withGoal(family + "\U0001F1EB\U0001F1F7!"), std::nullopt);
  // CR LF is one character, but both are trimmed at the ends and count inside.
  EXPECT_EQ(withGoal("a\r\nb"), std::nullopt);
  EXPECT_EQ(withGoal("a\r\n"), goalMessage);
}

TEST(ValidationProblem, InvalidUtf8CountsAsReplacementCharacters) {
  EXPECT_EQ(withGoal("\xFF\xFE"), goalMessage);
  EXPECT_EQ(withGoal("\xFF\xFE\xFD"), std::nullopt);
  EXPECT_EQ(withGoal(std::string("a\0b", 3)), std::nullopt);
  EXPECT_EQ(withGoal("\xE2\x80"), goalMessage);  // truncated sequence
}

TEST(ValidationProblem, AnchorNeedsOneUsableSiteInEitherMode) {
  for (SessionDraft d : {timerDraft(), goalDraft()}) {
    d.anchors = {};
    EXPECT_EQ(Validation::problem(d), anchorMessage);
    d.anchors = {"", "  ", "localhost", "192.168.0.1"};
    EXPECT_EQ(Validation::problem(d), anchorMessage);
    d.anchors.push_back("https://Docs.Python.org/3/");
    EXPECT_EQ(Validation::problem(d), std::nullopt);
  }
}

TEST(ValidationProblem, TimerDurationBoundsAreInclusive) {
  struct Case {
    std::optional<int64_t> minutes;
    bool ok;
  };
  for (const Case& c :
       {Case{5, true}, Case{480, true}, Case{25, true}, Case{4, false}, Case{481, false},
        Case{0, false}, Case{-30, false}, Case{std::nullopt, false}, Case{INT64_MIN, false},
        Case{INT64_MAX, false}}) {
    SessionDraft d = timerDraft();
    d.durationMin = c.minutes;
    d.milestones = {};  // not looked at for a timer
    EXPECT_EQ(Validation::problem(d), c.ok ? std::nullopt : std::optional(durationMessage))
        << c.minutes.value_or(-1);
  }
}

TEST(ValidationProblem, GoalDraftIgnoresDuration) {
  SessionDraft d = goalDraft();
  d.durationMin = 1000;
  EXPECT_EQ(Validation::problem(d), std::nullopt);
  d.durationMin.reset();
  EXPECT_EQ(Validation::problem(d), std::nullopt);
}

TEST(ValidationProblem, MilestonesTrimSpacesButNotLineBreaks) {
  struct Case {
    std::vector<std::string> milestones;
    bool ok;
  };
  for (const Case& c : {Case{{}, false}, Case{{"", " ", "\t \t"}, false},
                        Case{{"\u00A0\u3000"}, false}, Case{{"x"}, true}, Case{{"  ", " ."}, true},
                        Case{{"\n"}, true}, Case{{"\u2028"}, true}, Case{{"\xFF"}, true}}) {
    SessionDraft d = goalDraft();
    d.milestones = c.milestones;
    EXPECT_EQ(Validation::problem(d), c.ok ? std::nullopt : std::optional(milestoneMessage))
        << ::testing::PrintToString(c.milestones);
  }
}

TEST(ValidationProblem, FirstFailingRuleWins) {
  SessionDraft d = goalDraft();
  d.goal = "ab";
  d.anchors = {};
  d.milestones = {};
  EXPECT_EQ(Validation::problem(d), goalMessage);
  d.goal = "abc";
  EXPECT_EQ(Validation::problem(d), anchorMessage);
  d.anchors = {"wikipedia.org"};
  EXPECT_EQ(Validation::problem(d), milestoneMessage);
}

struct DomainCase {
  const char* input;
  const char* expected;
};

class NormalizeDomain : public ::testing::TestWithParam<DomainCase> {};

TEST_P(NormalizeDomain, Normalises) {
  EXPECT_EQ(Validation::normalizeDomain(GetParam().input), GetParam().expected)
      << ::testing::PrintToString(std::string(GetParam().input));
}

INSTANTIATE_TEST_SUITE_P(
    Validation, NormalizeDomain,
    ::testing::Values(
        // Scheme, www., port, path, query and fragment are dropped; case folds.
        DomainCase{"https://www.Example.COM:8080/path/to?q=1#top", "example.com"},
        DomainCase{"  \n\u2003Example.org\r\n", "example.org"},
        DomainCase{"example.org?x", "example.org"}, DomainCase{"example.org#x", "example.org"},
        DomainCase{"user:pw@example.org", ""},
        DomainCase{"ftp://a.b.example.co.uk/", "a.b.example.co.uk"},
        DomainCase{"://example.org", "example.org"}, DomainCase{"a://b://example.org", ""},
        // www. only at the start, once, after lower-casing.
        DomainCase{"WWW.Wikipedia.org", "wikipedia.org"},
        DomainCase{"www.www.example.org", "www.example.org"},
        DomainCase{"mywww.example.org", "mywww.example.org"}, DomainCase{"www.example", ""},
        DomainCase{"www.", ""},
        // One trailing dot is dropped; two leave an empty label.
        DomainCase{"example.org.", "example.org"}, DomainCase{"example.org..", ""},
        DomainCase{".example.org", ""}, DomainCase{"example..org", ""},
        // Labels: letters, digits, hyphens anywhere; the last is 2+ letters.
        DomainCase{"-my-site-.example-.org", "-my-site-.example-.org"},
        DomainCase{"123.example.io", "123.example.io"}, DomainCase{"localhost", ""},
        DomainCase{"example.c", ""}, DomainCase{"example.c0m", ""}, DomainCase{"192.168.1.1", ""},
        DomainCase{"my_site.org", ""}, DomainCase{"me@example.org", ""},
        DomainCase{"caf\u00e9.fr", ""}, DomainCase{"example.\u00e9\u00e9", ""},
        DomainCase{"xn--caf-dma.fr", "xn--caf-dma.fr"}, DomainCase{"exa mple.org", ""},
        DomainCase{"example.org\t", ""},  // a tab is not trimmed here
        DomainCase{"", ""}, DomainCase{"   ", ""},
        // Default lower-casing: the Kelvin sign becomes ASCII k; dotted capital I becomes
        // i plus a combining dot, which is no host character.
        DomainCase{"\u212Aayak.com", "kayak.com"}, DomainCase{"WIKI.ORG", "wiki.org"},
        DomainCase{"\u0130stanbul.com", ""},
        // Invalid UTF-8 is a replacement character: unusable unless it is cut away.
        DomainCase{"exa\xFFmple.org", ""}, DomainCase{"example.org/\xFF", "example.org"},
        DomainCase{"example.or\xC3", ""}));

TEST(NormalizeDomainBytes, EmbeddedNulIsNoHostCharacter) {
  EXPECT_EQ(Validation::normalizeDomain(std::string("exam\0ple.org", 12)), "");
  EXPECT_EQ(Validation::normalizeDomain(std::string("example.org/\0", 13)), "example.org");
}

}  // namespace
}  // namespace quillbeam
