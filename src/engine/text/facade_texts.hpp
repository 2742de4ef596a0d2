// Every console line, error message and documentation line of the facade module.
// Placeholders are fmt named arguments ({q_id}); values arrive already rendered by Python.
#pragma once

namespace tovrane::text::facade {

// ---- module and classes ----------------------------------------------------------------

inline constexpr const char* kModuleDoc = R"(Facade of tovrane_core: configuration, start-up of the components, workflows from question paper to evaluated answersheet.)";
inline constexpr const char* kTovraneErrorDoc = R"(Base exception for Tovrane errors.)";
inline constexpr const char* kConfigurationErrorDoc = R"(Raised when there's an error in configuration.)";
inline constexpr const char* kProcessingErrorDoc = R"(Raised when there's an error during processing.)";
inline constexpr const char* kValidationErrorDoc = R"(Raised when validation fails.)";

/// Argument of the wrong kind; {expected} reads "str", "str or None", "a list", ...
inline constexpr const char* kBadArgument = R"({name} must be {expected}, not {type})";

// ---- configuration and start-up --------------------------------------------------------

inline constexpr const char* kDocSetEnvironment = R"(Set environment variables from config if not already set.)";
inline constexpr const char* kDocInitExtractor = R"(Initialize the text extractor client.)";
inline constexpr const char* kDocValidateConfigured = R"(Validate that Tovrane is properly configured.)";

inline constexpr const char* kNotAConfig = R"(config must be an instance of TovraneConfig)";
inline constexpr const char* kConfiguring = R"(Configuring Tovrane...)";
inline constexpr const char* kConfigured = R"(Tovrane configured successfully!)";
inline constexpr const char* kConfigureFailed = R"(Failed to configure Tovrane: {error})";

inline constexpr const char* kInitBroker = R"(Initializing model broker...)";
inline constexpr const char* kBrokerReady = R"(model broker initialized)";
inline constexpr const char* kBrokerFailed = R"(Failed to initialize model broker: {error})";

inline constexpr const char* kInitExtractor = R"(Initializing {extractor_type} extractor client...)";
inline constexpr const char* kExtractorReady = R"(Extractor client initialized)";
inline constexpr const char* kExtractorFailed = R"(Failed to initialize extractor client: {error})";

inline constexpr const char* kInitPaperPipeline = R"(Initializing paper pipeline...)";
inline constexpr const char* kInitSheetPipeline = R"(Initializing sheet pipeline...)";
inline constexpr const char* kHandlersReady = R"(All handlers initialized)";
inline constexpr const char* kHandlersFailed = R"(Failed to initialize handlers: {error})";

inline constexpr const char* kNotConfigured = R"(Tovrane is not configured. Call configure() first.)";
inline constexpr const char* kNotReady = R"(Tovrane is not ready. Some components failed to initialize.)";

// ---- validation steps of the workflows -------------------------------------------------

inline constexpr const char* kDocValidateFilePath = R"(Validate PDF file path.)";
inline constexpr const char* kDocValidatePaperInputs = R"(Validate question paper processing inputs.)";
inline constexpr const char* kDocValidatePaperLoaded = R"(Validate that a question paper is loaded.)";
inline constexpr const char* kDocValidateIdsForPaper = R"(Validate that question IDs exist in the specified question paper.)";
inline constexpr const char* kDocValidateIds = R"(Validate that question IDs exist in current question paper.)";

inline constexpr const char* kEmptyPdfPath = R"(PDF path must be a non-empty string)";
inline constexpr const char* kPdfNotFound = R"(PDF file not found: {path})";
inline constexpr const char* kNotAPdf = R"(File must be a PDF: {path})";
inline constexpr const char* kEmptySubject = R"(Subject must be a non-empty string)";
inline constexpr const char* kEmptyLanguage = R"(Language must be a non-empty string)";
inline constexpr const char* kEmptyClassLevel = R"(Class level must be a non-empty string)";
inline constexpr const char* kNoPaperLoaded = R"(No question paper loaded. Call process_question_paper() first.)";
inline constexpr const char* kEmptyQuestionIds = R"(question_ids must be a non-empty list)";
inline constexpr const char* kNotAPaper = R"(question_paper must be a QuestionPaper instance)";
inline constexpr const char* kInvalidIds = R"(Invalid question IDs: {invalid}. Available IDs: {available})";

// ---- question paper workflow -----------------------------------------------------------

inline constexpr const char* kPaperStarting = R"(Starting question paper processing workflow...)";
inline constexpr const char* kPaperDone = R"(Question paper processing completed successfully!)";
inline constexpr const char* kPaperExtracted = R"(Extracted {n} questions)";
inline constexpr const char* kPaperFailed = R"(Failed to process question paper: {error})";

// ---- rubric and reference answer workflows ---------------------------------------------

inline constexpr const char* kRubricsStarting = R"(Starting rubric generation workflow...)";
inline constexpr const char* kRubricsSelected = R"(Generating rubrics for {n} specific questions...)";
inline constexpr const char* kRubricWarning = R"(Warning: Failed to generate rubric for {q_id}: {error})";
inline constexpr const char* kRubricsCount = R"(Generated rubrics for {generated}/{n} questions)";
inline constexpr const char* kRubricsAll = R"(Generating rubrics for all questions...)";
inline constexpr const char* kRubricsDone = R"(Rubric generation completed successfully!)";
inline constexpr const char* kRubricsFailed = R"(Failed to generate rubrics: {error})";
/// After the run: the questions still without a rubric because generating it failed.
inline constexpr const char* kRubricsFailedFor = R"(Warning: Failed to generate rubrics for: {failed})";

inline constexpr const char* kAnswersStarting = R"(Starting reference answer generation workflow...)";
inline constexpr const char* kAnswersSelected = R"(Generating reference answers for {n} specific questions...)";
inline constexpr const char* kAnswerWarning = R"(Warning: Failed to generate reference answer for {q_id}: {error})";
inline constexpr const char* kAnswersCount = R"(Generated reference answers for {generated}/{n} questions)";
inline constexpr const char* kAnswersAll = R"(Generating reference answers for all questions...)";
inline constexpr const char* kAnswersDone = R"(Reference answer generation completed successfully!)";
inline constexpr const char* kAnswersFailed = R"(Failed to generate reference answers: {error})";
inline constexpr const char* kAnswersFailedFor = R"(Warning: Failed to generate reference answers for: {failed})";

// ---- answersheet workflow --------------------------------------------------------------

inline constexpr const char* kSheetStarting = R"(Starting answersheet processing workflow...)";
inline constexpr const char* kSheetDone = R"(Answersheet processing completed successfully!)";
inline constexpr const char* kSheetAnswers = R"(Processed {a} student answers)";
inline constexpr const char* kSheetAttemptRate = R"(Attempt rate: {r}%)";
inline constexpr const char* kSheetWarnings = R"(Validation warnings:)";
inline constexpr const char* kSheetWarning = R"(   • {warning})";
inline constexpr const char* kSheetFailed = R"(Failed to process answersheet: {error})";

// ---- change of paper and read-back -----------------------------------------------------

inline constexpr const char* kDocChangePaper = R"(Change the current question paper at runtime.)";
inline constexpr const char* kDocCurrentPaper = R"(Get the current question paper.)";
inline constexpr const char* kDocProcessingSummary = R"(Get summary of all processing operations in this session.)";
inline constexpr const char* kDocTokenUsage = R"(Get LLM token usage summary.)";

inline constexpr const char* kPaperWithoutQuestions = R"(Question paper must contain at least one question)";
inline constexpr const char* kChanging = R"(Changing question paper...)";
inline constexpr const char* kChanged = R"(Question paper changed successfully!)";
inline constexpr const char* kChangedCount = R"(New question paper has {n} questions)";
inline constexpr const char* kTotalMarks = R"(Total marks: {total})";
inline constexpr const char* kChangeFailed = R"(Failed to change question paper: {error})";

// ---- rubric and reference answer updates -----------------------------------------------

inline constexpr const char* kDocUpdateRubrics = R"(Update rubrics for specific questions by their IDs with provided rubric data.)";
inline constexpr const char* kDocCreateRubric = R"(Create a Rubric object from dictionary data.)";
inline constexpr const char* kDocUpdateRubricsFromDict = R"(Update rubrics using dictionary format for easier data input.)";

inline constexpr const char* kRubricsUpdating = R"(Updating rubrics for {n} questions...)";
inline constexpr const char* kRubricUpdating = R"(Updating rubric for question {q_id}...)";
inline constexpr const char* kNotARubric = R"(Rubric for {q_id} must be a Rubric instance)";
inline constexpr const char* kRubricUpdated = R"(   Rubric updated for {q_id})";
inline constexpr const char* kRubricUpdateFailed = R"(   Failed to update rubric for {q_id}: {error})";
inline constexpr const char* kRubricsUpdateDone = R"(Rubric update completed!)";
inline constexpr const char* kUpdatedCount = R"(Updated: {updated}/{n} questions)";
inline constexpr const char* kRubricsUpdateFailedList = R"(Failed to update rubrics for: {failed})";
inline constexpr const char* kRubricsUpdateError = R"(Failed to update rubrics: {error})";

inline constexpr const char* kAnswersUpdating = R"(Updating reference answers for {n} questions...)";
inline constexpr const char* kAnswerUpdating = R"(Updating reference answer for question {q_id}...)";
inline constexpr const char* kAnswerNotText = R"(Reference answer for {q_id} must be a string)";
inline constexpr const char* kAnswerBlank = R"(Reference answer for {q_id} cannot be empty)";
inline constexpr const char* kAnswerUpdated = R"(   Reference answer updated for {q_id})";
inline constexpr const char* kAnswerUpdateFailed = R"(   Failed to update reference answer for {q_id}: {error})";
inline constexpr const char* kAnswersUpdateDone = R"(Reference answer update completed!)";
inline constexpr const char* kAnswersUpdateFailedList = R"(Failed to update reference answers for: {failed})";
inline constexpr const char* kAnswersUpdateError = R"(Failed to update reference answers: {error})";

inline constexpr const char* kCriterionNotDict = R"(Criterion {i} must be a dictionary)";
inline constexpr const char* kCriterionFields = R"(Criterion {i} must have 'statement' and 'mark' fields)";
inline constexpr const char* kCriterionMark = R"(Criterion {i} mark must be a non-negative number)";
inline constexpr const char* kCriterionMarkTooLarge = R"(Criterion {i} mark must be a non-negative number of at most 1000)";
inline constexpr const char* kCreateRubricFailed = R"(Failed to create rubric: {error})";
inline constexpr const char* kUpdateFromDictFailed = R"(Failed to update rubrics from dict: {error})";

// ---- question paper from JSON ----------------------------------------------------------

inline constexpr const char* kDocPaperFromJson = R"(Create a QuestionPaper object from JSON data.)";
/// The import format, indented as in the method's documentation.
inline constexpr const char* kJsonFormat = R"(        {
            "subject": "Mathematics",
            "class_level": "Grade 10",
            "language": "English",
            "questions": [
                {
                    "q_id": "Q1",
                    "question_text": "What is 2+2?",
                    "max_marks": 2,
                    "rubric": {
                        "criteria": [
                            {"statement": "Correct calculation", "mark": 1.5},
                            {"statement": "Clear presentation", "mark": 0.5}
                        ]
                    },
                    "reference_answer": "2+2 = 4. This is basic addition."
                }
            ]
        })";
