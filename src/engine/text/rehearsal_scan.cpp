#include "engine/text/rehearsal_scan.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>

namespace tovrane::text::rehearsal::scan {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowered(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = lower(c);
    return out;
}

bool starts_with_ci(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (lower(s[i]) != lower(prefix[i])) return false;
    return true;
}

/// The code point at `i` (advancing `i`); malformed bytes read as U+FFFD one at a time.
char32_t next_code_point(std::string_view s, std::size_t& i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b = byte(i);
    int extra = b < 0x80 ? 0 : (b >> 5) == 0x6 ? 1 : (b >> 4) == 0xE ? 2 : (b >> 3) == 0x1E ? 3 : -1;
    if (extra < 0 || i + extra >= s.size() + (extra ? 0 : 1)) {
        ++i;
        return extra == 0 ? b : 0xFFFD;
    }
    char32_t cp = extra == 0 ? b : b & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    i += extra + 1;
    return cp;
}

bool is_blank(char32_t cp) {
    return cp == ' ' || cp == '\t' || cp == '\r' || cp == '\f' || cp == '\v' || cp == 0xA0 ||
           (cp >= 0x2000 && cp <= 0x200B) || cp == 0x202F || cp == 0x205F || cp == 0x3000 ||
           cp == 0xFEFF;
}

bool is_stray(char32_t cp) { return cp == '|' || cp == 0x2022 || cp == 0xB7 || cp == 0xBB || cp == '~'; }

/// Punctuation and symbols that separate words; other non-ASCII code points are letters.
bool is_word_code_point(char32_t cp) {
    if (cp < 0x80) return is_digit(static_cast<char>(cp)) || is_alpha(static_cast<char>(cp));
    if (cp <= 0xBF || cp == 0xD7 || cp == 0xF7) return false;
    if (cp == 0x964 || cp == 0x965) return false;  // danda
    if (cp >= 0x2000 && cp <= 0x2BFF) return false;
    if (cp >= 0x3000 && cp <= 0x303F) return false;
    return cp != 0xFFFD && cp != 0xFEFF;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::size_t skip_spaces(std::string_view s, std::size_t i) {
    while (i < s.size() && s[i] == ' ') ++i;
    return i;
}

// Label prefixes, longest first within each family.
constexpr std::array<std::string_view, 9> kPrefixes = {
    "question", "ques", "que", "answer", "ans", "q", "प्रश्न", "उत्तर", "प्र"};

/// Reads a question number at `i`; OCR's l, I and O inside a prefixed number read as 1 and 0.
std::optional<int> read_number(std::string_view s, std::size_t& i, bool prefixed) {
    std::size_t k = i;
    int value = 0;
    bool real_digit = false;
    while (k < s.size() && k - i < 3) {
        char c = s[k];
        int d;
        if (is_digit(c)) {
            d = c - '0';
            real_digit = true;
        } else if (prefixed && (c == 'l' || c == 'I')) {
            d = 1;
        } else if (prefixed && c == 'O' && k > i) {
            d = 0;
        } else {
            break;
        }
        value = value * 10 + d;
        ++k;
    }
    if (k == i || value == 0) return std::nullopt;
    if (!real_digit && k - i > 1) return std::nullopt;
    if (k < s.size() && (is_digit(s[k]) || (!real_digit && is_alpha(s[k])))) return std::nullopt;
    i = k;
    return value;
}

/// A sub-part label at `i`: "(a)", "[a]", "a)", "(iv)".
std::optional<std::string> read_part(std::string_view s, std::size_t& i) {
    std::size_t k = i;
    bool opened = k < s.size() && (s[k] == '(' || s[k] == '[');
    if (opened) ++k;
    std::size_t start = k;
    while (k < s.size() && is_alpha(s[k]) && k - start < 5) ++k;
    if (k == start) return std::nullopt;
    std::string part = lowered(s.substr(start, k - start));
    if (part.size() > 1 && !is_roman(part)) return std::nullopt;
    if (k < s.size() && (s[k] == ')' || s[k] == ']')) {
        ++k;  // "(a)Wheat": OCR often loses the blank after a closed label
    } else if (opened && k < s.size() && s[k] == '.') {
        ++k;  // "(a." is an OCR slip of "(a)"; "a." alone reads as text
        if (k < s.size() && (is_alpha(s[k]) || is_digit(s[k]))) return std::nullopt;
    } else {
        return std::nullopt;
    }
    i = k;
    return part;
}

}  // namespace

std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        out.push_back(line);
        start = end + 1;
    }
    return out;
}

