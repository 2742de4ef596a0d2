// Text report of a processed answersheet.
#include "engine/text/sheet_report.hpp"

#include <fmt/format.h>

#include "engine/text/sheet_pipeline_texts.hpp"

namespace tovrane::text {

namespace {

namespace texts = sheet_pipeline;
using namespace fmt::literals;

void append_question(std::string& out, const SheetReportQuestion& q) {
    using namespace texts;
    fmt::format_to(std::back_inserter(out), kReportQuestion, "q_id"_a = q.q_id, "max_marks"_a = q.max_marks,
                   "question_text"_a = q.question_text);
    if (!q.answer) {
        out += kReportNotAttempted;
        return;
    }
    const SheetReportAnswer& a = *q.answer;
    fmt::format_to(std::back_inserter(out), kReportAnswer, "pages"_a = a.pages, "answer_text"_a = a.text);
    if (a.awarded_marks && a.total_marks) {
        fmt::format_to(std::back_inserter(out), kReportEvaluation, "awarded_marks"_a = *a.awarded_marks,
                       "total_marks"_a = *a.total_marks);
        if (a.feedback) fmt::format_to(std::back_inserter(out), kReportFeedback, "feedback"_a = *a.feedback);
    }
    out += kReportAttempted;
}

}  // namespace

std::string render_sheet_report(const SheetReportHeader& header,
                                const std::vector<SheetReportQuestion>& questions) {
    std::string out = fmt::format(texts::kReportHeader, "subject"_a = header.subject,
                                  "class_level"_a = header.class_level, "total_questions"_a = header.total_questions,
                                  "attempted_questions"_a = header.attempted_questions);
    for (const auto& q : questions) append_question(out, q);
    return out;
}

}  // namespace tovrane::text
