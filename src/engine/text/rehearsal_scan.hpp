// Line-level reading of OCR text for the rehearsal rules: labels, marks, words, scripts.
#pragma once

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tovrane::text::rehearsal::scan {

/// The lines of `text`, split at "\n" (a "\r" before it is dropped).
std::vector<std::string_view> lines_of(std::string_view text);

/// One line with Unicode blanks turned into spaces, runs collapsed, ends trimmed, and
/// OCR strays ('|', '•', '·', '»', '~') removed from both ends.
std::string clean_line(std::string_view line);

/// A label at the start of a line: a question number, sub-parts, or both.
struct Label {
    int number = 0;                       ///< 0 when the label has sub-parts only
    bool prefixed = false;                ///< "Q", "Q.", "Question", "Ans", "प्रश्न" before the number
    std::vector<std::string> parts;       ///< lower case: "a", "ii"
    std::vector<std::size_t> part_starts; ///< byte offset of each part in the line
    std::size_t end = 0;                  ///< first byte after the label and its blanks
};

/// The label that opens `line` (already cleaned), if any. Bare numbers need a '.' or ')'
/// ("3.", "3)") or a closed sub-part after them ("9 b)"); "1.5", "10:30" are no labels.
std::optional<Label> read_label(std::string_view line);

/// True for i, ii, ..., xii.
bool is_roman(std::string_view part);

/// Marks printed at the end of a line and where they start.
struct Marks {
    double value = 0.0;
    std::size_t begin = 0;
};
/// "[2 marks]", "(1 mark)", "(4)", "[2]", "(5M)", "2×3=6", "2x4", "5 marks", "[2 अंक]".
std::optional<Marks> read_marks(std::string_view line);

/// "SECTION A", "Section B (1 mark each)", "Part II", "खंड क".
bool is_section_header(std::string_view line);
/// The marks of each question that a section header or instruction line gives.
std::optional<double> marks_each(std::string_view line);
/// "General Instructions:", "Instructions", "निर्देश".
bool is_instructions_heading(std::string_view line);

/// Page numbers, "P.T.O.", "End of question paper", lines without a letter or digit.
/// Bare numbers count only where `lone_numbers` (a paper, not a sheet's working).
bool is_page_furniture(std::string_view line, bool lone_numbers);

/// Words in order: ASCII letters folded to lower case, split at blanks and punctuation.
std::vector<std::string> words_of(std::string_view text);
/// The comparable form of a word (simple English plural and tense endings removed), or
/// empty for a stop word or a single letter.
std::string key_of(std::string_view word);
/// The distinct keys of `text`.
std::set<std::string> keys_of(std::string_view text);

/// Scripts: 0 none or mixed, 1 Latin, else the first code point of an Indic block
/// (0x0900 Devanagari, 0x0980 Bengali, ...).
int script_of_line(std::string_view line);
int script_of_language(std::string_view language);

/// True when `line` has two or more key words and at least 60% of them are `known`, or it
/// is a running header made of '|'-separated fields.
bool looks_like_page_header(std::string_view line, const std::set<std::string>& known);

/// Lines joined as a reader would: a wrapped line continues with a blank, while items,
/// "Heading:" lines, working with '=', runs of very short lines and lines ending a
/// sentence well before the block's width keep their break.
std::string join_paragraphs(const std::vector<std::string>& lines);

/// Number of code points.
std::size_t length_of(std::string_view text);

}  // namespace tovrane::text::rehearsal::scan
