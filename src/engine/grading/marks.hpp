// What counts as a mark. One rule for marks a teacher imports and marks the language
// model produces, so neither route lets through what the other refuses.
#pragma once

#include <cmath>

namespace tovrane::grading {

/// No question or criterion of a school paper is worth more: a larger value is a misreading
/// (a model answering 1e308), not a mark, and it would swamp every total it enters.
inline constexpr double kMaxMarks = 1000;

/// True when a mark that is otherwise valid lies above kMaxMarks.
inline bool above_ceiling(double marks) { return marks > kMaxMarks; }

/// A criterion's mark: a finite number, 0 or more.
inline bool valid_criterion_mark(double mark) { return std::isfinite(mark) && mark >= 0; }

/// A question's marks as a teacher gives them: a finite number above 0.
inline bool valid_question_marks(double marks) { return std::isfinite(marks) && marks > 0; }

/// A question's marks as read off a scanned paper: 0 stands for "none printed", which the
/// paper's validation reports; anything negative or not finite is no reading at all.
inline bool valid_parsed_marks(double marks) { return std::isfinite(marks) && marks >= 0; }

}  // namespace tovrane::grading
