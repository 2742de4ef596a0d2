#include "engine/text/model_broker_texts.hpp"
#include "engine/text/slots.hpp"
#include "engine/text/rehearsal.hpp"
#include "engine/text/rehearsal_scan.hpp"
#include "engine/text/rehearsal_texts.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <set>

namespace rh = tovrane::text::rehearsal;
namespace scan = tovrane::text::rehearsal::scan;
namespace prompts = tovrane::text::model_broker;
using tovrane::text::fill_slots;

namespace {

std::vector<std::string> ids_of(const std::vector<rh::PaperQuestion>& questions) {
    std::vector<std::string> ids;
    for (const auto& q : questions) ids.push_back(q.q_id);
    return ids;
}

const rh::PaperQuestion& question(const std::vector<rh::PaperQuestion>& questions, std::string_view id) {
    for (const auto& q : questions)
        if (q.q_id == id) return q;
    throw std::runtime_error("no question " + std::string(id));
}

const rh::SheetAnswer& answer_to(const std::vector<rh::SheetAnswer>& answers, std::string_view id) {
    for (const auto& a : answers)
        if (a.q_id == id) return a;
    throw std::runtime_error("no answer to " + std::string(id));
}

// ---- Labels and marks -----------------------------------------------------------------------

struct LabelCase {
    std::string line;
    int number;
    bool prefixed;
    std::vector<std::string> parts;
    std::string rest;  // the line after the label
};

class LabelTest : public testing::TestWithParam<LabelCase> {};

TEST_P(LabelTest, ReadsNumberPartsAndText) {
    const LabelCase& c = GetParam();
    auto label = scan::read_label(c.line);
    ASSERT_TRUE(label.has_value()) << c.line;
    EXPECT_EQ(label->number, c.number);
    EXPECT_EQ(label->prefixed, c.prefixed);
    EXPECT_EQ(label->parts, c.parts);
    EXPECT_EQ(c.line.substr(label->end), c.rest);
}

INSTANTIATE_TEST_SUITE_P(
    Styles, LabelTest,
    testing::Values(LabelCase{"Q1. Which crop?", 1, true, {}, "Which crop?"},
                    LabelCase{"Q.5 Name it", 5, true, {}, "Name it"},
                    LabelCase{"Q 12) Define", 12, true, {}, "Define"},
                    LabelCase{"Question 3: State", 3, true, {}, "State"},
                    LabelCase{"Ql. OCR read the one as l", 1, true, {}, "OCR read the one as l"},
                    LabelCase{"Ans 4 False", 4, true, {}, "False"},
                    LabelCase{"प्रश्न 2. लिखिए", 2, true, {}, "लिखिए"},
                    LabelCase{"1. All questions", 1, false, {}, "All questions"},
                    LabelCase{"11) We take a bottle", 11, false, {}, "We take a bottle"},
                    LabelCase{"9 b) T = 4 s", 9, false, {"b"}, "T = 4 s"},
                    LabelCase{"5a) Tiny living things", 5, false, {"a"}, "Tiny living things"},
                    LabelCase{"Q10 (a) (i) Crops take", 10, true, {"a", "i"}, "Crops take"},
                    LabelCase{"Q9. (a) Describe how", 9, true, {"a"}, "Describe how"},
                    LabelCase{"(b) In pasteurisation", 0, false, {"b"}, "In pasteurisation"},
                    LabelCase{"(ii) Damaged seeds", 0, false, {"ii"}, "Damaged seeds"},
                    LabelCase{"c) Paddy", 0, false, {"c"}, "Paddy"},
                    LabelCase{"(A) Wheat (B) Gram", 0, false, {"a"}, "Wheat (B) Gram"}));

class NotALabelTest : public testing::TestWithParam<std::string> {};

TEST_P(NotALabelTest, IsText) { EXPECT_FALSE(scan::read_label(GetParam()).has_value()) << GetParam(); }

INSTANTIATE_TEST_SUITE_P(Text, NotALabelTest,
                         testing::Values("1.5 kg of rice", "10:30 in the morning", "2024-25 session",
                                         "40 oscillations", "a - i", "Answer the following",
                                         "(The end)", "Quick question", "2nd attempt", "Ans: T = 0.25 s",
                                         "Q5ab", "i.e. the same"));

struct MarksCase {
    std::string line;
    double value;
    std::string text;  // what stays of the line
};

class MarksTest : public testing::TestWithParam<MarksCase> {};

TEST_P(MarksTest, ReadsMarksAtLineEnd) {
    const MarksCase& c = GetParam();
    auto marks = scan::read_marks(c.line);
    ASSERT_TRUE(marks.has_value()) << c.line;
    EXPECT_DOUBLE_EQ(marks->value, c.value);
    std::string rest = c.line.substr(0, marks->begin);
    while (!rest.empty() && rest.back() == ' ') rest.pop_back();
    EXPECT_EQ(rest, c.text);
}

INSTANTIATE_TEST_SUITE_P(Styles, MarksTest,
                         testing::Values(MarksCase{"Name the capital. [1 mark]", 1, "Name the capital."},
                                         MarksCase{"Explain briefly. [2 marks]", 2, "Explain briefly."},
                                         MarksCase{"Column B. (4)", 4, "Column B."},
                                         MarksCase{"Define the following terms: 2×3=6", 6, "Define the following terms:"},
                                         MarksCase{"Solve any two 2x4", 8, "Solve any two"},
                                         MarksCase{"Describe it (5 Marks).", 5, "Describe it"},
                                         MarksCase{"Give reasons [2]", 2, "Give reasons"},
                                         MarksCase{"लिखिए। [2 अंक]", 2, "लिखिए।"},
                                         MarksCase{"OCR bracket |3 marks] '", 3, "OCR bracket"},
                                         MarksCase{"Write an essay 10 marks", 10, "Write an essay"},
                                         MarksCase{"[2 marks]", 2, ""},
                                         MarksCase{"Half a mark [0.5 mark]", 0.5, "Half a mark"}));

class NoMarksTest : public testing::TestWithParam<std::string> {};

TEST_P(NoMarksTest, IsText) { EXPECT_FALSE(scan::read_marks(GetParam()).has_value()) << GetParam(); }

INSTANTIATE_TEST_SUITE_P(Text, NoMarksTest,
                         testing::Values("Time taken = 10 s", "the value of f(4)", "born in 1947", "(iv)",
                                         "Column B.", "Roll No. 23", "[a lot]"));

TEST(RehearsalScan, CleansOcrBlanksAndStrays) {
    EXPECT_EQ(scan::clean_line("  |Q1.\u00a0\u00a0Which   crop?\t|  "), "Q1. Which crop?");
    EXPECT_EQ(scan::clean_line("• (a) Wheat ·"), "(a) Wheat");
    EXPECT_EQ(scan::clean_line("________ to the"), "________ to the");
}

TEST(RehearsalScan, JoinsWrappedLinesAndKeepsStructure) {
    EXPECT_EQ(scan::join_paragraphs({"What are microorganisms? Give two", "examples."}),
              "What are microorganisms? Give two examples.");
    EXPECT_EQ(scan::join_paragraphs({"Define the following terms:", "(i) Crop rotation", "(ii) Friction"}),
              "Define the following terms:\n(i) Crop rotation\n(ii) Friction");
    EXPECT_EQ(scan::join_paragraphs({"Number of oscillations = 40", "Time taken = 10 s"}),
              "Number of oscillations = 40\nTime taken = 10 s");
    EXPECT_EQ(scan::join_paragraphs({"Irrigation is the supply of water to crops", "at regular intervals.",
                                     "Modern method: drip irrigation and sprinkler"}),
              "Irrigation is the supply of water to crops at regular intervals.\n"
              "Modern method: drip irrigation and sprinkler");
}

// ---- Question paper -------------------------------------------------------------------------

// A two-page paper with the features real papers have: a header, numbered general
// instructions, sections, marks in several styles, sub-parts on three levels, options, a
// table across the page break, a running header and footers.
const rh::Pages kPaper = {
    {1,
     "ST. MARY'S SCHOOL, PUNE\n"
     "Annual Examination 2024-25\n"
     "Subject: Science Class: VII\n"
     "Time: 2 Hours Maximum Marks: 30\n"
     "General Instructions:\n"
     "1. All questions are compulsory.\n"
     "2. Section A has questions of 1 mark each.\n"
     "3. Write neatly.\n"
     "SECTION A (1 mark each)\n"
     "Q1. Which of these is a conductor?\n"
     "(a) Wood (b) Copper (c) Glass (d) Rubber\n"
     "Q2. Name the gas that plants take in\n"
     "during photosynthesis.\n"
     "SECTION B\n"
     "Q3. Answer the following about magnets.\n"
     "(a) What are the poles of a magnet? [2 marks]\n"
     "(b) Why does a freely hanging magnet point north?\n"
     "Explain. [2 marks]\n"
     "Q4. Match the animals with their\n"
     "homes. (4)\n"
     "Column A Column B\n"
     "(a) Bee (i) Den\n"
     "(b) Lion (ii) Hive\n"
     "P.T.O.\n"
     "Page 1 of 2\n"},
    {2,
     "Science | Class VII | Annual Examination 2024-25\n"
     "(c) Bird (iii) Kennel\n"
     "(d) Dog (iv) Nest\n"
     "Q5. Define: 2×3=6\n"
     "(i) Force\n"
     "(ii) Pressure\n"
     "(iii) Friction\n"
     "Q6. (a) How is sound produced? Name one\n"
     "instrument. [3 marks]\n"
     "(b) Find the speed of sound if it covers\n"
     "660 m in 2 s. [3 marks]\n"
     "Q7. Soil:\n"
     "(a) Give reasons:\n"
     "(i) Clay holds water. [2 marks]\n"
     "(ii) Sand drains fast. [1 mark]\n"
     "(b) What is humus? [3 marks]\n"
     "*** End of Question Paper ***\n"
     "Page 2 of 2\n"},
};

TEST(RehearsalPaper, FindsEveryQuestionWithItsMarks) {
    auto questions = rh::parse_question_paper(kPaper, "English");
    EXPECT_EQ(ids_of(questions), (std::vector<std::string>{"Q1", "Q2", "Q3(a)", "Q3(b)", "Q4", "Q5", "Q6(a)",
                                                           "Q6(b)", "Q7(a)(i)", "Q7(a)(ii)", "Q7(b)"}));
    std::vector<double> marks;
    for (const auto& q : questions) marks.push_back(q.max_marks);
    EXPECT_EQ(marks, (std::vector<double>{1, 1, 2, 2, 4, 6, 3, 3, 2, 1, 3}));
    EXPECT_DOUBLE_EQ(std::accumulate(marks.begin(), marks.end(), 0.0), 28.0);
}

TEST(RehearsalPaper, QuestionTextsLoseNumbersMarksAndFurniture) {
    auto questions = rh::parse_question_paper(kPaper, "English");
    EXPECT_EQ(question(questions, "Q1").text, "Which of these is a conductor?\n(a) Wood (b) Copper (c) Glass (d) Rubber");
    EXPECT_EQ(question(questions, "Q2").text, "Name the gas that plants take in during photosynthesis.");
    EXPECT_EQ(question(questions, "Q3(b)").text, "Why does a freely hanging magnet point north? Explain.");
    // The table continues after the running header of page 2; the footers are gone.
    EXPECT_EQ(question(questions, "Q4").text,
              "Match the animals with their homes.\nColumn A Column B\n(a) Bee (i) Den\n(b) Lion (ii) Hive\n"
              "(c) Bird (iii) Kennel\n(d) Dog (iv) Nest");
    EXPECT_EQ(question(questions, "Q5").text, "Define:\n(i) Force\n(ii) Pressure\n(iii) Friction");
    EXPECT_EQ(question(questions, "Q6(a)").text, "How is sound produced? Name one instrument.");
    EXPECT_EQ(question(questions, "Q7(a)(ii)").text, "Sand drains fast.");
    for (const auto& q : questions) {
        EXPECT_EQ(q.text.find("Page"), std::string::npos) << q.q_id;
        EXPECT_EQ(q.text.find("P.T.O"), std::string::npos) << q.q_id;
        EXPECT_EQ(q.text.find("compulsory"), std::string::npos) << q.q_id;
    }
}

// The same small paper in the numbering styles papers use.
class NumberingTest : public testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(NumberingTest, GivesTheSameQuestions) {
    auto [one, two] = GetParam();
    rh::Pages pages = {{1, "Class Test\n" + one + " State Newton's first law. [2 marks]\n" + two +
                               " Answer these:\n(a) What is mass? (1)\n(b) What is weight? (1)\n"}};
    auto questions = rh::parse_question_paper(pages, "English");
    ASSERT_EQ(ids_of(questions), (std::vector<std::string>{"Q1", "Q2(a)", "Q2(b)"}));
    EXPECT_EQ(questions[0].text, "State Newton's first law.");
    EXPECT_DOUBLE_EQ(questions[0].max_marks, 2.0);
    EXPECT_EQ(questions[2].text, "What is weight?");
}

INSTANTIATE_TEST_SUITE_P(Styles, NumberingTest,
                         testing::Values(std::pair{"Q1.", "Q2."}, std::pair{"Q.1", "Q.2"}, std::pair{"Q1)", "Q2)"},
                                         std::pair{"1.", "2."}, std::pair{"1)", "2)"},
                                         std::pair{"Question 1.", "Question 2."}));

TEST(RehearsalPaper, ToleratesOcrNoise) {
    rh::Pages pages = {{1,
                        "  Unit   Test  \n"
                        "Ql.  Which   planet is   nearest to the Sun? |\n"
                        "[1 mark]\n"
                        "|Q2. Explain why we see the Moon's phases. [3 marks] .\n"
                        "Q3.Name two gases in air.\u00a0(2)\n"}};
    auto questions = rh::parse_question_paper(pages, "English");
    ASSERT_EQ(ids_of(questions), (std::vector<std::string>{"Q1", "Q2", "Q3"}));
    EXPECT_EQ(questions[0].text, "Which planet is nearest to the Sun?");
    EXPECT_DOUBLE_EQ(questions[0].max_marks, 1.0);
    EXPECT_DOUBLE_EQ(questions[1].max_marks, 3.0);
    EXPECT_EQ(questions[2].text, "Name two gases in air.");
    EXPECT_DOUBLE_EQ(questions[2].max_marks, 2.0);
}

TEST(RehearsalPaper, UnnumberedInstructionsDoNotBecomeQuestions) {
    rh::Pages pages = {{1,
                        "1. All questions are compulsory.\n2. Use blue ink.\n"
                        "1. What is an atom? [1 mark]\n2. What is a molecule? [1 mark]\n"}};
    auto questions = rh::parse_question_paper(pages, "English");
    ASSERT_EQ(ids_of(questions), (std::vector<std::string>{"Q1", "Q2"}));
    EXPECT_EQ(questions[0].text, "What is an atom?");
}

TEST(RehearsalPaper, SectionDirectionsGiveTheMarksOfEachQuestion) {
    auto questions = rh::parse_question_paper(
        {{1, "SECTION A\nQuestions 1 to 2 carry 1 mark each.\nQ1. Name a gas.\nQ2. Name a metal.\n"
             "SECTION B\nShort answer questions\nQ3. Explain rusting."}},
        "English");
    ASSERT_EQ(ids_of(questions), (std::vector<std::string>{"Q1", "Q2", "Q3"}));
    EXPECT_DOUBLE_EQ(questions[1].max_marks, 1.0);
    EXPECT_EQ(questions[1].text, "Name a metal.");  // the next section's heading and directions are no text
    EXPECT_DOUBLE_EQ(questions[2].max_marks, 0.0);
}

TEST(RehearsalPaper, MarksWithoutAnySourceAreZero) {
    auto questions = rh::parse_question_paper({{1, "Q1. Name a metal.\nQ2. Name a gas."}}, "English");
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_DOUBLE_EQ(questions[0].max_marks, 0.0);
}

TEST(RehearsalPaper, MarksOnTheLastItemBelongToTheQuestion) {
    auto questions = rh::parse_question_paper(
        {{1, "Q1. Define:\n(i) Mass\n(ii) Weight\n(iii) Volume [3 marks]\nQ2. Name a gas. [1 mark]"}}, "English");
    ASSERT_EQ(ids_of(questions), (std::vector<std::string>{"Q1", "Q2"}));
    EXPECT_DOUBLE_EQ(questions[0].max_marks, 3.0);
    EXPECT_EQ(questions[0].text, "Define:\n(i) Mass\n(ii) Weight\n(iii) Volume");
}

struct BilingualCase {
    std::string language;
    std::string first_text;
};

class BilingualTest : public testing::TestWithParam<BilingualCase> {};

TEST_P(BilingualTest, KeepsThePaperLanguage) {
    rh::Pages pages = {{1,
                        "Q1. भारत की राजधानी का नाम लिखिए। [1 mark]\n"
                        "Write the name of the capital of India.\n"
                        "Q2. गंगा नदी कहाँ से निकलती है? [2 marks]\n"
                        "Where does the river Ganga rise?\n"}};
    auto questions = rh::parse_question_paper(pages, GetParam().language);
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(questions[0].text, GetParam().first_text);
    EXPECT_DOUBLE_EQ(questions[1].max_marks, 2.0);
}

INSTANTIATE_TEST_SUITE_P(Languages, BilingualTest,
                         testing::Values(BilingualCase{"Hindi", "भारत की राजधानी का नाम लिखिए।"},
                                         BilingualCase{"English", "Write the name of the capital of India."},
                                         BilingualCase{"Urdu", "भारत की राजधानी का नाम लिखिए।\nWrite the name of the "
                                                               "capital of India."}));

// ---- Answersheet ----------------------------------------------------------------------------

const std::vector<std::string> kIds = {"Q1", "Q2", "Q3(a)", "Q3(b)", "Q4", "Q5", "Q6(a)",
                                       "Q6(b)", "Q7(a)(i)", "Q7(a)(ii)", "Q7(b)"};

TEST(RehearsalSheet, SplitsAGoodSheetAtItsMarginLabels) {
    rh::Pages pages = {
        {1,
         "Page No. 1\nANSWER BOOKLET\nName: Asha Rao Roll No.: 7\nClass: VII Subject: Science\n"
         "Q1 (b) Copper\nQ2 Carbon dioxide\n"
         "Q3 (a) A magnet has a north pole and\na south pole.\n(b) It lines up with the Earth's\nmagnetic field.\n"},
        {2,
         "Page No. 2\nQ4 (a) Bee - (ii) Hive\n(b) Lion - (i) Den\n"
         "Q6 (a) Sound is produced by vibration.\nExample: a guitar.\n(b) Speed = distance / time\n"},
        {3, "Page No. 3\n= 660 / 2 = 330 m/s\nQ7 (a) (i) Clay has fine particles.\n(ii) Sand has big gaps.\n"
            "(b) Humus is decayed matter.\nQ5 (i) Force is a push or pull.\n(ii) Pressure is force per area.\n"},
    };
    auto answers = rh::split_answers(pages, kIds);
    std::vector<std::string> ids;
    for (const auto& a : answers) ids.push_back(a.q_id);
    EXPECT_EQ(ids, (std::vector<std::string>{"Q1", "Q2", "Q3(a)", "Q3(b)", "Q4", "Q6(a)", "Q6(b)", "Q7(a)(i)",
                                             "Q7(a)(ii)", "Q7(b)", "Q5"}));
    EXPECT_EQ(answer_to(answers, "Q1").text, "(b) Copper");  // a part the question lacks is text
    EXPECT_EQ(answer_to(answers, "Q3(a)").text, "A magnet has a north pole and a south pole.");
    EXPECT_EQ(answer_to(answers, "Q4").text, "(a) Bee - (ii) Hive\n(b) Lion - (i) Den");
    EXPECT_EQ(answer_to(answers, "Q6(b)").text, "Speed = distance / time\n= 660 / 2 = 330 m/s");
    EXPECT_EQ(answer_to(answers, "Q6(b)").pages, (std::vector<int>{2, 3}));
    EXPECT_EQ(answer_to(answers, "Q5").text, "(i) Force is a push or pull.\n(ii) Pressure is force per area.");
    for (const auto& a : answers) EXPECT_EQ(a.text.find("Page No"), std::string::npos) << a.q_id;
}

TEST(RehearsalSheet, SplitsAPoorSheetWithBareNumbers) {
    rh::Pages pages = {
        {1, "Name: Ravi\n1) (c) Glass\n2) oxygen\n3) poles are ends\n6 b) 660/2 = 330\n"},
        {2, "6 a) by shaking\n7 b) Humus is soil\n12) extra answer\n"},
    };
    auto answers = rh::split_answers(pages, kIds);
    std::vector<std::string> ids;
    for (const auto& a : answers) ids.push_back(a.q_id);
    // "3)" names only the main number: the first unanswered part; "12)" is text of Q7(b).
    EXPECT_EQ(ids, (std::vector<std::string>{"Q1", "Q2", "Q3(a)", "Q6(b)", "Q6(a)", "Q7(b)"}));
    EXPECT_EQ(answer_to(answers, "Q6(a)").pages, (std::vector<int>{2}));
    EXPECT_EQ(answer_to(answers, "Q7(b)").text, "Humus is soil\n12) extra answer");
}

TEST(RehearsalSheet, NumberedPointsInsideAnAnswerStayText) {
    rh::Pages pages = {{1, "Q1 copper\nQ2 oxygen\nQ4 1. Bee lives in a hive.\n2. Lion lives in a den.\n"}};
    auto answers = rh::split_answers(pages, kIds);
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(answers[2].text, "1. Bee lives in a hive.\n2. Lion lives in a den.");
}

TEST(RehearsalSheet, UnknownLabelsAreKeptAsUnknown) {
    auto answers = rh::split_answers({{1, "Q1 copper\nQ12 a guess\nmore of it\n"}}, kIds);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[1].q_id, rh::kUnknownId);
    EXPECT_EQ(answers[1].text, "a guess\nmore of it");
}

