// Every console line, error message and report layout of the question paper pipeline.
// Placeholders are fmt named arguments ({q_id}); values arrive already rendered by Python.
#pragma once

namespace tovrane::text::paper {

// ---- construction and collaborators ----------------------------------------------------

inline constexpr const char* kBadExtractor = R"(extractor_client must be an instance of ExtractorClient)";
inline constexpr const char* kBadBroker = R"(model_broker must be an instance of ModelBroker)";
/// Argument of the wrong kind given to process_pdf.
inline constexpr const char* kBadArgument = R"({name} must be {expected}, not {type})";

// ---- PDF processing --------------------------------------------------------------------

inline constexpr const char* kPdfNotFound = R"(PDF file not found: {pdf_path})";
inline constexpr const char* kProcessingPdf = R"([PaperPipeline] Processing question paper PDF: {pdf_path})";
inline constexpr const char* kSubject = R"([PaperPipeline] Subject: {subject})";
inline constexpr const char* kLanguage = R"([PaperPipeline] Language: {language})";
inline constexpr const char* kClassLevel = R"([PaperPipeline] Class Level: {class_level})";
inline constexpr const char* kUsingExtractor = R"([PaperPipeline] Using extractor client)";
inline constexpr const char* kStepExtract = R"([PaperPipeline] Step 1/2: Extracting text from PDF...)";
inline constexpr const char* kProcessingPages = R"([PaperPipeline] Processing pages: {page_numbers})";
inline constexpr const char* kProcessingAllPages = R"([PaperPipeline] Processing all pages)";
inline constexpr const char* kExtracted = R"([PaperPipeline] Successfully extracted text from {n} pages)";
inline constexpr const char* kExtractFailed = R"(Failed to extract text from PDF: {message})";
inline constexpr const char* kStepParse = R"([PaperPipeline] Step 2/2: Parsing questions using AI...)";
inline constexpr const char* kParsed = R"([PaperPipeline] Successfully parsed {k} questions)";
inline constexpr const char* kTotalMarks = R"([PaperPipeline] Total marks: {total})";
inline constexpr const char* kParseFailed = R"(Failed to parse questions: {message})";

// ---- rubrics and reference answers -----------------------------------------------------

inline constexpr const char* kNoPaper = R"(Question paper cannot be None.)";
inline constexpr const char* kBatchCalling = R"([PaperPipeline] Processing {m} questions with batch processing...)";
inline constexpr const char* kAsyncBatchCalling = R"([PaperPipeline] Processing {m} questions with async batch processing...)";
inline constexpr const char* kBatchFailed = R"([PaperPipeline] Error in batch processing, falling back to sync processing: {error})";

inline constexpr const char* kRubricsOpening = R"([PaperPipeline] Generating rubrics for all {n} questions...)";
inline constexpr const char* kRubricSkipExisting = R"([PaperPipeline]   Skipping {q_id} - rubric already exists)";
inline constexpr const char* kRubricsNothing = R"([PaperPipeline] No rubrics to generate - all questions already have rubrics)";
inline constexpr const char* kRubricBatchDone = R"([PaperPipeline]   Generated rubric for {q_id} with {c} criteria ({t} marks))";
inline constexpr const char* kRubricBatchError = R"([PaperPipeline]   Error generating rubric for {q_id}: {error})";
inline constexpr const char* kRubricsClosing = R"([PaperPipeline] Generated rubrics for {k} questions)";
inline constexpr const char* kRubricFallbackOpening = R"([PaperPipeline] Using sync fallback for rubric generation...)";
inline constexpr const char* kRubricFallbackItem = R"([PaperPipeline]   Generating rubric for {q_id}...)";
inline constexpr const char* kRubricFallbackDone = R"([PaperPipeline]     Generated rubric with {c} criteria ({t} marks))";
inline constexpr const char* kRubricFallbackError = R"([PaperPipeline]     Error generating rubric for {q_id}: {error})";
inline constexpr const char* kRubricUnknownId = R"(can not generate rubric. Question ID '{q_id}' not found in question paper)";
inline constexpr const char* kRubricSingle = R"([PaperPipeline] Generating rubric for question {q_id}...)";
inline constexpr const char* kRubricSingleDone = R"([PaperPipeline] Generated rubric with {c} criteria ({t} marks))";
inline constexpr const char* kRubricSingleFailed = R"(Failed to generate rubric for question {q_id}: {error})";

inline constexpr const char* kAnswersOpening = R"([PaperPipeline] Generating reference answers for all {n} questions...)";
inline constexpr const char* kAnswerSkipExisting = R"([PaperPipeline]   Skipping {q_id} - reference answer already exists)";
inline constexpr const char* kAnswerSkipNoRubric = R"([PaperPipeline]   Skipping {q_id} - no rubric available (generate rubric first))";
inline constexpr const char* kAnswersNothing = R"([PaperPipeline] No reference answers to generate - all questions already have reference answers or missing rubrics)";
inline constexpr const char* kAnswerBatchDone = R"([PaperPipeline]   Generated reference answer for {q_id} ({l} characters))";
inline constexpr const char* kAnswerBatchError = R"([PaperPipeline]   Error generating reference answer for {q_id}: {error})";
inline constexpr const char* kAnswersClosing = R"([PaperPipeline] Generated reference answers for {k} questions)";
inline constexpr const char* kAnswerFallbackOpening = R"([PaperPipeline] Using sync fallback for reference answer generation...)";
inline constexpr const char* kAnswerFallbackItem = R"([PaperPipeline]   Generating reference answer for {q_id}...)";
inline constexpr const char* kAnswerFallbackDone = R"([PaperPipeline]     Generated reference answer ({l} characters))";
inline constexpr const char* kAnswerFallbackError = R"([PaperPipeline]     Error generating reference answer for {q_id}: {error})";
inline constexpr const char* kAnswerUnknownId = R"(can not generate reference answer. Question ID '{q_id}' not found in question paper)";
inline constexpr const char* kAnswerNoRubric = R"(No rubric available for question {q_id}. Generate rubric first.)";
inline constexpr const char* kAnswerSingle = R"([PaperPipeline] Generating reference answer for question {q_id}...)";
inline constexpr const char* kAnswerSingleDone = R"([PaperPipeline] Generated reference answer ({l} characters))";
inline constexpr const char* kAnswerSingleFailed = R"(Failed to generate reference answer for question {q_id}: {error})";
/// The model broker handed back something other than text as a reference answer.
inline constexpr const char* kAnswerNotText = R"(reference answer must be str, not {type})";

// ---- validation and summary ------------------------------------------------------------

inline constexpr const char* kNoPaperProvided = R"(No question paper provided)";
inline constexpr const char* kIssueNoMarks = R"(Question {q_id} has no marks assigned)";
inline constexpr const char* kWarningShortText = R"(Question {q_id} has very short text (possible OCR issue))";
inline constexpr const char* kIssueTotalZero = R"(Total marks is 0)";
// Generation that failed, and rubrics that do not add up to their question: doubtful
// points for the teacher, not errors (criteria may be weighted on purpose).
inline constexpr const char* kWarningNoRubric = R"(Question {q_id} has no rubric: {reason})";
inline constexpr const char* kWarningNoReference = R"(Question {q_id} has no reference answer: {reason})";
inline constexpr const char* kWarningRubricTotal = R"(Question {q_id} has a rubric worth {total} marks for {max_marks} marks)";

inline constexpr const char* kSummaryError = R"([PaperPipeline] Error: {error})";
inline constexpr const char* kSummaryTop = R"([PaperPipeline] 
============================================================)";
inline constexpr const char* kSummaryTitle = R"([PaperPipeline] QUESTION PAPER PROCESSING SUMMARY)";
inline constexpr const char* kSummaryRule = R"([PaperPipeline] ============================================================)";
inline constexpr const char* kSummaryQuestions = R"([PaperPipeline] Total Questions: {total_questions})";
inline constexpr const char* kSummaryMarks = R"([PaperPipeline] Total Marks: {total_marks})";
inline constexpr const char* kSummaryPages = R"([PaperPipeline] Processed Pages: {extracted_pages})";
inline constexpr const char* kSummaryPassed = R"([PaperPipeline] Validation: Passed)";
inline constexpr const char* kSummaryIssues = R"([PaperPipeline] Validation: Issues found)";
inline constexpr const char* kSummaryIssue = R"([PaperPipeline]    {issue})";
inline constexpr const char* kSummaryWarnings = R"([PaperPipeline] Warnings:)";
inline constexpr const char* kSummaryWarning = R"([PaperPipeline]    {warning})";
inline constexpr const char* kSummaryOverview = R"([PaperPipeline] 
Questions Overview:)";
inline constexpr const char* kSummaryQuestion = R"([PaperPipeline]    {q_id}: {preview} ({marks} marks))";
/// Question texts longer than this are cut in the overview and end in the ellipsis below.
inline constexpr int kPreviewLength = 80;
inline constexpr const char* kPreviewEllipsis = R"(...)";

// ---- saving ----------------------------------------------------------------------------

inline constexpr const char* kSaved = R"([PaperPipeline] Saved processed data to: {output_path})";

// Text report: one block each, joined without separators.
inline constexpr const char* kReportHeader = R"(PROCESSED QUESTION PAPER
==================================================

)";
inline constexpr const char* kReportSubject = R"(Subject: {subject}
)";
inline constexpr const char* kReportClassLevel = R"(Class Level: {class_level}
)";
inline constexpr const char* kReportCounts = R"(Total Questions: {count}
Total Marks: {total}

)";
inline constexpr const char* kReportQuestion = R"(Question {number}: {q_id}
Marks: {max_marks}
Text: {text}
)";
inline constexpr const char* kReportReference = R"(Reference Answer: {reference_answer}
)";
inline constexpr const char* kReportQuestionEnd = R"(----------------------------------------

)";

}  // namespace tovrane::text::paper
