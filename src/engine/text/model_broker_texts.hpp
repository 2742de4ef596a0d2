// Every exact text and fixed figure of the model broker, in one place: the prompts of
// the language-model operations, the usage log, the console lines and the messages.
// Placeholders are fmt named arguments ({subject}), checked when compiled; values arrive
// already rendered as text. Templates begin with a line break and most end in a line
// break plus eight spaces; several lines carry trailing blanks. Keep them byte for byte.
#pragma once

#include <array>
#include <string_view>

namespace tovrane::text::model_broker {

// ---- Prompts --------------------------------------------------------------------------------

/// One page of the combined OCR text; placeholders page_key, page_text.
inline constexpr std::string_view kPageBlock = R"tpl(
--- Page {page_key} ---
{page_text}
)tpl";

// Question paper parsing.
/// Placeholders subject, language, combined_text.
inline constexpr std::string_view kQuestionPaperUser = R"tpl(
        Parse the following OCR-extracted text from a {subject} question paper and extract all questions.
        
        Subject: {subject}
        Target Language: {language}
        
        OCR Text:
        {combined_text}
        
        Instructions:
        1. Identify all questions in the text
        2. If the text is multilingual, focus only on questions in {language} language
        3. For each question, determine:
           - A unique question ID (e.g., "Q1", "1a", "2(i)", etc. based on the numbering in the paper)
           - The complete question text (clean up OCR errors where possible)
           - The maximum marks for the question (look for marks mentioned like "[5 marks]", "(10)", "2x4", "2x3=6", etc.)
        4. Ignore headers, instructions, or non-question content
        5. If marks are not explicitly mentioned, keep the marks as 0
        6. Clean up the question text to remove OCR artifacts while preserving mathematical symbols and formatting
        7. Ensure question IDs follow the original numbering scheme from the paper
        
        Return only the questions that are clearly identifiable and in {language} language.
        )tpl";
/// Placeholder subject.
inline constexpr std::string_view kQuestionPaperSystem = R"tpl(You are an expert {subject} educator with experience in parsing question papers. You can accurately identify questions, clean OCR text, and determine appropriate mark allocations for {subject} questions.)tpl";
/// Placeholders subject, language, class_level, page_count.
inline constexpr std::string_view kQuestionPaperInfo = R"tpl(Subject: {subject}, Language: {language}, Class: {class_level}, Pages: {page_count})tpl";

// Rubric generation.
/// Placeholders question, reference_answer_text, class_level, subject, max_marks.
inline constexpr std::string_view kRubricUser = R"tpl(
        Create a detailed **marking rubric** for evaluating student answers for the below question:
        
        ### Question Details
        Question: {question}
        Reference Answer: {reference_answer_text}
        Class Level: {class_level}
        Subject: {subject}
        Maximum Marks: {max_marks}
        
        ### Rubric Requirements
        1. Include **key evaluation criteria** that cover all important aspects of the question.
        2. Criteria must be **specific, measurable, concise, short and non-overlapping**.
        3. Criteria must have appropriate mark allocations that sum to {max_marks}
        4. Ensure the rubric is **appropriate for class {class_level}** students.
        5. Follow **best assessment practices** for {subject}.
        6. Include **one criterion for word limit or clarity of expression**, unless:
            - The question is **objective**, or
            - The **maximum marks < 3** 
        7. If maximum marks is less than 3, create only one criterion and it can not be related to word limit.
        8. For **objective questions**, focus only on **accuracy and correctness**, *do not* include explanation of criteria or the answer.
        9. Use the **reference answer (if provided)** to guide the content and focus of criteria.
        10. Each criterion should assess a unique aspect of the answer, avoid overlap or repetition between criteria.
        11. Allocate marks proportionally to the importance or difficulty of each criterion, ensuring logical balance.
        12. Phrase each criterion as an **observable outcome or measurable behavior**, such as “Demonstrates understanding of…” or “Accurately identifies…”.

        ### Each criterion should have:
        - A clear statement describing what to look for
        - no explanation of mark allocation

        Ensure the criteria are clear, complete, and consistent.
        )tpl";
