#include "engine/text/model_broker_texts.hpp"
#include "engine/text/slots.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace prompts = tovrane::text::model_broker;
using tovrane::text::fill_slots;

TEST(PromptFill, ReplacesEveryOccurrenceOfKnownNames) {
    EXPECT_EQ(fill_slots("{a} and {b}, then {a}", {{"a", "1"}, {"b", "2"}}), "1 and 2, then 1");
}

TEST(PromptFill, LeavesUnknownAndUnterminatedBracesAlone) {
    EXPECT_EQ(fill_slots(R"($$\frac{a}{b}$$ {x} {{x}} {)", {{"x", "X"}}), R"($$\frac{a}{b}$$ X {X} {)");
}

TEST(PromptFill, NeverRescansInsertedValues) {
    // Page texts and answers may contain placeholder-like text of their own.
    EXPECT_EQ(fill_slots("{a}|{b}", {{"a", "{b}"}, {"b", "{a}"}}), "{b}|{a}");
}

TEST(PromptFill, KeepsEmptyValuesAndMultibyteText) {
    EXPECT_EQ(fill_slots("“{q}”…", {{"q", ""}}), "“”…");
    EXPECT_EQ(fill_slots("", {{"q", "x"}}), "");
}

TEST(PromptTemplates, AnswersheetMathpixBracesSurviveFilling) {
    const std::string out = fill_slots(prompts::kAnswersheetUser, {{"question_lines", ""}, {"combined_text", ""}});
    EXPECT_NE(out.find(R"(`$$\frac{a}{b}$$`)"), std::string::npos);
    EXPECT_EQ(out.find("{question_lines}"), std::string::npos);
}