std::string clean_line(std::string_view line) {
    std::vector<char32_t> cps;
    for (std::size_t i = 0; i < line.size();) {
        char32_t cp = next_code_point(line, i);
        if (is_blank(cp)) cp = ' ';
        if (cp == ' ' && (cps.empty() || cps.back() == ' ')) continue;
        cps.push_back(cp);
    }
    std::size_t begin = 0, end = cps.size();
    while (begin < end && (cps[begin] == ' ' || is_stray(cps[begin]))) ++begin;
    while (end > begin && (cps[end - 1] == ' ' || is_stray(cps[end - 1]))) --end;
    std::string out;
    for (std::size_t k = begin; k < end; ++k) append_utf8(out, cps[k]);
    return out;
}

bool is_roman(std::string_view part) {
    static constexpr std::array<std::string_view, 12> kRomans = {
        "i", "ii", "iii", "iv", "v", "vi", "vii", "viii", "ix", "x", "xi", "xii"};
    std::string p = lowered(part);
    return std::find(kRomans.begin(), kRomans.end(), p) != kRomans.end();
}

std::optional<Label> read_label(std::string_view line) {
    Label label;
    std::size_t i = 0;
    for (std::string_view prefix : kPrefixes) {
        if (!starts_with_ci(line, prefix)) continue;
        std::size_t k = prefix.size();
        while (k < line.size() && (line[k] == '.' || line[k] == ':' || line[k] == '-' || line[k] == ' ')) ++k;
        std::size_t n = k;
        if (n < line.size() && (is_digit(line[n]) || line[n] == 'l' || line[n] == 'I')) {
            if (auto number = read_number(line, n, true)) {
                label.number = *number;
                label.prefixed = true;
                i = n;
            }
        }
        break;
    }
    bool delimited = label.prefixed;
    if (!label.prefixed && !line.empty() && is_digit(line[0])) {
        std::size_t n = 0;
        auto number = read_number(line, n, false);
        if (!number) return std::nullopt;
        if (n < line.size() && (line[n] == '.' || line[n] == ')')) {
            // Decimals, times and dates are not labels.
            if (n + 1 < line.size() && is_digit(line[n + 1])) return std::nullopt;
            delimited = true;
            ++n;
        } else if (n < line.size() && line[n] != ' ' && line[n] != '(' && !is_alpha(line[n])) {
            return std::nullopt;
        }
        label.number = *number;
        i = n;
    }
    if (label.number > 0) {
        // A letter glued to the number: "5a)", "Q5a".
        if (i + 1 <= line.size() && i < line.size() && line[i] >= 'a' && line[i] <= 'z' &&
            (i + 1 == line.size() || !is_alpha(line[i + 1]))) {
            label.parts.push_back(std::string(1, line[i]));
            label.part_starts.push_back(i);
            ++i;
            if (i < line.size() && (line[i] == ')' || line[i] == '.')) ++i, delimited = true;
        }
        if (label.prefixed)
            while (i < line.size() && (line[i] == '.' || line[i] == ')' || line[i] == ':' || line[i] == ',')) ++i;
        if (i < line.size() && line[i] != ' ' && line[i] != '(' && line[i] != '[' && !label.parts.empty()) {
            return std::nullopt;
        }
        i = skip_spaces(line, i);
    }
    for (;;) {
        std::size_t k = i;
        auto part = read_part(line, k);
        if (!part) break;
        label.parts.push_back(*part);
        label.part_starts.push_back(i);
        delimited = true;
        i = skip_spaces(line, k);
    }
    if (label.number == 0 && label.parts.empty()) return std::nullopt;
    if (!delimited) return std::nullopt;
    // Text glued to a number or letter ("Q5ab") is a word, not a label; after '.' or ')'
    // it is a lost blank ("Q3.Name").
    if (i > 0 && i < line.size() && (is_alpha(line[i]) || is_digit(line[i])) &&
        (is_alpha(line[i - 1]) || is_digit(line[i - 1]))) {
        return std::nullopt;
    }
    label.end = i;
    return label;
}

