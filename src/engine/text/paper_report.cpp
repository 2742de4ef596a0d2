// Text report of a processed question paper.
#include "engine/text/paper_report.hpp"

#include <fmt/format.h>

#include "engine/text/paper_pipeline_texts.hpp"

namespace tovrane::text {

std::string render_paper_report(const PaperReport& report) {
    namespace texts = paper_pipeline;
    using namespace fmt::literals;
    std::string out(texts::kReportHeader);
    if (!report.subject.empty()) out += fmt::format(texts::kReportSubject, "subject"_a = report.subject);
    if (!report.class_level.empty()) out += fmt::format(texts::kReportClassLevel, "class_level"_a = report.class_level);
    out += fmt::format(texts::kReportCounts, "count"_a = report.question_count, "total"_a = report.total_marks);
    std::size_t number = 0;
    for (const auto& q : report.questions) {
        out += fmt::format(texts::kReportQuestion, "number"_a = ++number, "q_id"_a = q.q_id,
                           "max_marks"_a = q.max_marks, "text"_a = q.text);
        if (!q.reference_answer.empty())
            out += fmt::format(texts::kReportReference, "reference_answer"_a = q.reference_answer);
        out += texts::kReportQuestionEnd;
    }
    return out;
}

}  // namespace tovrane::text