TEST(RehearsalSheet, AQuestionLabelledTwiceGetsOneAnswer) {
    auto answers = rh::split_answers({{1, "Q2 oxygen\nQ1 copper\n"}, {2, "Q2 and water\n"}}, kIds);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].q_id, "Q2");
    EXPECT_EQ(answers[0].pages, (std::vector<int>{1, 2}));
}

TEST(RehearsalSheet, PartsOfTheCurrentQuestionInAnyOrder) {
    // Labelled "Ans n": parts written (b) before (a), the second part named by number and letter.
    auto answers = rh::split_answers({{1, "Ans 3(b) It points north.\n(a) North and south.\nAns 6(b) 330 m/s\n"
                                          "6(a) By vibration.\n"}},
                                     kIds);
    std::vector<std::string> got;
    for (const auto& a : answers) got.push_back(a.q_id + "=" + a.text);
    EXPECT_EQ(got, (std::vector<std::string>{"Q3(b)=It points north.", "Q3(a)=North and south.", "Q6(b)=330 m/s",
                                             "Q6(a)=By vibration."}));
}

class SheetLabelTest : public testing::TestWithParam<std::string> {};

TEST_P(SheetLabelTest, MatchesThePaperIdentifier) {
    auto answers = rh::split_answers({{1, "Roll No. 4\n" + GetParam() + " Copper conducts"}}, kIds);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].q_id, "Q1");
    EXPECT_EQ(answers[0].text, "Copper conducts");
    EXPECT_EQ(answers[0].pages, (std::vector<int>{1}));
}