/// Fixed text.
inline constexpr std::string_view kRubricSystem = R"tpl(You are an expert educator of CBSE curriculum in India, creating assessment rubrics. Generate criteria that are clear, specific, and appropriate for the given academic level.)tpl";
/// Placeholders max_marks, subject.
inline constexpr std::string_view kRubricInfo = R"tpl(Question marks: {max_marks}, Subject: {subject})tpl";

// Reference answer generation.
/// Placeholders question, class_level, subject, criteria_lines.
inline constexpr std::string_view kRefAnswerUser = R"tpl(
        Generate a comprehensive reference answer for the following question:
        
        ### Question Details
        Question: {question}
        Class Level: {class_level}
        Subject: {subject}
        
        ### Rubric Criteria
        Use the following rubric criteria as a guide to ensure full coverage:
        {criteria_lines}
        
        ### Reference answer requirements:
        1. Write an answer that is **appropriate in depth and tone** for class {class_level} students.
        2. Address **every point** mentioned in the rubric criteria clearly and accurately.
        3. Ensure the response is **organized, coherent, and logically structured**.
        4. Use appropriate {subject} terminology
        5. For **objective questions**, give **only the correct answer**, in the format:  
            Example - **(a) The mitochondria produce energy for the cell.**  
            Do **not** elaborate or provide explanations for objective questions.
        6. The **word count and level of detail** should be suitable for the **marks allocated**.
        7. Maintain **clarity, precision, and correctness** throughout.
        8. For questions worth fewer than 3 marks, keep the answer **brief and factual**, without long elaboration.
        9. generate the answer in **plain text format**, avoiding markdown or special formatting.

        
        - The answer should serve as an example response that would fulfill all rubric criteria.
        - Provide only the **final reference answer**, without any introductory or explanatory text.
        )tpl";
/// Placeholder subject.
inline constexpr std::string_view kRefAnswerSystem = R"tpl(You are an expert {subject} teacher creating reference answers. Write comprehensive, accurate answers appropriate for the specified class level.)tpl";
/// Placeholders subject, class_level.
inline constexpr std::string_view kRefAnswerInfo = R"tpl(Question type: {subject}, Class: {class_level})tpl";

// Reference answers extracted from a scanned answer key (one user message, no system one).
/// Placeholders question_lines, combined_text.
inline constexpr std::string_view kAnswerKeyUser = R"tpl(
        Extract the reference answer for the following question from the provided OCR text:

        Questions: 
        {question_lines}

        OCR Text:
        {combined_text}

        ## Instructions:
        1. Identify the reference answer that corresponds to the question above.
        2. Clean up any OCR artifacts while preserving the original meaning.
        3. Return the cleaned reference answer text.
        4. Look for question numbers, labels, or context clues to match answers to questions.
        )tpl";