inline constexpr const char* kDocValidateQuestionJson = R"(Validate individual question JSON data.)";
inline constexpr const char* kDocRubricFromJson = R"(Create Rubric object from JSON data.)";

inline constexpr const char* kInvalidJson = R"(Invalid JSON format: {error})";
inline constexpr const char* kMissingField = R"(Missing required field: {key})";
inline constexpr const char* kQuestionsNotList = R"(Questions must be a non-empty list)";
inline constexpr const char* kCreatingFromJson = R"(Creating QuestionPaper from JSON...)";
inline constexpr const char* kCreatedFromJson = R"(QuestionPaper created successfully from JSON!)";
inline constexpr const char* kCreatedCount = R"(Created {n} questions)";
inline constexpr const char* kFromJsonFailed = R"(Failed to create QuestionPaper from JSON: {error})";
/// Two questions under one identifier: one of them would silently replace the other.
inline constexpr const char* kDuplicateIds = R"(Duplicate question IDs: {ids})";

inline constexpr const char* kQuestionMissingField = R"(Question missing required field: {key})";
inline constexpr const char* kBadQId = R"(q_id must be a non-empty string)";
inline constexpr const char* kBadQuestionText = R"(question_text must be a non-empty string)";
inline constexpr const char* kBadMaxMarks = R"(max_marks must be a positive number)";
inline constexpr const char* kMaxMarksTooLarge = R"(max_marks must be a positive number of at most 1000)";