INSTANTIATE_TEST_SUITE_P(Styles, SheetLabelTest,
                         testing::Values("Q1", "Q1.", "Q.1", "1)", "1.", "Ans 1", "Ans. 1)", "Question 1:", "Ql"));

TEST(RehearsalSheet, ReadsIdentifiersWrittenOtherwise) {
    std::vector<std::string> ids = {"1a", "1b", "2(i)", "2(ii)"};
    auto answers = rh::split_answers({{1, "1 a) one\n(b) two\n2 (ii) four\n(i) three"}}, ids);
    std::vector<std::string> got;
    for (const auto& a : answers) got.push_back(a.q_id + "=" + a.text);
    EXPECT_EQ(got, (std::vector<std::string>{"1a=one", "1b=two", "2(ii)=four", "2(i)=three"}));
}

bool valid_utf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        auto b = static_cast<unsigned char>(s[i]);
        int extra = b < 0x80 ? 0 : (b >> 5) == 0x6 ? 1 : (b >> 4) == 0xE ? 2 : (b >> 3) == 0x1E ? 3 : -1;
        if (extra < 0 || i + extra >= s.size() + (extra == 0)) return false;
        for (int k = 1; k <= extra; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += extra + 1;
    }
    return true;
}

// OCR garbage of every kind: the rules never fail, answer only with the paper's identifiers
// or "Unknown", name only pages that exist, and write valid UTF-8.
TEST(RehearsalRobustness, GarbageInSaneOut) {
    const std::vector<std::string> pieces = {"Q", "Q1", "Q3.", "(a)", "b)", "(ii)", "9 b)", "12)", "[2 marks]", "(4)",
                                             "2×3=6", "Page 2 of 3", "P.T.O.", "SECTION B", "Instructions:", "|",
                                             "•", "\n", "\n\n", " ", "  ", "word", "answer", "भारत", "\xff",
                                             "\xed\xa0\x80", "\t", "=", "1.", "Ans", "(", ")", "---"};
    std::uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    for (int round = 0; round < 300; ++round) {
        rh::Pages pages;
        int page_count = 1 + static_cast<int>(next() % 3);
        for (int p = 1; p <= page_count; ++p) {
            std::string text;
            int piece_count = static_cast<int>(next() % 60);
            for (int k = 0; k < piece_count; ++k) text += pieces[next() % pieces.size()] + (next() % 3 ? " " : "");
            pages.emplace_back(p, text);
        }
        for (const auto& q : rh::parse_question_paper(pages, "English")) {
            EXPECT_TRUE(valid_utf8(q.text));
            EXPECT_GE(q.max_marks, 0.0);
        }
        for (const auto& a : rh::split_answers(pages, kIds)) {
            EXPECT_TRUE(a.q_id == rh::kUnknownId || std::count(kIds.begin(), kIds.end(), a.q_id)) << a.q_id;
            EXPECT_FALSE(a.pages.empty());
            for (int page : a.pages) EXPECT_TRUE(page >= 1 && page <= static_cast<int>(pages.size()));
        }
    }
}

