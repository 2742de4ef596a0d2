// Arbitrary text through the report layouts, the prompt filler, the usage
// record and the text helpers, each checked against what it promises.
#include "targets.hpp"

#include "engine/ocr/errors.hpp"
#include "engine/ocr/extractor_types.hpp"
#include "engine/ocr/png.hpp"
#include "engine/ocr/tesseract_pool.hpp"
#include "engine/ocr/text_layer.hpp"
#include "engine/text/paper_report.hpp"
#include "engine/text/model_broker_texts.hpp"
#include "engine/text/sheet_report.hpp"
#include "engine/text/slots.hpp"
#include "engine/text/usage_record.hpp"

#include <charconv>
#include <optional>
#include <cstdint>
#include <string>
#include <vector>

namespace tovrane::fuzz {

namespace {

void require(bool ok, const char* what) {
    if (!ok) {
        throw Broken(what);
    }
}

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

/// The input after its first byte, as fields separated by U+001E (record
/// separator): any other byte, NUL and invalid UTF-8 included, is field text.
/// Past the end every field is empty, so short inputs still reach the code.
class Fields {
public:
    explicit Fields(std::string_view rest) : rest_(rest) {}

    bool done() const { return rest_.empty(); }

    std::string text() {
        const auto end = rest_.find('\x1e');
        const std::string_view field = rest_.substr(0, end);
        rest_ = end == std::string_view::npos ? std::string_view() : rest_.substr(end + 1);
        return std::string(field);
    }

    std::int64_t integer() {
        const std::string field = text();
        std::int64_t value = 0;
        std::from_chars(field.data(), field.data() + field.size(), value);
        return value;
    }

    double real() {
        const std::string field = text();
        double value = 0;
        std::from_chars(field.data(), field.data() + field.size(), value);
        return value;
    }