std::optional<Marks> read_marks(std::string_view line) {
    // Work backwards over the line's tail with a small grammar: [open] num [x num] [= num] [unit] [close].
    std::size_t end = line.size();
    while (end > 0 && (line[end - 1] == ' ' || line[end - 1] == '.' || line[end - 1] == ',' ||
                       line[end - 1] == ';' || line[end - 1] == '\'' || line[end - 1] == '"')) {
        --end;
    }
    std::string_view tail = line.substr(0, end);
    // The expression begins at most 24 bytes before the end.
    std::size_t from = tail.size() > 24 ? tail.size() - 24 : 0;
    for (std::size_t begin = from; begin < tail.size(); ++begin) {
        if (begin > 0 && tail[begin - 1] != ' ') continue;
        std::string_view expr = tail.substr(begin);
        bool bracketed = expr[0] == '[' || expr[0] == '(' || expr[0] == '{' || expr[0] == '|';
        std::size_t i = bracketed ? 1 : 0;
        auto read_num = [&](double& value) {
            i = skip_spaces(expr, i);
            std::size_t s = i;
            while (i < expr.size() && (is_digit(expr[i]) || expr[i] == '.')) ++i;
            if (i == s || expr[s] == '.') return false;
            value = std::strtod(std::string(expr.substr(s, i - s)).c_str(), nullptr);
            return true;
        };
        double first = 0.0;
        if (!read_num(first)) continue;
        double value = first;
        bool product = false;
        std::size_t save = skip_spaces(expr, i);
        std::string_view rest = expr.substr(save);
        std::size_t times = rest.rfind("×", 0) == 0 ? 2 : (!rest.empty() && (rest[0] == 'x' || rest[0] == 'X' || rest[0] == '*')) ? 1 : 0;
        if (times) {
            i = save + times;
            double second = 0.0;
            if (!read_num(second)) continue;
            value = first * second;
            product = true;
            save = skip_spaces(expr, i);
            if (save < expr.size() && expr[save] == '=') {
                i = save + 1;
                if (!read_num(value)) continue;
            }
        }
        i = skip_spaces(expr, i);
        bool unit = false;
        for (std::string_view u : {std::string_view("marks"), std::string_view("mark"), std::string_view("m"),
                                   std::string_view("अंक")}) {
            if (starts_with_ci(expr.substr(i), u) &&
                (i + u.size() == expr.size() || !is_alpha(expr[i + u.size()]))) {
                i += u.size();
                unit = true;
                break;
            }
        }
        i = skip_spaces(expr, i);
        if (bracketed) {
            if (i >= expr.size() || (expr[i] != ']' && expr[i] != ')' && expr[i] != '}' && expr[i] != '|')) continue;
            ++i;
        } else if (!product && !unit) {
            continue;  // a bare number at a line's end is text ("10 s", "in 1947")
        }
        if (i != expr.size()) continue;
        if (!std::isfinite(value) || value < 0 || value > 100) continue;
        return Marks{value, begin};
    }
    return std::nullopt;
}

