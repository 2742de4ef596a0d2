// The offline rehearsal model: answers the broker's five structured requests from their
// own texts, deterministically, so that a whole run can be tried without a language model.
//
// Contract. `answer` reads a chat request as the broker builds it (the prompts of
// model_broker_texts.hpp, recognised by matching the templates themselves, so the rules follow any
// change of wording) and returns the JSON object of the response model the request names,
// with exactly that model's fields. The rules are text heuristics, tolerant of OCR text
// (runs of blanks, lines broken anywhere, stray '|', '•' or '~' at line ends); they never
// invent content, and the same request always gets the same answer.
//
// - Question paper: a question starts at a line numbered "Q1." / "Q.1" / "Question 1" /
//   "1." / "1)" (bare numbers only when the paper has no "Q" numbering, and only counting
//   upwards); sub-parts "(a)", "a)", "(i)" start nested parts, including right after the
//   number ("Q9. (a) ..."). Marks are read at a line's end: "[2 marks]", "[1 mark]", "(4)",
//   "[2]", "2×3=6", "2x4", "5 marks". A part without marks whose sub-parts carry marks is
//   split into them (its own text is a lead-in and dropped); identifiers are written
//   "Q1", "Q5(a)", "Q10(a)(i)" whatever the paper's numbering style;
//   otherwise its sub-parts are options or items and stay in its text. Marks printed only
//   on the last of several sub-parts belong to the whole question. Without printed marks a
//   question takes the marks its section gives ("Section A (1 mark each)", or a line under
//   the heading such as "Questions 1 to 4 carry 1 mark each."), else 0.
//   Skipped: general instructions (from an "Instructions" line to the next section header,
//   "Q" question or restart of the numbering), section headers, the header block before the
//   first question, running headers at the top of later pages, "Page n of N", "P.T.O.",
//   "End of question paper". Lines of another script than the paper's language are dropped
//   from a question that has lines in that language (bilingual papers).
// - Rubric: one criterion per mark (a fraction gets its own smaller criterion; at most
//   `kMaxCriteria`, sharing the marks evenly beyond that), one per sentence or line of the
//   question, then fixed criteria (terms, support, clarity), then "further detail".
// - Reference answer: the rehearsal prefix and the key words of the question and rubric.
//   From an answer key: the key's text split like an answersheet.
// - Answersheet: the pages split at margin labels: "Q3", "3)", "3.", "Ans 3", "9 b)",
//   "Q5 (a)", "Q10 (a) (i)"; a bare "(b)" or "(ii)" is a sub-part of the question above; a
//   bare main number "5)" takes the first unanswered part of question 5. A label naming a
//   sub-part the paper lacks is text of its question ("Q1 (c) Paddy"). Bare numbers are
//   labels only for questions not yet answered (numbered points inside an answer stay
//   text), and in a sheet labelled "Q1", "Q2", ... only counting upwards or naming another
//   part of the current question ("9(a)" after "Ans 9(b)"). "Q12" on a paper without
//   question 12 becomes an answer with q_id "Unknown". Answers continue over
//   page breaks; "Page No. n", repeated booklet headers and the header block before the
//   first label are skipped. Answers keep writing order and list every page they occupy;
//   a question labelled twice gets one answer.
// - Evaluation: the share of the reference answer's key words (case-folded, stop words
//   and the rehearsal prefix ignored, simple plural and tense endings removed) found in
//   the student answer; criteria are fulfilled in order up to round(share × count),
//   halves rounding up. The feedback says it is a rehearsal score.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tovrane::text::rehearsal {

/// A request the rehearsal model cannot answer: unknown response format or foreign prompt.
class RehearsalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Message {
    std::string role;     ///< "system" or "user"
    std::string content;  ///< UTF-8; lone surrogates may come encoded as in CESU-8
};

/// The JSON text of the structured answer to a request whose response format is named
/// `schema` ("QuestionPaperResponse", "RubricResponse", "ReferenceAnswerResponse",
/// "ReferenceAnswerKeysResponse", "AnswersheetResponse", "EvaluationResponse").
/// Throws RehearsalError for any other name or a user prompt that is not the broker's.
std::string answer(std::string_view schema, const std::vector<Message>& messages);

// ---- The rules, one per request ----------------------------------------------------------

/// Page number and page text, in page order.
using Pages = std::vector<std::pair<int, std::string>>;

struct PaperQuestion {
    std::string q_id;
    std::string text;
    double max_marks = 0.0;
};

/// The questions of a paper in paper order. `language` names the language to keep.
std::vector<PaperQuestion> parse_question_paper(const Pages& pages, std::string_view language);

struct SheetAnswer {
    std::string q_id;  ///< one of `q_ids`, or kUnknownId
    std::string text;
    std::vector<int> pages;
};

/// The answers of a sheet (or an answer key) matched to the paper's identifiers.
std::vector<SheetAnswer> split_answers(const Pages& pages, const std::vector<std::string>& q_ids);

struct Criterion {
    std::string statement;
    double mark = 0.0;
};

inline constexpr int kMaxCriteria = 20;

std::vector<Criterion> make_rubric(std::string_view question, double max_marks);

std::string make_reference_answer(std::string_view question, const std::vector<Criterion>& rubric);

struct Evaluation {
    std::vector<int> fulfilled;
    double awarded_marks = 0.0;
    std::string feedback;
};

Evaluation evaluate(std::string_view student_answer, std::string_view reference_answer,
                    const std::vector<Criterion>& rubric);

// ---- Reading the prompts back ------------------------------------------------------------

/// The values of the named placeholders of `tmpl` that filling it turned into `text`,
/// in the order of `names`, or nothing when `text` does not have the template's shape.
/// Every placeholder of `tmpl` must be named. Values are matched shortest first (each ends
/// at the first occurrence of the literal after it); a name used twice takes its first value.
std::optional<std::vector<std::string>> unfill(std::string_view tmpl, std::string_view text,
                                               const std::vector<std::string_view>& names);

/// The pages of a combined OCR text ("\n--- Page {k} ---\n{text}\n" per page).
Pages read_pages(std::string_view combined);

/// The identifiers of a question list ("- {q_id}: {text}\n" joined by line breaks).
std::vector<std::string> read_question_ids(std::string_view question_lines);

/// The criteria of a rubric as listed in a prompt: "- {statement} ({mark} marks)" or,
/// with `indexed`, "{index}: {statement} ({mark} marks)", one after another.
std::vector<Criterion> read_criteria(std::string_view lines, bool indexed);

}  // namespace tovrane::text::rehearsal