// ---- Rubric, reference answer, evaluation ---------------------------------------------------

TEST(RehearsalRubric, OneCriterionPerMark) {
    auto rubric = rh::make_rubric("Describe how sound is produced. Name the vibrating part of a drum.", 3.0);
    ASSERT_EQ(rubric.size(), 3u);
    EXPECT_EQ(rubric[0].statement, "Covers: Describe how sound is produced.");
    EXPECT_EQ(rubric[1].statement, "Covers: Name the vibrating part of a drum.");
    EXPECT_EQ(rubric[2].statement, rh::kExtraCriteria[0]);
    for (const auto& c : rubric) EXPECT_DOUBLE_EQ(c.mark, 1.0);
}

TEST(RehearsalRubric, MarksAlwaysSumToTheMaximum) {
    for (double max : {0.5, 1.0, 2.5, 6.0, 20.0, 45.0}) {
        auto rubric = rh::make_rubric("Explain photosynthesis.", max);
        double sum = 0;
        std::set<std::string> statements;
        for (const auto& c : rubric) {
            sum += c.mark;
            statements.insert(c.statement);
        }
        EXPECT_NEAR(sum, max, 1e-9) << max;
        EXPECT_LE(rubric.size(), static_cast<std::size_t>(rh::kMaxCriteria));
        EXPECT_EQ(statements.size(), rubric.size()) << "statements repeat for " << max;
    }
    EXPECT_TRUE(rh::make_rubric("Anything", 0.0).empty());
    EXPECT_EQ(rh::make_rubric("Anything", 2.5).back().mark, 0.5);
}

