// Every console line, error message and report layout of the question paper pipeline.
// Placeholders are fmt named arguments ({q_id}), checked when compiled; values arrive
// already rendered by Python.
#pragma once

#include <cstddef>
#include <string_view>

namespace tovrane::text::paper_pipeline {

// ---- construction and collaborators ----------------------------------------------------

inline constexpr std::string_view kBadExtractor = R"(extractor_client must be an instance of ExtractorClient)";
inline constexpr std::string_view kBadBroker = R"(model_broker must be an instance of ModelBroker)";

// ---- PDF processing --------------------------------------------------------------------

inline constexpr std::string_view kPdfNotFound = R"(PDF file not found: {pdf_path})";
inline constexpr std::string_view kProcessingPdf = R"([PaperPipeline] Processing question paper PDF: {pdf_path})";
inline constexpr std::string_view kSubject = R"([PaperPipeline] Subject: {subject})";
inline constexpr std::string_view kLanguage = R"([PaperPipeline] Language: {language})";
inline constexpr std::string_view kClassLevel = R"([PaperPipeline] Class Level: {class_level})";
inline constexpr std::string_view kUsingExtractor = R"([PaperPipeline] Using extractor client)";
inline constexpr std::string_view kStepExtract = R"([PaperPipeline] Step 1/2: Extracting text from PDF...)";
inline constexpr std::string_view kProcessingPages = R"([PaperPipeline] Processing pages: {page_numbers})";
inline constexpr std::string_view kProcessingAllPages = R"([PaperPipeline] Processing all pages)";
inline constexpr std::string_view kExtracted = R"([PaperPipeline] Successfully extracted text from {n} pages)";
inline constexpr std::string_view kExtractFailed = R"(Failed to extract text from PDF: {error})";
inline constexpr std::string_view kStepParse = R"([PaperPipeline] Step 2/2: Parsing questions using AI...)";
inline constexpr std::string_view kParsed = R"([PaperPipeline] Successfully parsed {k} questions)";
inline constexpr std::string_view kTotalMarks = R"([PaperPipeline] Total marks: {total})";
inline constexpr std::string_view kParseFailed = R"(Failed to parse questions: {error})";

// ---- rubrics and reference answers -----------------------------------------------------

inline constexpr std::string_view kNoPaper = R"(Question paper cannot be None.)";
inline constexpr std::string_view kBatchCalling = R"([PaperPipeline] Processing {m} questions with batch processing...)";
inline constexpr std::string_view kAsyncBatchCalling = R"([PaperPipeline] Processing {m} questions with async batch processing...)";
inline constexpr std::string_view kBatchFailed = R"([PaperPipeline] Error in batch processing, falling back to sync processing: {error})";

inline constexpr std::string_view kRubricsOpening = R"([PaperPipeline] Generating rubrics for all {n} questions...)";
inline constexpr std::string_view kRubricSkipExisting = R"([PaperPipeline]   Skipping {q_id} - rubric already exists)";
inline constexpr std::string_view kRubricsNothing = R"([PaperPipeline] No rubrics to generate - all questions already have rubrics)";
inline constexpr std::string_view kRubricBatchDone = R"([PaperPipeline]   Generated rubric for {q_id} with {c} criteria ({t} marks))";
inline constexpr std::string_view kRubricBatchError = R"([PaperPipeline]   Error generating rubric for {q_id}: {error})";
inline constexpr std::string_view kRubricsClosing = R"([PaperPipeline] Generated rubrics for {k} questions)";
inline constexpr std::string_view kRubricFallbackOpening = R"([PaperPipeline] Using sync fallback for rubric generation...)";
inline constexpr std::string_view kRubricFallbackItem = R"([PaperPipeline]   Generating rubric for {q_id}...)";
inline constexpr std::string_view kRubricFallbackDone = R"([PaperPipeline]     Generated rubric with {c} criteria ({t} marks))";
inline constexpr std::string_view kRubricFallbackError = R"([PaperPipeline]     Error generating rubric for {q_id}: {error})";
inline constexpr std::string_view kRubricUnknownId = R"(can not generate rubric. Question ID '{q_id}' not found in question paper)";
inline constexpr std::string_view kRubricSingle = R"([PaperPipeline] Generating rubric for question {q_id}...)";
inline constexpr std::string_view kRubricSingleDone = R"([PaperPipeline] Generated rubric with {c} criteria ({t} marks))";
inline constexpr std::string_view kRubricSingleFailed = R"(Failed to generate rubric for question {q_id}: {error})";

inline constexpr std::string_view kAnswersOpening = R"([PaperPipeline] Generating reference answers for all {n} questions...)";
inline constexpr std::string_view kAnswerSkipExisting = R"([PaperPipeline]   Skipping {q_id} - reference answer already exists)";
inline constexpr std::string_view kAnswerSkipNoRubric = R"([PaperPipeline]   Skipping {q_id} - no rubric available (generate rubric first))";
inline constexpr std::string_view kAnswersNothing = R"([PaperPipeline] No reference answers to generate - all questions already have reference answers or missing rubrics)";
inline constexpr std::string_view kAnswerBatchDone = R"([PaperPipeline]   Generated reference answer for {q_id} ({l} characters))";
inline constexpr std::string_view kAnswerBatchError = R"([PaperPipeline]   Error generating reference answer for {q_id}: {error})";
inline constexpr std::string_view kAnswersClosing = R"([PaperPipeline] Generated reference answers for {k} questions)";
inline constexpr std::string_view kAnswerFallbackOpening = R"([PaperPipeline] Using sync fallback for reference answer generation...)";
inline constexpr std::string_view kAnswerFallbackItem = R"([PaperPipeline]   Generating reference answer for {q_id}...)";
inline constexpr std::string_view kAnswerFallbackDone = R"([PaperPipeline]     Generated reference answer ({l} characters))";
inline constexpr std::string_view kAnswerFallbackError = R"([PaperPipeline]     Error generating reference answer for {q_id}: {error})";
inline constexpr std::string_view kAnswerUnknownId = R"(can not generate reference answer. Question ID '{q_id}' not found in question paper)";
inline constexpr std::string_view kAnswerNoRubric = R"(No rubric available for question {q_id}. Generate rubric first.)";
inline constexpr std::string_view kAnswerSingle = R"([PaperPipeline] Generating reference answer for question {q_id}...)";
inline constexpr std::string_view kAnswerSingleDone = R"([PaperPipeline] Generated reference answer ({l} characters))";
inline constexpr std::string_view kAnswerSingleFailed = R"(Failed to generate reference answer for question {q_id}: {error})";
/// The model broker handed back something other than text as a reference answer: named
/// so in the wrong-type message.
inline constexpr std::string_view kReferenceAnswerName = R"(reference answer)";

// ---- validation and summary ------------------------------------------------------------

inline constexpr std::string_view kNoPaperProvided = R"(No question paper provided)";
inline constexpr std::string_view kIssueNoMarks = R"(Question {q_id} has no marks assigned)";
inline constexpr std::string_view kWarningShortText = R"(Question {q_id} has very short text (possible OCR issue))";
inline constexpr std::string_view kIssueTotalZero = R"(Total marks is 0)";
// Generation that failed, and rubrics that do not add up to their question: doubtful
// points for the teacher, not errors (criteria may be weighted on purpose).
inline constexpr std::string_view kWarningNoRubric = R"(Question {q_id} has no rubric: {reason})";
inline constexpr std::string_view kWarningNoReference = R"(Question {q_id} has no reference answer: {reason})";
inline constexpr std::string_view kWarningRubricTotal = R"(Question {q_id} has a rubric worth {total} marks for {max_marks} marks)";

inline constexpr std::string_view kSummaryError = R"([PaperPipeline] Error: {error})";
inline constexpr std::string_view kSummaryTop = R"([PaperPipeline] 
============================================================)";
inline constexpr std::string_view kSummaryTitle = R"([PaperPipeline] QUESTION PAPER PROCESSING SUMMARY)";
inline constexpr std::string_view kSummaryRule = R"([PaperPipeline] ============================================================)";
inline constexpr std::string_view kSummaryQuestions = R"([PaperPipeline] Total Questions: {total_questions})";
inline constexpr std::string_view kSummaryMarks = R"([PaperPipeline] Total Marks: {total_marks})";
inline constexpr std::string_view kSummaryPages = R"([PaperPipeline] Processed Pages: {extracted_pages})";
inline constexpr std::string_view kSummaryPassed = R"([PaperPipeline] Validation: Passed)";
inline constexpr std::string_view kSummaryIssues = R"([PaperPipeline] Validation: Issues found)";
inline constexpr std::string_view kSummaryIssue = R"([PaperPipeline]    {issue})";
inline constexpr std::string_view kSummaryWarnings = R"([PaperPipeline] Warnings:)";
inline constexpr std::string_view kSummaryWarning = R"([PaperPipeline]    {warning})";
inline constexpr std::string_view kSummaryOverview = R"([PaperPipeline] 
Questions Overview:)";
inline constexpr std::string_view kSummaryQuestion = R"([PaperPipeline]    {q_id}: {preview} ({marks} marks))";
/// Question texts longer than this (in code points) are cut in the overview.
inline constexpr std::size_t kPreviewLength = 80;

// ---- saving ----------------------------------------------------------------------------

inline constexpr std::string_view kSaved = R"([PaperPipeline] Saved processed data to: {output_path})";

// Text report: one block each, joined without separators.
inline constexpr std::string_view kReportHeader = R"(PROCESSED QUESTION PAPER
==================================================

)";
inline constexpr std::string_view kReportSubject = R"(Subject: {subject}
)";
inline constexpr std::string_view kReportClassLevel = R"(Class Level: {class_level}
)";
inline constexpr std::string_view kReportCounts = R"(Total Questions: {count}
Total Marks: {total}

)";
inline constexpr std::string_view kReportQuestion = R"(Question {number}: {q_id}
Marks: {max_marks}
Text: {text}
)";
inline constexpr std::string_view kReportReference = R"(Reference Answer: {reference_answer}
)";
inline constexpr std::string_view kReportQuestionEnd = R"(----------------------------------------

)";

}  // namespace tovrane::text::paper_pipeline
