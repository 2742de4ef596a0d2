#include "engine/text/rehearsal.hpp"

#include "engine/text/model_broker_texts.hpp"
#include "engine/text/rehearsal_scan.hpp"
#include "engine/text/rehearsal_texts.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <set>

namespace tovrane::text::rehearsal {


using namespace fmt::literals;

namespace {

// ---- JSON out -------------------------------------------------------------------------------

/// Appends `s` as a JSON string. Lone surrogates (carried CESU-8 style) become \u escapes,
/// any other malformed byte U+FFFD, so the answer is always valid UTF-8 JSON.
void put_string(std::string& out, std::string_view s) {
    out += '"';
    for (std::size_t i = 0; i < s.size();) {
        auto b = static_cast<unsigned char>(s[i]);
        auto cont = [&](std::size_t k) { return k < s.size() && (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80; };
        if (b < 0x80) {
            if (b == '"' || b == '\\') {
                out += '\\';
                out += static_cast<char>(b);
            } else if (b < 0x20) {
                switch (b) {
                    case '\n': out += "\\n"; break;
                    case '\r': out += "\\r"; break;
                    case '\t': out += "\\t"; break;
                    default: out += fmt::format("\\u{:04x}", b);
                }
            } else {
                out += static_cast<char>(b);
            }
            ++i;
            continue;
        }
        int extra = (b >> 5) == 0x6 ? 1 : (b >> 4) == 0xE ? 2 : (b >> 3) == 0x1E ? 3 : 0;
        bool whole = extra > 0;
        for (int k = 1; k <= extra && whole; ++k) whole = cont(i + k);
        if (!whole) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        if (b == 0xED && static_cast<unsigned char>(s[i + 1]) >= 0xA0) {
            unsigned cp = 0xD000u | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6) |
                          (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
            out += fmt::format("\\u{:04x}", cp);
        } else {
            out.append(s.substr(i, extra + 1));
        }
        i += extra + 1;
    }
    out += '"';
}

/// One JSON object, written field by field in the response model's order; closed when the
/// writer goes out of scope.
class Object {
public:
    explicit Object(std::string& out) : out_(out) { out_ += '{'; }
    ~Object() { out_ += '}'; }
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    Object& text(std::string_view key, std::string_view value) {
        put_string(field(key), value);
        return *this;
    }
    Object& number(std::string_view key, double value) {
        field(key) += std::isfinite(value) ? fmt::format("{}", value) : "0";
        return *this;
    }
    Object& integers(std::string_view key, const std::vector<int>& values) {
        std::string& out = field(key);
        out += '[';
        for (std::size_t k = 0; k < values.size(); ++k) {
            if (k) out += ',';
            out += std::to_string(values[k]);
        }
        out += ']';
        return *this;
    }
    /// A list of objects, each written by `put(Object&, item)`.
    template <typename Items, typename Put>
    Object& objects(std::string_view key, const Items& items, Put put) {
        std::string& out = field(key);
        out += '[';
        for (std::size_t k = 0; k < items.size(); ++k) {
            if (k) out += ',';
            Object item(out);
            put(item, items[k]);
        }
        out += ']';
        return *this;
    }

private:
    std::string& field(std::string_view key) {
        if (!first_) out_ += ',';
        first_ = false;
        put_string(out_, key);
        out_ += ':';
        return out_;
    }

    std::string& out_;
    bool first_ = true;
};

// ---- Prompts read back ----------------------------------------------------------------------

std::string_view after_prefix(std::string_view text, std::string_view prefix) {
    return text.starts_with(prefix) ? text.substr(prefix.size()) : text;
}

double number_of(std::string_view text) {
    std::string s(text);
    char* end = nullptr;
    double value = std::strtod(s.c_str(), &end);
    return end == s.c_str() || !std::isfinite(value) ? 0.0 : value;
}

std::string trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\n')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\n')) s.remove_suffix(1);
    return std::string(s);
}

/// Cuts `text` to at most `limit` code points at a blank, marking the cut.
std::string shortened(const std::string& text, std::size_t limit) {
    if (scan::length_of(text) <= limit) return text;
    std::size_t bytes = 0;
    for (std::size_t n = 0; n < limit && bytes < text.size(); ++n) {
        ++bytes;
        while (bytes < text.size() && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) ++bytes;
    }
    std::size_t blank = text.rfind(' ', bytes);
    if (blank != std::string::npos && blank > bytes / 2) bytes = blank;
    return text.substr(0, bytes) + "…";
}

// ---- Rubric and reference answer ------------------------------------------------------------