bool is_section_header(std::string_view line) {
    for (std::string_view word : {std::string_view("section"), std::string_view("part"), std::string_view("खंड"),
                                  std::string_view("खण्ड"), std::string_view("भाग")}) {
        if (!starts_with_ci(line, word)) continue;
        std::size_t i = word.size();
        if (i < line.size() && is_alpha(line[i])) return false;  // "Particles", "Sectional"
        i = skip_spaces(line, i);
        while (i < line.size() && (line[i] == '-' || line[i] == ':')) ++i;
        i = skip_spaces(line, i);
        if (i >= line.size()) return false;
        std::size_t k = i;
        while (k < line.size() && line[k] != ' ' && line[k] != '(' && line[k] != ':' && line[k] != '-') ++k;
        std::string_view name = line.substr(i, k - i);
        if (name.empty() || name.size() > 4) return name.size() > 4 && static_cast<unsigned char>(name[0]) >= 0x80;
        bool letters = std::all_of(name.begin(), name.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
        bool digits = std::all_of(name.begin(), name.end(), is_digit);
        return letters || digits || is_roman(name) || static_cast<unsigned char>(name[0]) >= 0x80;
    }
    return false;
}

std::optional<double> marks_each(std::string_view line) {
    std::string low = lowered(line);
    std::size_t each = low.find("each");
    std::size_t hindi = low.find("प्रत्येक");
    if (each == std::string::npos && hindi == std::string::npos) return std::nullopt;
    // The number nearest before "mark(s) each" / "अंक", or after "प्रत्येक".
    for (std::string_view unit : {std::string_view("mark"), std::string_view("अंक")}) {
        std::size_t u = low.find(unit);
        while (u != std::string::npos) {
            std::size_t k = u;
            while (k > 0 && low[k - 1] == ' ') --k;
            std::size_t e = k;
            while (k > 0 && (is_digit(low[k - 1]) || low[k - 1] == '.')) --k;
            if (k < e) return std::strtod(low.substr(k, e - k).c_str(), nullptr);
            u = low.find(unit, u + 1);
        }
    }
    return std::nullopt;
}

bool is_instructions_heading(std::string_view line) {
    std::string low = lowered(line);
    return (low.find("instruction") != std::string::npos && length_of(line) < 40) ||
           low.find("निर्देश") != std::string::npos;
}

bool is_page_furniture(std::string_view line, bool lone_numbers) {
    std::string low = lowered(line);
    bool any_letter = false, any_digit = false;
    for (std::size_t i = 0; i < line.size();) {
        char32_t cp = next_code_point(line, i);
        if (cp < 0x80 && is_digit(static_cast<char>(cp))) any_digit = true;
        else if (is_word_code_point(cp)) any_letter = true;
    }
    if (!any_letter) return !any_digit || lone_numbers;
    std::string squeezed;
    for (char c : low)
        if (c != ' ' && c != '.' && c != '-' && c != '*' && c != '_') squeezed += c;
    if (squeezed == "pto" || squeezed == "turnover" || squeezed == "pleaseturnover") return true;
    if (squeezed.rfind("endof", 0) == 0 && squeezed.find("paper") != std::string::npos) return true;
    // "Page 2", "Page No. 2", "Page 1 of 2", "Page 2/4".
    if (squeezed.rfind("page", 0) == 0) {
        std::string_view rest(squeezed);
        rest.remove_prefix(4);
        if (rest.rfind("no", 0) == 0) rest.remove_prefix(2);
        std::size_t k = 0;
        while (k < rest.size() && is_digit(rest[k])) ++k;
        if (k == 0) return false;
        rest.remove_prefix(k);
        if (rest.rfind("of", 0) == 0) rest.remove_prefix(2);
        else if (rest.rfind("/", 0) == 0) rest.remove_prefix(1);
        return std::all_of(rest.begin(), rest.end(), is_digit);
    }
    return false;
}

std::vector<std::string> words_of(std::string_view text) {
    std::vector<std::string> out;
    std::string word;
    for (std::size_t i = 0; i < text.size();) {
        char32_t cp = next_code_point(text, i);
        if (is_word_code_point(cp)) {
            if (cp < 0x80) word += lower(static_cast<char>(cp));
            else append_utf8(word, cp);
        } else if (!word.empty()) {
            out.push_back(std::move(word));
            word.clear();
        }
    }
    if (!word.empty()) out.push_back(std::move(word));
    return out;
}

std::string key_of(std::string_view word) {
    static const std::set<std::string, std::less<>> kStopWords = {
        // English
        "a", "about", "after", "all", "also", "an", "and", "any", "are", "as", "at", "be", "been", "before",
        "being", "both", "but", "by", "can", "could", "did", "do", "does", "each", "few", "for", "from",
        "give", "had", "has", "have", "he", "her", "here", "his", "how", "i", "if", "in", "into", "is", "it",
        "its", "just", "many", "may", "me", "more", "most", "much", "my", "no", "not", "of", "on", "one",
        "only", "or", "other", "our", "out", "over", "same", "she", "should", "so", "some", "such", "than",
        "that", "the", "their", "them", "then", "there", "these", "they", "this", "those", "through", "to",
        "too", "two", "under", "up", "upon", "us", "very", "was", "we", "were", "what", "when", "where",
        "which", "while", "who", "whom", "why", "will", "with", "would", "you", "your",
        // Hindi function words
        "का", "की", "के", "को", "में", "से", "पर", "है", "हैं", "था", "थी", "थे", "और", "या", "एक", "यह", "वह",
        "ये", "वे", "इस", "उस", "भी", "तो", "कि", "ने", "लिए", "हो", "जो", "कर", "करें", "किस", "क्या"};
    std::string w(word);
    if (w.size() < 2 || kStopWords.count(w)) return {};
    bool ascii = std::all_of(w.begin(), w.end(), [](char c) { return is_alpha(c); });
    if (!ascii || w.size() <= 4) return w;
    auto strip = [&](std::string_view suffix, std::string_view with = {}) {
        if (w.size() > suffix.size() + 2 && w.compare(w.size() - suffix.size(), suffix.size(), suffix) == 0) {
            w.resize(w.size() - suffix.size());
            w += with;
            return true;
        }
        return false;
    };
    if (strip("ies", "y") || strip("ing") || strip("ed") || strip("es")) return w;
    if (w.back() == 's' && w[w.size() - 2] != 's') w.pop_back();
    else if (w.back() == 'e') w.pop_back();  // "increase" meets "increases"
    return w;
}

std::set<std::string> keys_of(std::string_view text) {
    std::set<std::string> out;
    for (const std::string& word : words_of(text)) {
        std::string key = key_of(word);
        if (!key.empty()) out.insert(std::move(key));
    }
    return out;
}

int script_of_line(std::string_view line) {
    int latin = 0, indic = 0, block = 0;
    bool mixed_indic = false;
    for (std::size_t i = 0; i < line.size();) {
        char32_t cp = next_code_point(line, i);
        if (cp < 0x80 && is_alpha(static_cast<char>(cp))) {
            ++latin;
        } else if (cp >= 0x900 && cp < 0xD80) {
            int b = static_cast<int>(cp & ~0x7Fu);
            if (block && b != block) mixed_indic = true;
            block = b;
            ++indic;
        }
    }
    if (latin == 0 && indic == 0) return 0;
    if (indic == 0) return 1;
    if (latin == 0 && !mixed_indic) return block;
    if (!mixed_indic && indic >= 4 * latin) return block;
    if (latin >= 4 * indic) return 1;
    return 0;
}

int script_of_language(std::string_view language) {
    struct Entry {
        std::string_view name;
        int script;
    };
    static constexpr std::array<Entry, 16> kScripts = {{
        {"english", 1},      {"hindi", 0x900},    {"marathi", 0x900},  {"sanskrit", 0x900},
        {"nepali", 0x900},   {"konkani", 0x900},  {"bengali", 0x980},  {"bangla", 0x980},
        {"assamese", 0x980}, {"punjabi", 0xA00},  {"gujarati", 0xA80}, {"odia", 0xB00},
        {"oriya", 0xB00},    {"tamil", 0xB80},    {"telugu", 0xC00},   {"kannada", 0xC80},
    }};
    std::string low = lowered(language);
    if (low.find("malayalam") != std::string::npos) return 0xD00;
    for (const Entry& entry : kScripts)
        if (low.find(entry.name) != std::string::npos) return entry.script;
    return 0;
}

bool looks_like_page_header(std::string_view line, const std::set<std::string>& known) {
    if (std::count(line.begin(), line.end(), '|') >= 2) return true;
    std::set<std::string> keys = keys_of(line);
    if (keys.size() < 2) return false;
    std::size_t hits = 0;
    for (const std::string& key : keys) hits += known.count(key);
    return hits * 5 >= keys.size() * 3;
}

std::size_t length_of(std::string_view text) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size();) {
        next_code_point(text, i);
        ++n;
    }
    return n;
}

