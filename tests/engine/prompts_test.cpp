#include "engine/text/prompts.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace prompts = tovrane::text::prompts;
using prompts::fill;

TEST(PromptFill, ReplacesEveryOccurrenceOfKnownNames) {
    EXPECT_EQ(fill("{a} and {b}, then {a}", {{"a", "1"}, {"b", "2"}}), "1 and 2, then 1");
}

TEST(PromptFill, LeavesUnknownAndUnterminatedBracesAlone) {
    EXPECT_EQ(fill(R"($$\frac{a}{b}$$ {x} {{x}} {)", {{"x", "X"}}), R"($$\frac{a}{b}$$ X {X} {)");
}

TEST(PromptFill, NeverRescansInsertedValues) {
    // Page texts and answers may contain placeholder-like text of their own.
    EXPECT_EQ(fill("{a}|{b}", {{"a", "{b}"}, {"b", "{a}"}}), "{b}|{a}");
}

TEST(PromptFill, KeepsEmptyValuesAndMultibyteText) {
    EXPECT_EQ(fill("“{q}”…", {{"q", ""}}), "“”…");
    EXPECT_EQ(fill("", {{"q", "x"}}), "");
}

TEST(PromptTemplates, AnswersheetMathpixBracesSurviveFilling) {
    const std::string out = fill(prompts::answersheet_user, {{"question_lines", ""}, {"combined_text", ""}});
    EXPECT_NE(out.find(R"(`$$\frac{a}{b}$$`)"), std::string::npos);
    EXPECT_EQ(out.find("{question_lines}"), std::string::npos);
}