/// The sentences and lines of a question, labels and printed marks removed.
std::vector<std::string> points_of(std::string_view question) {
    std::vector<std::string> points;
    for (std::string_view raw : scan::lines_of(question)) {
        std::string line = scan::clean_line(raw);
        if (auto label = scan::read_label(line)) line = line.substr(label->end);
        if (auto marks = scan::read_marks(line)) line = trimmed(std::string_view(line).substr(0, marks->begin));
        std::size_t start = 0;
        for (std::size_t i = 0; i <= line.size(); ++i) {
            bool stop = i == line.size();
            std::size_t next = i + 1;
            if (!stop && (line[i] == '.' || line[i] == '?' || line[i] == '!') && i + 1 < line.size() && line[i + 1] == ' ') {
                stop = true;
            } else if (!stop && line.compare(i, 4, "। ") == 0) {
                stop = true;
                next = i + 3;
            }
            if (!stop) continue;
            std::string point = trimmed(std::string_view(line).substr(start, next - start));
            if (!scan::keys_of(point).empty()) points.push_back(shortened(point, 160));
            start = next;
            i = next - 1;
        }
    }
    return points;
}

}  // namespace

std::vector<Criterion> make_rubric(std::string_view question, double max_marks) {
    std::vector<Criterion> criteria;
    if (!std::isfinite(max_marks) || max_marks <= 0.0) return criteria;
    double whole = std::floor(max_marks + 1e-9);
    double fraction = max_marks - whole;
    std::size_t count = static_cast<std::size_t>(std::min<double>(whole, kMaxCriteria)) + (fraction > 1e-9 ? 1 : 0);
    std::vector<double> marks;
    if (whole + (fraction > 1e-9) > kMaxCriteria) {
        count = kMaxCriteria;
        double share = max_marks / kMaxCriteria;
        marks.assign(count, share);
        marks.back() = max_marks - share * (kMaxCriteria - 1);
    } else {
        marks.assign(static_cast<std::size_t>(whole), 1.0);
        if (fraction > 1e-9) marks.push_back(fraction);
    }
    std::vector<std::string> points = points_of(question);
    for (std::size_t i = 0; i < count; ++i) {
        std::string statement;
        if (i < points.size()) {
            std::string point = points[i];
            if (i + 1 == count)
                for (std::size_t k = i + 1; k < points.size(); ++k) point += " " + points[k];
            statement = fmt::format(kCoversPoint, "point"_a = shortened(point, 240));
        } else if (std::size_t extra = i - points.size(); extra < kExtraCriteria.size()) {
            statement = kExtraCriteria[extra];
        } else {
            statement = fmt::format(kFurtherDetail, "n"_a = extra - kExtraCriteria.size() + 1);
        }
        criteria.push_back({std::move(statement), marks[i]});
    }
    return criteria;
}

std::string make_reference_answer(std::string_view question, const std::vector<Criterion>& rubric) {
    std::set<std::string> template_keys = scan::keys_of(kCoversPoint);
    for (std::string_view extra : kExtraCriteria) template_keys.merge(scan::keys_of(extra));
    template_keys.merge(scan::keys_of(kFurtherDetail));

    std::vector<std::string> words;
    std::set<std::string> seen;
    auto take = [&](std::string_view text, bool skip_template) {
        for (const std::string& word : scan::words_of(text)) {
            std::string key = scan::key_of(word);
            if (key.empty() || (skip_template && template_keys.count(key)) || !seen.insert(key).second) continue;
            words.push_back(word);
        }
    };
    take(question, false);
    for (const Criterion& criterion : rubric) take(criterion.statement, true);
    std::string text(kReferencePrefix);
    if (words.empty()) return text + "-";
    for (std::size_t k = 0; k < words.size(); ++k) {
        if (k) text += ", ";
        text += words[k];
    }
    return text + ".";
}

Evaluation evaluate(std::string_view student_answer, std::string_view reference_answer,
                    const std::vector<Criterion>& rubric) {
    std::set<std::string> reference = scan::keys_of(after_prefix(reference_answer, kReferencePrefix));
    std::set<std::string> student = scan::keys_of(student_answer);
    std::size_t used = 0;
    for (const std::string& key : reference) used += student.count(key);
    double share = reference.empty() ? 0.0 : static_cast<double>(used) / static_cast<double>(reference.size());
    std::size_t count = rubric.size();
    auto met = std::min(count, static_cast<std::size_t>(std::floor(share * static_cast<double>(count) + 0.5)));

    Evaluation result;
    for (std::size_t k = 0; k < met; ++k) {
        result.fulfilled.push_back(static_cast<int>(k));
        result.awarded_marks += rubric[k].mark;
    }
    result.feedback = fmt::format(kFeedbackScore, "used"_a = used, "total"_a = reference.size(), "met"_a = met,
                                  "count"_a = count);
    result.feedback += ' ';
    result.feedback += count > 0 && met == count ? kFeedbackAllMet : met == 0 ? kFeedbackNoneMet : kFeedbackSomeMet;
    return result;
}