inline constexpr const char* kRubricWithoutCriteria = R"(Rubric must contain 'criteria' field)";
inline constexpr const char* kCriteriaNotList = R"(Rubric criteria must be a list)";
inline constexpr const char* kEachCriterionDict = R"(Each criterion must be a dictionary)";
inline constexpr const char* kEachCriterionFields = R"(Each criterion must have 'statement' and 'mark' fields)";
inline constexpr const char* kJsonCriterionMark = R"(Criterion mark must be a non-negative number)";
inline constexpr const char* kJsonCriterionMarkTooLarge = R"(Criterion mark must be a non-negative number of at most 1000)";

// ---- saving and printing ---------------------------------------------------------------

inline constexpr const char* kDocSavePaper = R"(Save the current question paper to a file.)";
inline constexpr const char* kDocSaveSheet = R"(Save an answersheet to a file.)";
inline constexpr const char* kDocPrintPaper = R"(Print a summary of the current question paper.)";
inline constexpr const char* kDocPrintSheet = R"(Print a summary of an answersheet.)";

inline constexpr const char* kBadFormat = R"(Format must be 'json' or 'txt')";
inline constexpr const char* kNotAnAnswersheet = R"(answersheet must be an Answersheet instance)";
inline constexpr const char* kSavePaperFailed = R"(Failed to save question paper: {error})";
inline constexpr const char* kDocExportPaper =
    R"(Write the current question paper in the JSON import format, so question_paper_from_json reads it back.)";
