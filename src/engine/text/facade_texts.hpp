// Every console line and error message of the facade (Python module tovrane_core.tovrane).
// Placeholders are fmt named arguments ({q_id}), checked when compiled; values arrive
// already rendered by Python.
#pragma once

#include <string_view>

namespace tovrane::text::facade {

// ---- configuration and start-up --------------------------------------------------------

inline constexpr std::string_view kNotAConfig = R"(config must be an instance of TovraneConfig)";
inline constexpr std::string_view kConfiguring = R"(Configuring Tovrane...)";
inline constexpr std::string_view kConfigured = R"(Tovrane configured successfully!)";
inline constexpr std::string_view kConfigureFailed = R"(Failed to configure Tovrane: {error})";

inline constexpr std::string_view kInitBroker = R"(Initializing model broker...)";
inline constexpr std::string_view kBrokerReady = R"(model broker initialized)";
inline constexpr std::string_view kBrokerFailed = R"(Failed to initialize model broker: {error})";

inline constexpr std::string_view kInitExtractor = R"(Initializing {extractor_type} extractor client...)";
inline constexpr std::string_view kExtractorReady = R"(Extractor client initialized)";
inline constexpr std::string_view kExtractorFailed = R"(Failed to initialize extractor client: {error})";

inline constexpr std::string_view kInitPaperPipeline = R"(Initializing paper pipeline...)";
inline constexpr std::string_view kInitSheetPipeline = R"(Initializing sheet pipeline...)";
inline constexpr std::string_view kHandlersReady = R"(All handlers initialized)";
inline constexpr std::string_view kHandlersFailed = R"(Failed to initialize handlers: {error})";

inline constexpr std::string_view kNotConfigured = R"(Tovrane is not configured. Call configure() first.)";
inline constexpr std::string_view kNotReady = R"(Tovrane is not ready. Some components failed to initialize.)";

// ---- validation steps of the workflows -------------------------------------------------

inline constexpr std::string_view kEmptyPdfPath = R"(PDF path must be a non-empty string)";
inline constexpr std::string_view kPdfNotFound = R"(PDF file not found: {path})";
inline constexpr std::string_view kNotAPdf = R"(File must be a PDF: {path})";
inline constexpr std::string_view kEmptySubject = R"(Subject must be a non-empty string)";
inline constexpr std::string_view kEmptyLanguage = R"(Language must be a non-empty string)";
inline constexpr std::string_view kEmptyClassLevel = R"(Class level must be a non-empty string)";
inline constexpr std::string_view kNoPaperLoaded = R"(No question paper loaded. Call process_question_paper() first.)";
inline constexpr std::string_view kEmptyQuestionIds = R"(question_ids must be a non-empty list)";
inline constexpr std::string_view kNotAPaper = R"(question_paper must be a QuestionPaper instance)";
inline constexpr std::string_view kInvalidIds = R"(Invalid question IDs: {invalid}. Available IDs: {available})";

// ---- question paper workflow -----------------------------------------------------------

inline constexpr std::string_view kPaperStarting = R"(Starting question paper processing workflow...)";
inline constexpr std::string_view kPaperDone = R"(Question paper processing completed successfully!)";
inline constexpr std::string_view kPaperExtracted = R"(Extracted {n} questions)";
inline constexpr std::string_view kPaperFailed = R"(Failed to process question paper: {error})";

// ---- rubric and reference answer workflows ---------------------------------------------

inline constexpr std::string_view kRubricsStarting = R"(Starting rubric generation workflow...)";
inline constexpr std::string_view kRubricsSelected = R"(Generating rubrics for {n} specific questions...)";
inline constexpr std::string_view kRubricWarning = R"(Warning: Failed to generate rubric for {q_id}: {error})";
inline constexpr std::string_view kRubricsCount = R"(Generated rubrics for {generated}/{n} questions)";
inline constexpr std::string_view kRubricsAll = R"(Generating rubrics for all questions...)";
inline constexpr std::string_view kRubricsDone = R"(Rubric generation completed successfully!)";
inline constexpr std::string_view kRubricsFailed = R"(Failed to generate rubrics: {error})";
/// After the run: the questions still without a rubric because generating it failed.
inline constexpr std::string_view kRubricsFailedFor = R"(Warning: Failed to generate rubrics for: {failed})";

inline constexpr std::string_view kAnswersStarting = R"(Starting reference answer generation workflow...)";
inline constexpr std::string_view kAnswersSelected = R"(Generating reference answers for {n} specific questions...)";
inline constexpr std::string_view kAnswerWarning = R"(Warning: Failed to generate reference answer for {q_id}: {error})";
inline constexpr std::string_view kAnswersCount = R"(Generated reference answers for {generated}/{n} questions)";
inline constexpr std::string_view kAnswersAll = R"(Generating reference answers for all questions...)";
inline constexpr std::string_view kAnswersDone = R"(Reference answer generation completed successfully!)";
inline constexpr std::string_view kAnswersFailed = R"(Failed to generate reference answers: {error})";
inline constexpr std::string_view kAnswersFailedFor = R"(Warning: Failed to generate reference answers for: {failed})";

// ---- answersheet workflow --------------------------------------------------------------

inline constexpr std::string_view kSheetStarting = R"(Starting answersheet processing workflow...)";
inline constexpr std::string_view kSheetDone = R"(Answersheet processing completed successfully!)";
inline constexpr std::string_view kSheetAnswers = R"(Processed {a} student answers)";
inline constexpr std::string_view kSheetAttemptRate = R"(Attempt rate: {r}%)";
inline constexpr std::string_view kSheetWarnings = R"(Validation warnings:)";
inline constexpr std::string_view kSheetWarning = R"(   • {warning})";
inline constexpr std::string_view kSheetFailed = R"(Failed to process answersheet: {error})";

// ---- change of paper and read-back -----------------------------------------------------

inline constexpr std::string_view kPaperWithoutQuestions = R"(Question paper must contain at least one question)";
inline constexpr std::string_view kChanging = R"(Changing question paper...)";
inline constexpr std::string_view kChanged = R"(Question paper changed successfully!)";
inline constexpr std::string_view kChangedCount = R"(New question paper has {n} questions)";
inline constexpr std::string_view kTotalMarks = R"(Total marks: {total})";
inline constexpr std::string_view kChangeFailed = R"(Failed to change question paper: {error})";

// ---- rubric and reference answer updates -----------------------------------------------

inline constexpr std::string_view kRubricsUpdating = R"(Updating rubrics for {n} questions...)";
inline constexpr std::string_view kRubricUpdating = R"(Updating rubric for question {q_id}...)";
inline constexpr std::string_view kNotARubric = R"(Rubric for {q_id} must be a Rubric instance)";
inline constexpr std::string_view kRubricUpdated = R"(   Rubric updated for {q_id})";
inline constexpr std::string_view kRubricUpdateFailed = R"(   Failed to update rubric for {q_id}: {error})";
inline constexpr std::string_view kRubricsUpdateDone = R"(Rubric update completed!)";
inline constexpr std::string_view kUpdatedCount = R"(Updated: {updated}/{n} questions)";
inline constexpr std::string_view kRubricsUpdateFailedList = R"(Failed to update rubrics for: {failed})";
inline constexpr std::string_view kRubricsUpdateError = R"(Failed to update rubrics: {error})";

inline constexpr std::string_view kAnswersUpdating = R"(Updating reference answers for {n} questions...)";
inline constexpr std::string_view kAnswerUpdating = R"(Updating reference answer for question {q_id}...)";
inline constexpr std::string_view kAnswerNotText = R"(Reference answer for {q_id} must be a string)";
inline constexpr std::string_view kAnswerBlank = R"(Reference answer for {q_id} cannot be empty)";
inline constexpr std::string_view kAnswerUpdated = R"(   Reference answer updated for {q_id})";
inline constexpr std::string_view kAnswerUpdateFailed = R"(   Failed to update reference answer for {q_id}: {error})";
inline constexpr std::string_view kAnswersUpdateDone = R"(Reference answer update completed!)";
inline constexpr std::string_view kAnswersUpdateFailedList = R"(Failed to update reference answers for: {failed})";
inline constexpr std::string_view kAnswersUpdateError = R"(Failed to update reference answers: {error})";

inline constexpr std::string_view kCriterionNotDict = R"(Criterion {i} must be a dictionary)";
inline constexpr std::string_view kCriterionFields = R"(Criterion {i} must have 'statement' and 'mark' fields)";
inline constexpr std::string_view kCriterionMark = R"(Criterion {i} mark must be a non-negative number)";
inline constexpr std::string_view kCriterionMarkTooLarge = R"(Criterion {i} mark must be a non-negative number of at most 1000)";
inline constexpr std::string_view kCreateRubricFailed = R"(Failed to create rubric: {error})";
inline constexpr std::string_view kUpdateFromDictFailed = R"(Failed to update rubrics from dict: {error})";

// ---- question paper from JSON ----------------------------------------------------------

inline constexpr std::string_view kInvalidJson = R"(Invalid JSON format: {error})";
inline constexpr std::string_view kMissingField = R"(Missing required field: {key})";
inline constexpr std::string_view kQuestionsNotList = R"(Questions must be a non-empty list)";
inline constexpr std::string_view kCreatingFromJson = R"(Creating QuestionPaper from JSON...)";
inline constexpr std::string_view kCreatedFromJson = R"(QuestionPaper created successfully from JSON!)";
inline constexpr std::string_view kCreatedCount = R"(Created {n} questions)";
inline constexpr std::string_view kFromJsonFailed = R"(Failed to create QuestionPaper from JSON: {error})";
/// Two questions under one identifier: one of them would silently replace the other.
inline constexpr std::string_view kDuplicateIds = R"(Duplicate question IDs: {ids})";

inline constexpr std::string_view kQuestionMissingField = R"(Question missing required field: {key})";
inline constexpr std::string_view kBadQId = R"(q_id must be a non-empty string)";
inline constexpr std::string_view kBadQuestionText = R"(question_text must be a non-empty string)";
inline constexpr std::string_view kBadMaxMarks = R"(max_marks must be a positive number)";
inline constexpr std::string_view kMaxMarksTooLarge = R"(max_marks must be a positive number of at most 1000)";

inline constexpr std::string_view kRubricWithoutCriteria = R"(Rubric must contain 'criteria' field)";
inline constexpr std::string_view kCriteriaNotList = R"(Rubric criteria must be a list)";
inline constexpr std::string_view kEachCriterionDict = R"(Each criterion must be a dictionary)";
inline constexpr std::string_view kEachCriterionFields = R"(Each criterion must have 'statement' and 'mark' fields)";
inline constexpr std::string_view kJsonCriterionMark = R"(Criterion mark must be a non-negative number)";
inline constexpr std::string_view kJsonCriterionMarkTooLarge = R"(Criterion mark must be a non-negative number of at most 1000)";

// ---- saving and printing ---------------------------------------------------------------

inline constexpr std::string_view kBadFormat = R"(Format must be 'json' or 'txt')";
inline constexpr std::string_view kNotAnAnswersheet = R"(answersheet must be an Answersheet instance)";
inline constexpr std::string_view kSavePaperFailed = R"(Failed to save question paper: {error})";
inline constexpr std::string_view kExportPaperFailed = R"(Failed to export question paper: {error})";
inline constexpr std::string_view kExportedPaper = R"(Exported question paper to: {path})";
inline constexpr std::string_view kSaveSheetFailed = R"(Failed to save answersheet: {error})";
inline constexpr std::string_view kPrintPaperFailed = R"(Error printing summary: {error})";
inline constexpr std::string_view kPrintSheetFailed = R"(Error printing answersheet summary: {error})";

// ---- example workflow ------------------------------------------------------------------

inline constexpr std::string_view kExampleSheet = R"(student_answer.pdf)";
inline constexpr std::string_view kExampleDone = R"(JSON workflow completed successfully!)";
inline constexpr std::string_view kExampleFailed = R"(Error in JSON workflow: {error})";

inline constexpr std::string_view kExampleSubject = R"(Mathematics)";
inline constexpr std::string_view kExampleClassLevel = R"(Grade 10)";
inline constexpr std::string_view kExampleQ1Text = R"(Solve for x: 2x + 5 = 15)";
inline constexpr std::string_view kExampleQ1Criterion1 = R"(Correct algebraic manipulation)";
inline constexpr std::string_view kExampleQ1Criterion2 = R"(Clear presentation)";
inline constexpr std::string_view kExampleQ1Answer = R"(2x + 5 = 15
2x = 15 - 5
2x = 10
x = 5)";
inline constexpr std::string_view kExampleQ2Text = R"(What is the area of a circle with radius 5 cm?)";
inline constexpr std::string_view kExampleQ2Criterion1 = R"(Correct formula usage)";
inline constexpr std::string_view kExampleQ2Criterion2 = R"(Correct calculation)";
inline constexpr std::string_view kExampleQ2Answer = R"(Area = πr² = π × 5² = 25π ≈ 78.54 cm²)";

}  // namespace tovrane::text::facade