// ---- Prompts read back ----------------------------------------------------------------------

std::optional<std::vector<std::string>> unfill(std::string_view tmpl, std::string_view text,
                                               const std::vector<std::string_view>& names) {
    // The template as literal pieces between placeholders.
    std::vector<std::string_view> literals;
    std::vector<std::size_t> slots;
    std::size_t from = 0;
    for (std::size_t i = 0; i < tmpl.size(); ++i) {
        if (tmpl[i] != '{') continue;
        for (std::size_t n = 0; n < names.size(); ++n) {
            std::string_view name = names[n];
            if (tmpl.compare(i + 1, name.size(), name) == 0 && i + 1 + name.size() < tmpl.size() &&
                tmpl[i + 1 + name.size()] == '}') {
                literals.push_back(tmpl.substr(from, i - from));
                slots.push_back(n);
                from = i + name.size() + 2;
                i = from - 1;
                break;
            }
        }
    }
    literals.push_back(tmpl.substr(from));

    if (!text.starts_with(literals.front())) return std::nullopt;
    std::vector<std::optional<std::string>> found(names.size());
    std::size_t pos = literals.front().size();
    for (std::size_t k = 0; k < slots.size(); ++k) {
        std::string_view next = literals[k + 1];
        std::size_t end;
        if (k + 1 == slots.size()) {
            if (text.size() < pos + next.size() || !text.ends_with(next)) return std::nullopt;
            end = text.size() - next.size();
        } else {
            end = text.find(next, pos);
            if (end == std::string_view::npos) return std::nullopt;
        }
        if (!found[slots[k]]) found[slots[k]] = std::string(text.substr(pos, end - pos));
        pos = end + next.size();
    }
    std::vector<std::string> values;
    for (auto& value : found) values.push_back(value.value_or(std::string()));
    return values;
}

Pages read_pages(std::string_view combined) {
    static constexpr std::string_view kHead = "\n--- Page ";
    static constexpr std::string_view kTail = " ---\n";
    Pages pages;
    std::size_t pos = combined.find(kHead);
    while (pos != std::string_view::npos) {
        std::size_t key_begin = pos + kHead.size();
        std::size_t key_end = combined.find(kTail, key_begin);
        if (key_end == std::string_view::npos) break;
        std::string_view key = combined.substr(key_begin, key_end - key_begin);
        int number = static_cast<int>(pages.size()) + 1;
        if (!key.empty() && key.size() < 9 && std::all_of(key.begin(), key.end(), [](char c) { return c >= '0' && c <= '9'; }))
            number = std::atoi(std::string(key).c_str());
        std::size_t text_begin = key_end + kTail.size();
        std::size_t next = combined.find(std::string("\n") + std::string(kHead), text_begin);
        std::size_t text_end = next != std::string_view::npos ? next
                               : combined.ends_with('\n') && combined.size() > text_begin ? combined.size() - 1
                                                                                         : combined.size();
        pages.emplace_back(number, std::string(combined.substr(text_begin, text_end - text_begin)));
        pos = next == std::string_view::npos ? next : next + 1;
    }
    return pages;
}

std::vector<std::string> read_question_ids(std::string_view question_lines) {
    std::vector<std::string> ids;
    bool after_blank = true;
    for (std::string_view line : scan::lines_of(question_lines)) {
        if (after_blank && line.starts_with("- ")) {
            std::size_t colon = line.find(": ", 2);
            if (colon == std::string_view::npos && line.ends_with(":")) colon = line.size() - 1;
            if (colon != std::string_view::npos && colon > 2) {
                std::string id(line.substr(2, colon - 2));
                if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(std::move(id));
            }
        }
        after_blank = line.empty();
    }
    return ids;
}

std::vector<Criterion> read_criteria(std::string_view lines, bool indexed) {
    static constexpr std::string_view kEnd = " marks)";
    std::vector<std::string> entries;
    for (std::string_view line : scan::lines_of(lines)) {
        std::string opening = indexed ? std::to_string(entries.size()) + ": " : std::string("- ");
        bool complete = entries.empty() || std::string_view(entries.back()).ends_with(kEnd);
        if (complete && line.starts_with(opening)) {
            entries.emplace_back(line.substr(opening.size()));
        } else if (!entries.empty()) {
            entries.back() += '\n';
            entries.back() += line;
        }
    }
    std::vector<Criterion> criteria;
    for (const std::string& entry : entries) {
        std::string_view text(entry);
        std::size_t open = text.ends_with(kEnd) ? text.rfind(" (") : std::string_view::npos;
        if (open == std::string_view::npos) {
            criteria.push_back({entry, 0.0});
            continue;
        }
        std::string_view mark = text.substr(open + 2, text.size() - kEnd.size() - open - 2);
        criteria.push_back({std::string(text.substr(0, open)), number_of(mark)});
    }
    return criteria;
}