TEST(RehearsalRubric, MorePointsThanMarksShareTheLastCriterion) {
    auto rubric = rh::make_rubric("Define mass.\nDefine weight.\nDefine volume.", 2.0);
    ASSERT_EQ(rubric.size(), 2u);
    EXPECT_EQ(rubric[1].statement, "Covers: Define weight. Define volume.");
}

TEST(RehearsalEvaluation, MarksFollowTheShareOfKeyWords) {
    auto rubric = rh::make_rubric("Describe how sound is produced by a vibrating object.", 4.0);
    std::string reference = rh::make_reference_answer("Describe how sound is produced by a vibrating object.", rubric);
    ASSERT_EQ(reference.rfind(rh::kReferencePrefix, 0), 0u);
    EXPECT_NE(reference.find("vibrating"), std::string::npos);

    auto full = rh::evaluate("A vibrating object produces sound; I describe it here.", reference, rubric);
    EXPECT_EQ(full.fulfilled, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_DOUBLE_EQ(full.awarded_marks, 4.0);
    EXPECT_NE(full.feedback.find(rh::kFeedbackAllMet), std::string::npos);

    auto none = rh::evaluate("I do not know.", reference, rubric);
    EXPECT_TRUE(none.fulfilled.empty());
    EXPECT_DOUBLE_EQ(none.awarded_marks, 0.0);
    EXPECT_NE(none.feedback.find("Rehearsal score"), std::string::npos);

    // Key words: describ, sound, produc, vibrat, object; three of five of four criteria
    // rounds to 2.4 -> 2.
    auto some = rh::evaluate("SOUND is Produced by vibration... vibrating!", reference, rubric);
    EXPECT_EQ(some.fulfilled, (std::vector<int>{0, 1}));
    EXPECT_NE(some.feedback.find("3 of the 5 key words"), std::string::npos);
}

TEST(RehearsalEvaluation, ATeachersReferenceAnswerCountsInFull) {
    std::vector<rh::Criterion> rubric = {{"Names the process", 1.0}};
    EXPECT_DOUBLE_EQ(rh::evaluate("Transpiration.", "Transpiration", rubric).awarded_marks, 1.0);
    EXPECT_DOUBLE_EQ(rh::evaluate("Photosynthesis", "Transpiration", rubric).awarded_marks, 0.0);
    EXPECT_TRUE(rh::evaluate("anything", "Transpiration", {}).fulfilled.empty());
}

// ---- Prompts read back ----------------------------------------------------------------------

std::string combined(const rh::Pages& pages) {
    std::string out;
    for (const auto& [number, text] : pages) {
        std::string key = std::to_string(number);
        out += fill_slots(prompts::kPageBlock, {{"page_key", key}, {"page_text", text}});
    }
    return out;
}

std::string question_lines(const std::vector<std::pair<std::string, std::string>>& questions) {
    std::string out;
    for (std::size_t k = 0; k < questions.size(); ++k) {
        if (k) out += "\n";
        out += fill_slots(prompts::kQuestionLine, {{"q_id", questions[k].first}, {"text", questions[k].second}});
    }
    return out;
}

TEST(RehearsalPrompts, UnfillInvertsFill) {
    std::string tricky = "a {subject} in braces\nSubject: not the label\n\n";
    std::string text = fill_slots(prompts::kQuestionPaperUser,
                                     {{"subject", "Science"}, {"language", "English"}, {"combined_text", tricky}});
    auto values = rh::unfill(prompts::kQuestionPaperUser, text, {"subject", "language", "combined_text"});
    ASSERT_TRUE(values.has_value());
    EXPECT_EQ(*values, (std::vector<std::string>{"Science", "English", tricky}));
    EXPECT_FALSE(rh::unfill(prompts::kQuestionPaperUser, text + "x", {"subject", "language", "combined_text"}));
    EXPECT_FALSE(rh::unfill(prompts::kRubricUser, text, {"question", "max_marks"}));
}

TEST(RehearsalPrompts, ReadsPagesInOrderIncludingEmptyOnes) {
    rh::Pages pages = {{1, "first\nline"}, {2, ""}, {10, "tenth"}};
    EXPECT_EQ(rh::read_pages(combined(pages)), pages);
    EXPECT_TRUE(rh::read_pages("").empty());
}

TEST(RehearsalPrompts, ReadsQuestionIdsOfMultiLineQuestions) {
    std::string lines = question_lines({{"Q1", "Which one?\n(a) A (b) B\n- not: an id"}, {"Q5(a)", "Why?"}, {"Q6", ""}});
    EXPECT_EQ(rh::read_question_ids(lines), (std::vector<std::string>{"Q1", "Q5(a)", "Q6"}));
}

TEST(RehearsalPrompts, ReadsCriteriaBackWithTheirMarks) {
    std::string plain = "- States the law (2.0 marks)\n- Gives an example\nfrom life (0.5 marks)";
    auto criteria = rh::read_criteria(plain, false);
    ASSERT_EQ(criteria.size(), 2u);
    EXPECT_EQ(criteria[1].statement, "Gives an example\nfrom life");
    EXPECT_DOUBLE_EQ(criteria[1].mark, 0.5);
    auto indexed = rh::read_criteria("0: Names it (1.0 marks)\n1: Says why (inf marks)", true);
    ASSERT_EQ(indexed.size(), 2u);
    EXPECT_DOUBLE_EQ(indexed[1].mark, 0.0);
    EXPECT_TRUE(rh::read_criteria("", true).empty());
}

// ---- Whole requests -------------------------------------------------------------------------

std::vector<rh::Message> request(std::string user) { return {{"system", "You are an expert."}, {"user", std::move(user)}}; }

TEST(RehearsalAnswer, FillsEachResponseSchemaExactly) {
    auto paper = rh::answer("QuestionPaperResponse",
                            request(fill_slots(prompts::kQuestionPaperUser,
                                                  {{"subject", "Science"},
                                                   {"language", "English"},
                                                   {"combined_text", combined({{1, "Q1. Say \"hi\". [2 marks]"}})}})));
    EXPECT_EQ(paper, R"({"questions":[{"q_id":"Q1","question_text":"Say \"hi\".","max_marks":2}]})");

    auto rubric = rh::answer("RubricResponse",
                             request(fill_slots(prompts::kRubricUser, {{"question", "Say hi."},
                                                                          {"reference_answer_text", "Not provided"},
                                                                          {"class_level", "Class 6"},
                                                                          {"subject", "English"},
                                                                          {"max_marks", "1.0"}})));
    EXPECT_EQ(rubric, R"({"criteria":[{"statement":"Covers: Say hi.","mark":1}]})");

    auto reference = rh::answer("ReferenceAnswerResponse",
                                request(fill_slots(prompts::kRefAnswerUser,
                                                      {{"question", "Say hi."},
                                                       {"class_level", "Class 6"},
                                                       {"subject", "English"},
                                                       {"criteria_lines", "- Covers: Say hi. (1.0 marks)"}})));
    EXPECT_EQ(reference, R"({"reference_answer":")" + std::string(rh::kReferencePrefix) + R"(say, hi."})");

    std::string ids = question_lines({{"Q1", "Say hi."}, {"Q2", "Wave."}});
    auto sheet = rh::answer("AnswersheetResponse",
                            request(fill_slots(prompts::kAnswersheetUser,
                                                  {{"question_lines", ids},
                                                   {"combined_text", combined({{1, "Q1 hi\tthere"}, {2, "Q2 wave"}})}})));
    EXPECT_EQ(sheet, R"({"answers":[{"q_id":"Q1","answer_text":"hi there","page_numbers":[1]},)"
                     R"({"q_id":"Q2","answer_text":"wave","page_numbers":[2]}]})");

    auto key = rh::answer("ReferenceAnswerKeysResponse",
                          {{"user", fill_slots(prompts::kAnswerKeyUser,
                                                  {{"question_lines", ids}, {"combined_text", combined({{1, "Q2 Wave a hand.\nQ9 stray"}})}})}});
    EXPECT_EQ(key, R"({"reference_answers":[{"q_id":"Q2","reference_answer":"Wave a hand."}]})");

    auto evaluation = rh::answer("EvaluationResponse",
                                 request(fill_slots(prompts::kEvaluationUser,
                                                       {{"question", "Say hi."},
                                                        {"reference_answer", "hi"},
                                                        {"student_answer", "hi!"},
                                                        {"criteria_lines", "0: Says hi (1.5 marks)"}})));
    EXPECT_TRUE(evaluation.starts_with(R"({"fulfilled_criteria":[0],"awarded_marks":1.5,"feedback":"Rehearsal score)"))
        << evaluation;
}

TEST(RehearsalAnswer, RefusesWhatItDoesNotKnow) {
    EXPECT_THROW(rh::answer("WeatherResponse", request("anything")), rh::RehearsalError);
    EXPECT_THROW(rh::answer("RubricResponse", request("Write a poem.")), rh::RehearsalError);
    EXPECT_THROW(rh::answer("RubricResponse", {{"system", "only a system message"}}), rh::RehearsalError);
}

TEST(RehearsalAnswer, EscapesTextIntoValidJson) {
    std::string page = std::string("Q1 tab\there \x01 quote\" back\\slash bad\xff lone\xed\xa0\x80 end");
    auto json = rh::answer("AnswersheetResponse",
                           request(fill_slots(prompts::kAnswersheetUser,
                                                 {{"question_lines", question_lines({{"Q1", "x"}})},
                                                  {"combined_text", combined({{1, page}})}})));
    EXPECT_NE(json.find(R"(\u0001 quote\" back\\slash bad)" "\xEF\xBF\xBD" R"( lone\ud800 end)"), std::string::npos)
        << json;
}

}  // namespace
