// Every console line, error message and file layout of the answersheet pipeline.
#pragma once

#include <string_view>

namespace tovrane::text::sheet {

// fmt format strings: each {} is a value already rendered with Python's str().

// Processing a PDF.
inline constexpr std::string_view kPdfPathType = R"({}() argument 'pdf_path' must be str, not {})";
inline constexpr std::string_view kPageNumbersType = R"({}() argument 'page_numbers' must be list or None, not {})";
inline constexpr std::string_view kPdfNotFound = R"(PDF file not found: {})";
inline constexpr std::string_view kStarting = R"([SheetPipeline]: Starting complete answersheet processing...)";
inline constexpr std::string_view kStartingAsync =
    R"([SheetPipeline]: Starting complete answersheet processing (async)...)";
inline constexpr std::string_view kProcessingPdf = R"([SheetPipeline]: Processing PDF: {})";
inline constexpr std::string_view kQuestionCount = R"([SheetPipeline]: Questions: {})";
inline constexpr std::string_view kStepExtract = R"([SheetPipeline]: Step 1/3: Extracting text from PDF...)";
inline constexpr std::string_view kProcessingPages = R"([SheetPipeline]: Processing pages: {})";
inline constexpr std::string_view kProcessingAllPages = R"([SheetPipeline]: Processing all pages)";
inline constexpr std::string_view kExtractFailed = R"(Failed to extract text from PDF: {})";
inline constexpr std::string_view kExtracted = R"([SheetPipeline]: Successfully extracted text from {} pages)";
inline constexpr std::string_view kStepParse = R"([SheetPipeline]: Step 2/3: Parsing student answers using AI...)";
inline constexpr std::string_view kStepParseAsync =
    R"([SheetPipeline]: Step 2/3: Parsing student answers using async AI processing...)";
inline constexpr std::string_view kParsed = R"([SheetPipeline]: Successfully parsed {} student answers)";
// The async route prints this one without the pipeline prefix.
inline constexpr std::string_view kParsedAsync = R"(Successfully parsed {} student answers)";
inline constexpr std::string_view kParseFailed = R"(Failed to parse answers: {})";
inline constexpr std::string_view kStepEvaluate = R"([SheetPipeline]: Step 3/3: Evaluating all answers...)";
inline constexpr std::string_view kStepEvaluateAsync =
    R"([SheetPipeline]: Step 3/3: Evaluating all answers using concurrent async processing...)";
inline constexpr std::string_view kFinished =
    R"([SheetPipeline]: Complete answersheet processing finished successfully!)";
inline constexpr std::string_view kFinishedAsync =
    R"([SheetPipeline]: Complete async answersheet processing finished successfully!)";

// Evaluation.
inline constexpr std::string_view kNoneInputs = R"(Answersheet and question paper cannot be None.)";
inline constexpr std::string_view kEvaluatingAll =
    R"([SheetPipeline]: Evaluating all {} student answers using concurrent processing...)";
inline constexpr std::string_view kSkipNoRubric = R"([SheetPipeline]:   Skipping {} - no rubric available)";
inline constexpr std::string_view kSkipNoReference =
    R"([SheetPipeline]:   Skipping {} - no reference answer available)";
inline constexpr std::string_view kNoValidQuestions = R"([SheetPipeline]: No valid questions found for evaluation)";
inline constexpr std::string_view kProcessingConcurrently =
    R"([SheetPipeline]:   Processing {} evaluations concurrently...)";
inline constexpr std::string_view kAwardedFor = R"([SheetPipeline]:     {}: Awarded {}/{} marks)";
inline constexpr std::string_view kErrorEvaluating = R"([SheetPipeline]:     Error evaluating answer for {}: {})";
inline constexpr std::string_view kErrorProcessing = R"([SheetPipeline]:     Error processing result for {}: {})";
inline constexpr std::string_view kEvaluatedCount =
    R"([SheetPipeline]: Evaluated {} answers successfully using concurrent processing)";
inline constexpr std::string_view kAllResultType = R"(_evaluate_all_answers_sync must return a dict or None, not {})";
inline constexpr std::string_view kSingleResultType = R"(_evaluate_single_answer_sync must return a dict, not {})";
inline constexpr std::string_view kUnknownQid = R"(unknown)";
inline constexpr std::string_view kUnknownError = R"(Unknown error)";
inline constexpr std::string_view kNotInAnswersheet = R"(Question ID '{}' not found in answersheet)";
inline constexpr std::string_view kNotInPaper = R"(Question ID '{}' not found in question paper)";
inline constexpr std::string_view kEvaluatingOne =
    R"([SheetPipeline]: Evaluating answer for question {} using batch processing...)";
// Python's own str + value, so a non-text identifier fails as Python would.
inline constexpr std::string_view kEvaluationCompletedStem = R"([SheetPipeline]: Evaluation completed for )";
inline constexpr std::string_view kEvaluateOneFailed = R"(Failed to evaluate answer for question {}: {})";
inline constexpr std::string_view kEvaluatingSingle = R"([SheetPipeline]:   Evaluating {} using batch processing...)";
inline constexpr std::string_view kEvaluatingSingleShort = R"([SheetPipeline]:   Evaluating {}...)";
inline constexpr std::string_view kAwarded = R"([SheetPipeline]:     Awarded: {}/{} marks)";
inline constexpr std::string_view kSkipReasonNoRubric = R"(no rubric)";
inline constexpr std::string_view kSkipReasonNoReference = R"(no reference answer)";
inline constexpr std::string_view kSkipped = R"(skipped)";

// Validation and summary.
inline constexpr std::string_view kNoneInputsRecord = R"(Answersheet and question paper cannot be None)";
inline constexpr std::string_view kVeryShort = R"(Answer for {} is very short (possible OCR issue))";
inline constexpr std::string_view kNoPages = R"(Answer for {} has no page numbers)";
inline constexpr std::string_view kLowAttemptRate = R"(Low attempt rate: {:.1f}% (possible parsing issues))";
// An answer that was skipped or whose evaluation failed: its 0 marks are no verdict.
inline constexpr std::string_view kNotEvaluated = R"(Answer for {} was not evaluated: {})";
inline constexpr std::string_view kSummaryError = R"([SheetPipeline]: Error: {})";
// One print, two lines: the prefix alone, then the rule.
inline constexpr std::string_view kSummaryTop = "[SheetPipeline]: \n"
                                                "============================================================";
inline constexpr std::string_view kSummaryTitle = R"([SheetPipeline]: ANSWERSHEET PROCESSING SUMMARY)";
inline constexpr std::string_view kSummaryRule =
    R"([SheetPipeline]: ============================================================)";
inline constexpr std::string_view kSummaryEntry = R"([SheetPipeline]: {}: {})";
inline constexpr std::string_view kValidationPassed = R"([SheetPipeline]: Validation: Passed)";
inline constexpr std::string_view kValidationIssues = R"([SheetPipeline]: Validation: Issues found)";
inline constexpr std::string_view kListedItem = R"([SheetPipeline]:    {})";
inline constexpr std::string_view kWarningsHeader = R"([SheetPipeline]: Warnings:)";
inline constexpr std::string_view kOverviewHeader = "[SheetPipeline]: \n"
                                                    "Attempted Questions Overview:";
inline constexpr std::string_view kOverviewQuestion = R"([SheetPipeline]: {} : {})";
inline constexpr std::string_view kOverviewDetail = R"([SheetPipeline]:     {}: {})";
inline constexpr std::size_t kPreviewChars = 60;
inline constexpr std::string_view kPreviewEllipsis = R"(...)";

// Saving.
inline constexpr std::string_view kSaved = R"([SheetPipeline]: Saved processed answersheet data to: {})";
inline constexpr std::string_view kJsonFormat = R"(json)";

// Text report; named fields are values rendered with Python's str().
inline constexpr std::string_view kReportHeader = R"(PROCESSED STUDENT ANSWERSHEET
==================================================

Subject: {subject}
Class: {class_level}
Total Questions: {total_questions}
Attempted Questions: {attempted_questions}

)";
inline constexpr std::string_view kReportQuestion = R"(Question: {q_id}
Max Marks: {max_marks}
Question Text: {question_text}
)";
inline constexpr std::string_view kReportAnswer = R"(Student Answer (Pages {pages}): {answer_text}
)";
inline constexpr std::string_view kReportEvaluation = R"(Evaluation: {awarded_marks}/{total_marks} marks
)";
inline constexpr std::string_view kReportFeedback = R"(Feedback: {feedback}
)";
inline constexpr std::string_view kReportAttempted = R"(Status: ✅ Attempted
----------------------------------------

)";
inline constexpr std::string_view kReportNotAttempted = R"(Student Answer: [Not attempted or not found]
Status: ❌ Not attempted
----------------------------------------

)";

}  // namespace tovrane::text::sheet