namespace {

bool ends_sentence(std::string_view line) {
    while (!line.empty() && (line.back() == '"' || line.back() == '\'' || line.back() == ')')) line.remove_suffix(1);
    if (line.empty()) return false;
    char c = line.back();
    return c == '.' || c == '?' || c == '!' || line.ends_with("।") || line.ends_with("॥");
}

/// "Examples:", "Modern method:", "Ans:" at the start of a line.
bool starts_heading(std::string_view line) {
    if (line.empty() || !(line[0] >= 'A' && line[0] <= 'Z')) return false;
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon > 24) return false;
    std::string_view head = line.substr(0, colon);
    return std::count(head.begin(), head.end(), ' ') <= 2 &&
           std::all_of(head.begin(), head.end(), [](char c) { return is_alpha(c) || c == ' '; });
}

}  // namespace

std::string join_paragraphs(const std::vector<std::string>& lines) {
    std::size_t width = 0;
    for (const std::string& line : lines) width = std::max(width, length_of(line));
    std::string out;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        if (k > 0) {
            const std::string& prev = lines[k - 1];
            const std::string& next = lines[k];
            bool list = length_of(prev) < 12 && length_of(next) < 12;  // "a - i", "b - ii"
            bool keep = list || read_label(next).has_value() || starts_heading(next) ||
                        prev.find('=') != std::string::npos || next.find('=') != std::string::npos ||
                        (ends_sentence(prev) && length_of(prev) * 5 < width * 4);
            out += keep ? '\n' : ' ';
        }
        out += lines[k];
    }
    return out;
}

}  // namespace tovrane::text::rehearsal::scan