    std::optional<std::string> optional_text() {
        std::string field = text();
        if (field == "-") {
            return std::nullopt;
        }
        return field;
    }

private:
    std::string_view rest_;
};

void fill_prompt(Fields& in) {
    const std::string tmpl = in.text();
    const std::string question = in.text();
    const std::string subject = in.text();
    const std::string unchanged = text::fill_slots(tmpl, {});
    require(unchanged == tmpl, "fill without slots changed the template");
    const std::string out = text::fill_slots(tmpl, {{"question", question}, {"subject", subject}});
    if (contains(tmpl, "{question}")) {
        require(contains(out, question), "a filled placeholder lost its value");
    }
    if (!contains(tmpl, "{")) {
        require(out == tmpl, "a template without braces changed");
    }
    // The real template the slot filler serves: the values are the arbitrary part.
    const std::string user = text::fill_slots(text::model_broker::kAnswersheetUser,
                                              {{"question_lines", question},
                                               {"combined_text", tmpl},
                                               {"page_count", subject},
                                               {"question_count", "5"}});
    require(contains(user, question) && contains(user, tmpl), "the answersheet prompt lost a value");
}

void paper_report(Fields& in) {
    text::PaperReport report;
    report.subject = in.text();
    report.class_level = in.text();
    report.question_count = in.text();
    report.total_marks = in.text();
    while (!in.done() && report.questions.size() < 64) {
        text::PaperReportQuestion q;
        q.q_id = in.text();
        q.max_marks = in.text();
        q.text = in.text();
        q.reference_answer = in.text();
        report.questions.push_back(std::move(q));
    }
    const std::string out = text::render_paper_report(report);
    require(contains(out, report.subject) && contains(out, report.total_marks), "the paper report lost its head");
    for (const auto& q : report.questions) {
        require(contains(out, q.q_id) && contains(out, q.text) && contains(out, q.reference_answer),
                "the paper report lost a question");
    }
}

void sheet_report(Fields& in) {
    text::SheetReportHeader header{in.text(), in.text(), in.text(), in.text()};
    std::vector<text::SheetReportQuestion> questions;
    while (!in.done() && questions.size() < 64) {
        text::SheetReportQuestion q;
        q.q_id = in.text();
        q.max_marks = in.text();
        q.question_text = in.text();
        if (const auto pages = in.optional_text()) {
            text::SheetReportAnswer a;
            a.pages = *pages;
            a.text = in.text();
            a.awarded_marks = in.optional_text();
            a.total_marks = in.optional_text();
            a.feedback = in.optional_text();
            q.answer = std::move(a);
        }
        questions.push_back(std::move(q));
    }
    const std::string out = text::render_sheet_report(header, questions);
    require(contains(out, header.subject) && contains(out, header.attempted_questions),
            "the sheet report lost its head");
    for (const auto& q : questions) {
        require(contains(out, q.question_text), "the sheet report lost a question");
        if (q.answer) {
            require(contains(out, q.answer->text), "the sheet report lost an answer");
        }
    }
}

void usage(Fields& in) {
    const std::string task = in.text();
    const std::string model = in.text();
    const std::int64_t input = in.integer();
    const std::int64_t output = in.integer();
    const double cost = in.real();
    const std::string info = in.text();
    const std::string record = text::usage_record(task, model, input, output, cost, info);
    require(contains(record, "TASK: " + task + " | \n") && contains(record, "MODEL: " + model + " | \n"),
            "the usage record lost its task or model");
    require(contains(record, "INPUT_TOKENS: " + std::to_string(input) + " | \n"),
            "the usage record changed the input tokens");
    const std::string bare = text::usage_record(task, model, input, output, cost, "");
    require(record == (info.empty() ? bare : bare + " | INFO: " + info), "the usage record's info part is wrong");
    const std::string line = text::usage_console_line(task, input, output, cost);
    require(line.rfind("-> " + task + ": ", 0) == 0, "the console line lost its task");
    (void)text::call_cost(input, output);
}

void text_helpers(Fields& in) {
    const std::string layer = in.text();
    const std::size_t printable = ocr::count_printable(layer);
    require(printable <= layer.size(), "more printable characters than bytes");
    require(!ocr::is_real_text(layer) || printable >= ocr::kMinTextLayerChars, "a short text layer counted as real");

    const std::string subject = in.text();
    const std::string chosen = in.text();
    const std::string bits = in.text();
    ocr::Credentials found;
    const unsigned flags = bits.empty() ? 0 : static_cast<unsigned char>(bits[0]);
    found.mathpix = flags & 1;
    found.aws = flags & 2;
    found.gemini = flags & 4;
    found.openai = flags & 8;
    const std::string type = ocr::recommend_extractor(subject, chosen, found);
    require(ocr::is_extractor_type(type), "recommended an unknown extractor");

    const std::string languages = in.text();
    try {
        ocr::check_language_list(languages);
        require(!languages.empty() && !contains(languages, ".") && !contains(languages, "//"),
                "accepted a language list that can leave the data folder");
    } catch (const ocr::OcrError& error) {
        require(error.kind() == ocr::ErrorKind::bad_input, "a bad language list is not bad input");
    }

    const std::string bytes = in.text();
    const std::string encoded = ocr::base64_encode(bytes);
    require(encoded.size() == (bytes.size() + 2) / 3 * 4, "base64 of the wrong length");
    require(encoded.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") ==
                std::string::npos,
            "base64 outside its alphabet");
}

}  // namespace

void text_input(std::string_view bytes) {
    if (bytes.empty()) {
        return;
    }
    Fields in(bytes.substr(1));
    switch (static_cast<unsigned char>(bytes[0]) % 5) {
        case 0:
            return fill_prompt(in);
        case 1:
            return paper_report(in);
        case 2:
            return sheet_report(in);
        case 3:
            return usage(in);
        default:
            return text_helpers(in);
    }
}

}  // namespace tovrane::fuzz
