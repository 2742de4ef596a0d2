// Text report of a processed answersheet.
#include "engine/text/sheet_report.hpp"

#include <fmt/format.h>

#include "engine/text/sheet_texts.hpp"

namespace tovrane::text {

namespace {

void append_question(std::string& out, const SheetReportQuestion& q) {
    using namespace sheet;
    fmt::format_to(std::back_inserter(out), kReportQuestion, fmt::arg("q_id", q.q_id),
                   fmt::arg("max_marks", q.max_marks), fmt::arg("question_text", q.question_text));
    if (!q.answer) {
        out += kReportNotAttempted;
        return;
    }
    const SheetReportAnswer& a = *q.answer;
    fmt::format_to(std::back_inserter(out), kReportAnswer, fmt::arg("pages", a.pages),
                   fmt::arg("answer_text", a.text));
    if (a.awarded_marks && a.total_marks) {
        fmt::format_to(std::back_inserter(out), kReportEvaluation, fmt::arg("awarded_marks", *a.awarded_marks),
                       fmt::arg("total_marks", *a.total_marks));
        if (a.feedback) fmt::format_to(std::back_inserter(out), kReportFeedback, fmt::arg("feedback", *a.feedback));
    }
    out += kReportAttempted;
}

}  // namespace

std::string render_sheet_report(const SheetReportHeader& header,
                                const std::vector<SheetReportQuestion>& questions) {
    std::string out = fmt::format(sheet::kReportHeader, fmt::arg("subject", header.subject),
                                  fmt::arg("class_level", header.class_level),
                                  fmt::arg("total_questions", header.total_questions),
                                  fmt::arg("attempted_questions", header.attempted_questions));
    for (const auto& q : questions) append_question(out, q);
    return out;
}

}  // namespace tovrane::text
