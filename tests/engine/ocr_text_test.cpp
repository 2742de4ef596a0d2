// Text-layer rule and back-end recommendation.
#include "engine/ocr/extractor_types.hpp"
#include "engine/ocr/text_layer.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace tovrane::ocr {
namespace {

std::string letters(std::size_t n) {
    return std::string(n, 'x');
}

TEST(TextLayer, ThresholdCountsPrintableCharactersOnly) {
    EXPECT_FALSE(is_real_text(letters(kMinTextLayerChars - 1)));
    EXPECT_TRUE(is_real_text(letters(kMinTextLayerChars)));
    // Spaces, line breaks, controls, zero-width and private-use characters do not count.
    const std::string padding = " \t\n\f\u00a0\u200b\ufeff\ue000\U000F0000";
    EXPECT_FALSE(is_real_text(letters(kMinTextLayerChars - 1) + padding));
    EXPECT_EQ(count_printable(padding + "ab c"), 3u);
}

TEST(TextLayer, FooterAndStampLinesAreBelowThreshold) {
    EXPECT_FALSE(is_real_text("Page 4 of 4"));
    EXPECT_FALSE(is_real_text("Scanned with CamScanner\n\nPage 2 of 10 P.T.O."));
}

TEST(TextLayer, DevanagariCountsAsText) {
    // 10 code points (letters and vowel signs) per repetition.
    std::string hindi;
    for (int i = 0; i < 4; ++i) {
        hindi += "\u0935\u093f\u091c\u094d\u091e\u093e\u0928 \u0917\u0923\u093f";
    }
    EXPECT_EQ(count_printable(hindi), 40u);
    EXPECT_TRUE(is_real_text(hindi));
}

TEST(TextLayer, ReplacementCharacterOrBrokenUtf8MeansOcr) {
    const std::string text = letters(200);
    EXPECT_FALSE(is_real_text(text + "\ufffd"));
    EXPECT_FALSE(is_real_text("\ufffd" + text));
    EXPECT_FALSE(is_real_text(text + "\xC3"));          // cut multi-byte sequence
    EXPECT_FALSE(is_real_text(text + "\xC0\xAF"));      // overlong encoding
    EXPECT_FALSE(is_real_text(text + "\xED\xA0\x80"));  // surrogate
    EXPECT_TRUE(is_real_text(text + "\u00e9\u20ac\U0001F600"));
}

TEST(ExtractorTypes, KnownTypes) {
    for (const auto type : {"local", "openai", "aws", "gemini", "mathpix"}) {
        EXPECT_TRUE(is_extractor_type(type)) << type;
    }
    EXPECT_FALSE(is_extractor_type("AWS"));
    EXPECT_FALSE(is_extractor_type(""));
    EXPECT_EQ(extractor_type_list(), "local, openai, aws, gemini, mathpix");
}

TEST(ExtractorTypes, MathAndScienceSubjects) {
    for (const auto subject : {"Mathematics", "maths", "Science", "PHYSICS", "Applied Mathematics-II",
                               "Biology (Theory)", "Computer Science", "गणित", "विज्ञान"}) {
        EXPECT_TRUE(is_math_or_science(subject)) << subject;
    }
    for (const auto subject : {"English", "History", "Social Science", "Political Science", "", "Hindi",
                               "Scientology", "Home Science"}) {
        EXPECT_EQ(is_math_or_science(subject), std::string(subject) == "Home Science") << subject;
    }
}

struct RecommendCase {
    const char* subject;
    const char* override_type;
    Credentials found;
    const char* expected;
};

void PrintTo(const RecommendCase& c, std::ostream* os) {
    *os << c.subject << " -> " << c.expected;
}

class Recommend : public testing::TestWithParam<RecommendCase> {};

TEST_P(Recommend, FollowsTheRule) {
    const auto& c = GetParam();
    EXPECT_EQ(recommend_extractor(c.subject, c.override_type, c.found), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Recommend,
    testing::Values(RecommendCase{"Science", "", {}, "local"},
                    RecommendCase{"Science", " Local\n", {true, true, true, true}, "local"},
                    RecommendCase{"Science", "textract", {false, false, false, true}, "openai"},
                    RecommendCase{"Mathematics", "", {true, true, true, true}, "mathpix"},
                    RecommendCase{"Mathematics", "", {false, true, false, false}, "local"},
                    RecommendCase{"Mathematics", "", {false, true, true, false}, "gemini"},
                    RecommendCase{"History", "", {true, true, true, true}, "aws"},
                    RecommendCase{"History", "", {true, false, false, true}, "openai"},
                    RecommendCase{"History", "", {true, false, true, true}, "gemini"},
                    RecommendCase{"", "", {false, false, false, true}, "openai"}));

}  // namespace
}  // namespace tovrane::ocr
