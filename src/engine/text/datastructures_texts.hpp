// Exact texts of the document-model modules (question papers, rubrics, answersheets).
#pragma once

#include <string_view>

namespace tovrane::text::datastructures {

// Reprs; each value is already a Python repr.
inline constexpr std::string_view kQuestionRepr = R"(Question(q_id={q_id}, max_marks={max_marks}))";
inline constexpr std::string_view kQuestionPaperRepr =
    R"(QuestionPaper(subject={subject}, language={language}, class_level={class_level}, questions={questions}))";
inline constexpr std::string_view kCriterionRepr =
    R"(Criterion(statement={statement}, mark={mark}, is_fulfilled={is_fulfilled}))";
inline constexpr std::string_view kRubricRepr = R"(Rubric({count} criteria))";
inline constexpr std::string_view kAnswerRepr = R"(Answer(q_id={q_id}, pages={pages}))";
inline constexpr std::string_view kAnswersheetRepr =
    R"(Answersheet(subject={subject}, language={language}, class_level={class_level}, answers={answers}))";

/// Between the parts of an answer the student continued elsewhere in the booklet.
inline constexpr std::string_view kAnswerSeparator = "\n\n";

}  // namespace tovrane::text::datastructures