// ---- One request ----------------------------------------------------------------------------

namespace {

std::vector<std::string> read_prompt(std::string_view schema, std::string_view tmpl, std::string_view user,
                                     const std::vector<std::string_view>& names) {
    auto values = unfill(tmpl, user, names);
    if (!values) throw RehearsalError(fmt::format(kUnknownPrompt, "name"_a = schema));
    return *values;
}

// Each answer fills exactly the fields of its response model, in their order.

std::string question_paper_answer(const std::vector<std::string>& v) {  // subject, language, combined_text
    std::string out;
    Object(out).objects("questions", parse_question_paper(read_pages(v[2]), v[1]),
                        [](Object& o, const PaperQuestion& q) {
                            o.text("q_id", q.q_id).text("question_text", q.text).number("max_marks", q.max_marks);
                        });
    return out;
}

std::string rubric_answer(const std::vector<std::string>& v) {  // question, max_marks
    std::string out;
    Object(out).objects("criteria", make_rubric(v[0], number_of(v[1])), [](Object& o, const Criterion& c) {
        o.text("statement", c.statement).number("mark", c.mark);
    });
    return out;
}

std::string reference_answer(const std::vector<std::string>& v) {  // question, criteria_lines
    std::string out;
    Object(out).text("reference_answer", make_reference_answer(v[0], read_criteria(v[1], false)));
    return out;
}

std::string answer_key_answer(const std::vector<std::string>& v) {  // question_lines, combined_text
    std::vector<SheetAnswer> answers = split_answers(read_pages(v[1]), read_question_ids(v[0]));
    std::erase_if(answers, [](const SheetAnswer& a) { return a.q_id == kUnknownId; });
    std::string out;
    Object(out).objects("reference_answers", answers, [](Object& o, const SheetAnswer& a) {
        o.text("q_id", a.q_id).text("reference_answer", a.text);
    });
    return out;
}

std::string answersheet_answer(const std::vector<std::string>& v) {  // question_lines, combined_text
    std::string out;
    Object(out).objects("answers", split_answers(read_pages(v[1]), read_question_ids(v[0])),
                        [](Object& o, const SheetAnswer& a) {
                            o.text("q_id", a.q_id).text("answer_text", a.text).integers("page_numbers", a.pages);
                        });
    return out;
}

std::string evaluation_answer(const std::vector<std::string>& v) {  // reference_answer, student_answer, criteria_lines
    Evaluation result = evaluate(v[1], v[0], read_criteria(v[2], true));
    std::string out;
    Object(out)
        .integers("fulfilled_criteria", result.fulfilled)
        .number("awarded_marks", result.awarded_marks)
        .text("feedback", result.feedback);
    return out;
}

}  // namespace

std::string answer(std::string_view schema, const std::vector<Message>& messages) {
    auto user = std::find_if(messages.rbegin(), messages.rend(), [](const Message& m) { return m.role == "user"; });
    auto need_user = [&]() -> std::string_view {
        if (user == messages.rend()) throw RehearsalError(std::string(kNoUserMessage));
        return user->content;
    };
    using P = std::vector<std::string_view>;
    if (schema == "QuestionPaperResponse") {
        auto v = read_prompt(schema, model_broker::kQuestionPaperUser, need_user(), P{"subject", "language", "combined_text"});
        return question_paper_answer(v);
    }
    if (schema == "RubricResponse") {
        auto v = read_prompt(schema, model_broker::kRubricUser, need_user(),
                             P{"question", "max_marks", "reference_answer_text", "class_level", "subject"});
        return rubric_answer(v);
    }
    if (schema == "ReferenceAnswerResponse") {
        auto v = read_prompt(schema, model_broker::kRefAnswerUser, need_user(),
                             P{"question", "criteria_lines", "class_level", "subject"});
        return reference_answer(v);
    }
    if (schema == "ReferenceAnswerKeysResponse") {
        auto v = read_prompt(schema, model_broker::kAnswerKeyUser, need_user(), P{"question_lines", "combined_text"});
        return answer_key_answer(v);
    }
    if (schema == "AnswersheetResponse") {
        auto v = read_prompt(schema, model_broker::kAnswersheetUser, need_user(), P{"question_lines", "combined_text"});
        return answersheet_answer(v);
    }
    if (schema == "EvaluationResponse") {
        auto v = read_prompt(schema, model_broker::kEvaluationUser, need_user(),
                             P{"reference_answer", "student_answer", "criteria_lines", "question"});
        return evaluation_answer(v);
    }
    throw RehearsalError(fmt::format(kUnknownSchema, "name"_a = schema));
}

}  // namespace tovrane::text::rehearsal
