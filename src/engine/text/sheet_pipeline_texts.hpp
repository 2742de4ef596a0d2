// Every console line, error message and file layout of the answersheet pipeline.
// Placeholders are fmt named arguments ({q_id}), checked when compiled; values arrive
// already rendered with Python's str().
#pragma once

#include <cstddef>
#include <string_view>

namespace tovrane::text::sheet_pipeline {

// Processing a PDF.
inline constexpr std::string_view kPdfNotFound = R"(PDF file not found: {pdf_path})";
inline constexpr std::string_view kStarting = R"([SheetPipeline]: Starting complete answersheet processing...)";
inline constexpr std::string_view kStartingAsync =
    R"([SheetPipeline]: Starting complete answersheet processing (async)...)";
inline constexpr std::string_view kProcessingPdf = R"([SheetPipeline]: Processing PDF: {pdf_path})";
inline constexpr std::string_view kQuestionCount = R"([SheetPipeline]: Questions: {count})";
inline constexpr std::string_view kStepExtract = R"([SheetPipeline]: Step 1/3: Extracting text from PDF...)";
inline constexpr std::string_view kProcessingPages = R"([SheetPipeline]: Processing pages: {page_numbers})";
inline constexpr std::string_view kProcessingAllPages = R"([SheetPipeline]: Processing all pages)";
inline constexpr std::string_view kExtractFailed = R"(Failed to extract text from PDF: {error})";
inline constexpr std::string_view kExtracted = R"([SheetPipeline]: Successfully extracted text from {n} pages)";
inline constexpr std::string_view kStepParse = R"([SheetPipeline]: Step 2/3: Parsing student answers using AI...)";
inline constexpr std::string_view kStepParseAsync =
    R"([SheetPipeline]: Step 2/3: Parsing student answers using async AI processing...)";
inline constexpr std::string_view kParsed = R"([SheetPipeline]: Successfully parsed {n} student answers)";
// The async route prints this one without the pipeline prefix.
inline constexpr std::string_view kParsedAsync = R"(Successfully parsed {n} student answers)";
inline constexpr std::string_view kParseFailed = R"(Failed to parse answers: {error})";
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
    R"([SheetPipeline]: Evaluating all {n} student answers using concurrent processing...)";
inline constexpr std::string_view kSkipNoRubric = R"([SheetPipeline]:   Skipping {q_id} - no rubric available)";
inline constexpr std::string_view kSkipNoReference =
    R"([SheetPipeline]:   Skipping {q_id} - no reference answer available)";
inline constexpr std::string_view kNoValidQuestions = R"([SheetPipeline]: No valid questions found for evaluation)";
inline constexpr std::string_view kProcessingConcurrently =
    R"([SheetPipeline]:   Processing {n} evaluations concurrently...)";
inline constexpr std::string_view kAwardedFor = R"([SheetPipeline]:     {q_id}: Awarded {awarded}/{max_marks} marks)";
inline constexpr std::string_view kErrorEvaluating = R"([SheetPipeline]:     Error evaluating answer for {q_id}: {error})";
inline constexpr std::string_view kErrorProcessing = R"([SheetPipeline]:     Error processing result for {q_id}: {error})";
inline constexpr std::string_view kEvaluatedCount =
    R"([SheetPipeline]: Evaluated {n} answers successfully using concurrent processing)";
inline constexpr std::string_view kAllResultType = R"(_evaluate_all_answers_sync must return a dict or None, not {type})";
inline constexpr std::string_view kSingleResultType = R"(_evaluate_single_answer_sync must return a dict, not {type})";
inline constexpr std::string_view kUnknownQid = R"(unknown)";
inline constexpr std::string_view kUnknownError = R"(Unknown error)";
inline constexpr std::string_view kNotInAnswersheet = R"(Question ID '{q_id}' not found in answersheet)";
inline constexpr std::string_view kNotInPaper = R"(Question ID '{q_id}' not found in question paper)";
inline constexpr std::string_view kEvaluatingOne =
    R"([SheetPipeline]: Evaluating answer for question {q_id} using batch processing...)";
// Python's own str + value, so a non-text identifier fails as Python would.
inline constexpr std::string_view kEvaluationCompletedStem = R"([SheetPipeline]: Evaluation completed for )";
inline constexpr std::string_view kEvaluateOneFailed = R"(Failed to evaluate answer for question {q_id}: {error})";
inline constexpr std::string_view kEvaluatingSingle = R"([SheetPipeline]:   Evaluating {q_id} using batch processing...)";
inline constexpr std::string_view kEvaluatingSingleShort = R"([SheetPipeline]:   Evaluating {q_id}...)";
inline constexpr std::string_view kAwarded = R"([SheetPipeline]:     Awarded: {awarded}/{max_marks} marks)";
inline constexpr std::string_view kSkipReasonNoRubric = R"(no rubric)";
inline constexpr std::string_view kSkipReasonNoReference = R"(no reference answer)";
inline constexpr std::string_view kSkipped = R"(skipped)";

// Validation and summary.
/// Answers shorter than this, stripped, are flagged; so is an attempt rate below the other.
inline constexpr std::size_t kMinAnswerChars = 5;
inline constexpr double kLowAttemptPercent = 50.0;
inline constexpr std::string_view kNoneInputsRecord = R"(Answersheet and question paper cannot be None)";
inline constexpr std::string_view kVeryShort = R"(Answer for {q_id} is very short (possible OCR issue))";
inline constexpr std::string_view kNoPages = R"(Answer for {q_id} has no page numbers)";
inline constexpr std::string_view kLowAttemptRate = R"(Low attempt rate: {rate:.1f}% (possible parsing issues))";
// An answer that was skipped or whose evaluation failed: its 0 marks are no verdict.
inline constexpr std::string_view kNotEvaluated = R"(Answer for {q_id} was not evaluated: {reason})";
inline constexpr std::string_view kSummaryError = R"([SheetPipeline]: Error: {error})";
// One print, two lines: the prefix alone, then the rule.
inline constexpr std::string_view kSummaryTop = "[SheetPipeline]: \n"
                                                "============================================================";
inline constexpr std::string_view kSummaryTitle = R"([SheetPipeline]: ANSWERSHEET PROCESSING SUMMARY)";
inline constexpr std::string_view kSummaryRule =
    R"([SheetPipeline]: ============================================================)";
inline constexpr std::string_view kSummaryEntry = R"([SheetPipeline]: {key}: {value})";
inline constexpr std::string_view kValidationPassed = R"([SheetPipeline]: Validation: Passed)";
inline constexpr std::string_view kValidationIssues = R"([SheetPipeline]: Validation: Issues found)";
inline constexpr std::string_view kListedItem = R"([SheetPipeline]:    {item})";
inline constexpr std::string_view kWarningsHeader = R"([SheetPipeline]: Warnings:)";
inline constexpr std::string_view kOverviewHeader = "[SheetPipeline]: \n"
                                                    "Attempted Questions Overview:";
inline constexpr std::string_view kOverviewQuestion = R"([SheetPipeline]: {q_id} : {preview})";
inline constexpr std::string_view kOverviewDetail = R"([SheetPipeline]:     {key}: {value})";
/// Question texts longer than this (in code points) are cut in the overview.
inline constexpr std::size_t kPreviewLength = 60;

// Saving.
inline constexpr std::string_view kSaved = R"([SheetPipeline]: Saved processed answersheet data to: {output_path})";
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

}  // namespace tovrane::text::sheet_pipeline