inline constexpr const char* kExportPaperFailed = R"(Failed to export question paper: {error})";
inline constexpr const char* kExportedPaper = R"(Exported question paper to: {path})";
inline constexpr const char* kSaveSheetFailed = R"(Failed to save answersheet: {error})";
inline constexpr const char* kPrintPaperFailed = R"(Error printing summary: {error})";
inline constexpr const char* kPrintSheetFailed = R"(Error printing answersheet summary: {error})";

// ---- example workflow ------------------------------------------------------------------

inline constexpr const char* kDocExample = R"(Example of using JSON data instead of processing PDFs.)";
inline constexpr const char* kExampleSheet = R"(student_answer.pdf)";
inline constexpr const char* kExampleDone = R"(JSON workflow completed successfully!)";
inline constexpr const char* kExampleFailed = R"(Error in JSON workflow: {error})";

inline constexpr const char* kExampleSubject = R"(Mathematics)";
inline constexpr const char* kExampleClassLevel = R"(Grade 10)";
inline constexpr const char* kExampleQ1Text = R"(Solve for x: 2x + 5 = 15)";
inline constexpr const char* kExampleQ1Criterion1 = R"(Correct algebraic manipulation)";
inline constexpr const char* kExampleQ1Criterion2 = R"(Clear presentation)";
inline constexpr const char* kExampleQ1Answer = R"(2x + 5 = 15
2x = 15 - 5
2x = 10
x = 5)";
inline constexpr const char* kExampleQ2Text = R"(What is the area of a circle with radius 5 cm?)";
inline constexpr const char* kExampleQ2Criterion1 = R"(Correct formula usage)";
inline constexpr const char* kExampleQ2Criterion2 = R"(Correct calculation)";
inline constexpr const char* kExampleQ2Answer = R"(Area = πr² = π × 5² = 25π ≈ 78.54 cm²)";

}  // namespace tovrane::text::facade