// Answersheet parsing. The Mathpix rules hold literal braces ({a}, {b}) that are not
// placeholders, so this one template is filled by fill_slots (slots.hpp), not fmt: fmt
// would need them doubled, and the text would no longer be the prompt as sent.
/// Placeholders question_lines, combined_text.
inline constexpr std::string_view kAnswersheetUser = R"tpl(
        Parse the following OCR-extracted text from a student's answersheet and identify student answers to specific questions.
        
        ### Available Questions (format -> <question_id>: <question_text>):
        {question_lines}
        
        ### Student Answersheet OCR Text:
        {combined_text}
        
        ### Instructions:
        1. Identify student answers that correspond to the questions listed above
        2. For each answer found, determine:
           - The **question ID** it corresponds to (must match one from the available questions)
           - The **student's answer text** (clean up OCR errors where possible)
           - The **page numbers** where this answer appears
        3. Look for question numbers, labels, or context clues to match answers to questions
        4. If an answer spans multiple pages, include all relevant page numbers
        5. Clean up the answer text to remove OCR artifacts while preserving the student's actual response
        6. If a question is attempted but the answer is unclear due to OCR issues, include it with a note
        7. If an answer cannot be confidently matched to a question, keep it's question ID as "Unknown"
        8. Ignore any content that does not appear to be a student answer (e.g. instructions, question text)
        9. Do not shorten, summarize, or paraphrase student answers. Preserve all original content and structure, except for minor OCR corrections (spacing, punctuation, broken words).

        ### Mathpix Markdown Conversion Rules
        1. Convert all Mathpix Markdown content into **clear, readable plain text**:
            - Convert inline or block LaTeX equations (e.g., `$E=mc^2$`, `$$\frac{a}{b}$$`) into **plain math expressions** (e.g., “E = mc²”, “a/b”).
            - Convert Markdown tables (`|`, `---`) into **text tables or bullet lists**, maintaining logical column order and data grouping.
            - Keep lists, numbered steps, and indented structures intact (e.g., “1.”, “(a)”, “Step 1:”).
            - Preserve mathematical symbols and relationships (`=`, `+`, `−`, `×`, `/`, `→`, `≥`, `∑`, etc.).
            - Remove all Markdown formatting symbols (`$`, `$$`, `|`, `**`, `_`, `\`, etc.).
        2. Do **not** summarize, paraphrase, or simplify math expressions — represent them exactly in plain text.
        3. Correct minor OCR issues (e.g., spacing, broken words, punctuation) while preserving the student’s original meaning.
        4. Retain line breaks and paragraph separations to preserve visual and logical flow.
        )tpl";
/// Fixed text.
inline constexpr std::string_view kAnswersheetSystem = R"tpl(You are an expert at parsing student answersheets. You can accurately identify student responses, clean OCR text, and match answers to specific questions based on context and numbering.)tpl";
/// Placeholders question_count, page_count.
inline constexpr std::string_view kAnswersheetInfo = R"tpl(Questions available: {question_count}, Pages: {page_count})tpl";

// Answer evaluation.
/// Placeholders question, reference_answer, student_answer, criteria_lines.
inline constexpr std::string_view kEvaluationUser = R"tpl(
        Evaluate the following student answer against the given rubric:
        
        ### Question
        {question}

        ### Reference Answer
        {reference_answer}

        ### Student Answer
        {student_answer}

        ### Rubric Criteria
        {criteria_lines}
        

        ### Evaluation Guidelines
        For each criterion, determine if the student's answer fulfills it based on:
        1. Accuracy of content
        2. Completeness of the response
        3. Appropriate use of terminology
        
        **Provide:**
        1. List of criterion indices (0-based) that are fulfilled
        2. Total awarded marks, summing the marks of fulfilled criteria
        3. A short constructive feedback explaining the evaluation

        ### Feedback Generation Rules
        Provide **concise, constructive feedback** in a supportive, second-person tone.

        **Feedback Requirements:**
        1. Write **2–4 sentences** of feedback total.
        2. Always address the student directly using “you” or “your”.
        3. Begin with at least one **positive observation** (what was done well).
        4. Then mention **specific areas for improvement**.
        5. Avoid generic statements like “good answer” or “needs improvement”.
        6. Reference the rubric criteria explicitly or implicitly.
        7. Use **neutral and encouraging** language - avoid harsh or evaluative terms.
        8. If the student meets all criteria, acknowledge this explicitly (e.g., “You met all the requirements…”).
        9. If the student misses several criteria, summarize key gaps rather than listing all.
        10. Do not restate the entire rubric or question; focus only on the student’s response.
        11. generate feedback in plain text without markdown formatting.

        Be fair but rigorous in your assessment.
        )tpl";
/// Fixed text.
inline constexpr std::string_view kEvaluationSystem = R"tpl(You are an expert educator evaluating student work. Be fair, consistent, and provide constructive feedback.)tpl";

// Pieces the operations assemble.
inline constexpr std::string_view kNoReferenceAnswer = "Not provided";
/// A rubric criterion listed for reference-answer generation.
inline constexpr std::string_view kCriterionLine = "- {statement} ({mark} marks)";
/// A rubric criterion listed for evaluation, numbered from 0.
inline constexpr std::string_view kIndexedCriterionLine = "{index}: {statement} ({mark} marks)";
/// One question of a paper; the lines are then joined with another line break.
inline constexpr std::string_view kQuestionLine = "- {q_id}: {text}\n";
inline constexpr std::string_view kEvaluationInfo = "Max marks: {max_marks_total}";

// Task names that label the usage records.
inline constexpr std::string_view kTaskParseQuestionPaper = "parse_question_paper";
inline constexpr std::string_view kTaskGenerateRubric = "generate_rubric";
inline constexpr std::string_view kTaskGenerateReferenceAnswer = "generate_reference_answer";
inline constexpr std::string_view kTaskExtractReferenceAnswer = "extract_reference_answer";
inline constexpr std::string_view kTaskParseAnswersheet = "parse_answersheet";
inline constexpr std::string_view kTaskEvaluateAnswer = "evaluate_answer";

// ---- Failures of the operations ------------------------------------------------------------

/// Raised as RuntimeError, chained to the error; {error} is its text.
inline constexpr std::string_view kFailedParseQuestionPaper = "Failed to parse question paper: {error}";
inline constexpr std::string_view kFailedGenerateRubric = "Failed to generate rubric: {error}";
inline constexpr std::string_view kFailedGenerateReferenceAnswer = "Failed to generate reference answer: {error}";
/// Only this coroutine names its route in its failure; callers match on the text.
inline constexpr std::string_view kFailedGenerateReferenceAnswerAsync =
    "Failed to generate reference answer (async): {error}";
inline constexpr std::string_view kFailedParseAnswersheet = "Failed to parse answersheet: {error}";
inline constexpr std::string_view kFailedEvaluateAnswer = "Failed to evaluate answer: {error}";
/// Printed (not raised) when extracting reference answers from an answer key fails.
inline constexpr std::string_view kFailedExtractReferenceAnswer =
    "[ModelBroker]: Failed to extract reference answer for {q_id}: {error}";

/// An answer without its structured result: the operation fails saying why, instead of
/// with whatever reading the missing result would raise.
inline constexpr std::string_view kModelRefused = "the model refused to answer: {refusal}";
inline constexpr std::string_view kNoStructuredAnswer = "the model's answer holds no structured result";

// Marks the model produced that cannot stand: the operation fails instead of storing them,
// worded like the JSON import's checks of the same values.
inline constexpr std::string_view kInvalidQuestionMarks =
    "max_marks of question {q_id} must be a number from 0 to 1000, not {marks}";
inline constexpr std::string_view kInvalidCriterionMark = "Criterion {index} mark must be a number from 0 to 1000, not {mark}";
inline constexpr std::string_view kInvalidAwardedMarks = "Awarded marks must lie between 0 and {total}, not {awarded}";

// ---- Service client -------------------------------------------------------------------------

inline constexpr std::string_view kApiKeyRequired = R"(OPENAI_API_KEY environment variable is required)";

/// Suffix of the task name and prefix of the additional information of a failed call.
inline constexpr std::string_view kFailedTaskSuffix = "_FAILED";
inline constexpr std::string_view kFailedInfoPrefix = "Error: ";

/// Length of the request-rate window of asynchronous calls.
inline constexpr int kRateWindowSeconds = 60;

/// Waits for the rate window longer than this are logged, so a stall has a visible cause.
inline constexpr double kRateWaitWorthLogging = 1.0;
inline constexpr std::string_view kBrokerLoggerName = "tovrane_core.model_broker";
inline constexpr std::string_view kRateLimitWait =
    R"(Rate limit of {limit} requests per minute reached: waiting {seconds:.1f} s before the next request)";

/// A time-out or retry count refused: {source} names the argument or the variable.
inline constexpr std::string_view kBadTimeout = R"({source} must be a positive number of seconds, got {value})";
inline constexpr std::string_view kBadRetries = R"({source} must be a whole number, 0 or more, got {value})";

/// Arguments the host passes below 1 are refused with these messages.
inline constexpr std::string_view kMaxConcurrentTooSmall =
    R"(max_concurrent_requests must be at least 1, got {value})";
inline constexpr std::string_view kRequestsPerMinuteTooSmall =
    R"(requests_per_minute must be at least 1, got {value})";

// ---- Token accounting and usage log ---------------------------------------------------------

/// US dollars per 1000 tokens.
inline constexpr double kInputPricePer1k = 0.00015;
inline constexpr double kOutputPricePer1k = 0.0006;

/// A model's context window and the part of it kept for the answer (the model's largest
/// output): a prompt may use the rest. The service refuses a longer prompt only after the
/// request was sent; we refuse it before.
struct ContextWindow {
    std::string_view model;
    long long tokens;
    long long output_tokens;
};
inline constexpr std::array<ContextWindow, 10> kContextWindows{{
    {"gpt-5-mini-2025-08-07", 400'000, 128'000},
    {"gpt-5-mini", 400'000, 128'000},
    {"gpt-5", 400'000, 128'000},
    {"gpt-5-nano", 400'000, 128'000},
    {"gpt-4.1-mini", 1'047'576, 32'768},
    {"gpt-4.1", 1'047'576, 32'768},
    {"gpt-4o-mini", 128'000, 16'384},
    {"gpt-4o", 128'000, 16'384},
    {"o4-mini", 200'000, 100'000},
    {"o3", 200'000, 100'000},
}};

/// The window of `model`; null for a model not listed.
constexpr const ContextWindow* context_window(std::string_view model) {
    for (const ContextWindow& window : kContextWindows) {
        if (window.model == model) return &window;
    }
    return nullptr;
}

/// Raised (ValueError) before any request when the prompt would not fit.
inline constexpr std::string_view kPromptTooLong =
    R"(The prompt of {task} has {tokens} tokens, more than the {limit} tokens {model} takes (a context window of {window} tokens, {output} of them kept for the answer); nothing was sent)";

/// tiktoken's fallback encoding when the model's own cannot be had.
inline constexpr std::string_view kFallbackEncoding = "cl100k_base";

inline constexpr std::string_view kLoggerName = "token_usage";
inline constexpr std::string_view kLogFormat = R"(%(asctime)s | %(message)s)";
inline constexpr std::string_view kLogDateFormat = R"(%Y-%m-%d %H:%M:%S)";

inline constexpr std::string_view kSessionBanner = R"(

=====================
NEW MODEL BROKER SESSION STARTED
=====================
)";

/// One call's record (fmt named fields). The blanks before the line breaks belong to it.
inline constexpr std::string_view kUsageRecord = R"(

*********************
TASK: {task} | 
MODEL: {model} | 
INPUT_TOKENS: {input} | 
OUTPUT_TOKENS: {output} | 
TOTAL_TOKENS: {total} | 
COST: ${cost:.6f})";

/// Appended to the record only when there is additional information.
inline constexpr std::string_view kUsageRecordInfo = R"( | INFO: {info})";

/// The console line written for every call, logged or not.
inline constexpr std::string_view kUsageConsoleLine = R"(-> {task}: {total} tokens (${cost:.6f}))";

/// Level names `log_to_file` does not know are written at info level as "[LEVEL] msg".
inline constexpr std::string_view kUnknownLevelMessage = R"([{level}] {msg})";

// ---- Batches --------------------------------------------------------------------------------

/// A thread-pool task's error, as its result; {error} is str() of the exception.
inline constexpr std::string_view kTaskError = R"(Error in task {position}: {error})";
/// Every record of a blocking batch that could not run; {error} is str() of the reason.
inline constexpr std::string_view kSyncWrapperError = R"(Sync wrapper error: {error})";
inline constexpr std::string_view kRubricsRefusal =
    R"(Cannot call generate_rubrics_batch_sync from within an async context. Use generate_rubrics_batch_async instead.)";
inline constexpr std::string_view kRefAnswersRefusal =
    R"(Cannot call generate_ref_answers_batch_sync from within an async context. Use generate_ref_answers_batch_async instead.)";
inline constexpr std::string_view kEvaluationsRefusal =
    R"(Cannot call evaluate_answers_batch_sync from within an async context. Use evaluate_answers_batch_async instead.)";

}  // namespace tovrane::text::model_broker
