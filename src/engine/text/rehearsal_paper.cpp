// Question paper rules of the rehearsal model: numbering, sub-parts and printed marks.
#include "engine/text/rehearsal.hpp"
#include "engine/text/rehearsal_scan.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <set>

namespace tovrane::text::rehearsal {

namespace {

using scan::Label;

/// A question or one of its sub-parts, with the lines printed under it.
struct Node {
    int number = 0;                  // question number (roots only)
    std::string part;                // "a", "ii"; empty for a question
    bool roman = false;
    std::vector<std::string> lines;  // the first line opens with the label
    std::size_t label_end = 0;       // bytes of the label in lines[0]
    std::optional<double> marks;
    std::optional<double> each;      // marks of each question in its section
    std::vector<int> children;
    int last_letter = -1;            // latest lettered child, parent of roman parts
};

std::string trimmed(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return std::string(s);
}

class PaperReader {
public:
    explicit PaperReader(std::string_view language) : script_(scan::script_of_language(language)) {}

    void read(const Pages& pages) {
        q_style_ = uses_q_numbering(pages);
        for (std::size_t p = 0; p < pages.size(); ++p) {
            int top_lines = p == 0 ? 2 : 0;  // lines at the top of a later page that may be a running header
            for (std::string_view raw : scan::lines_of(pages[p].second)) {
                std::string line = scan::clean_line(raw);
                if (line.empty()) continue;
                auto label = scan::read_label(line);
                if (!label && top_lines < 2) {
                    ++top_lines;
                    if (scan::looks_like_page_header(line, preamble_)) continue;
                } else if (label) {
                    top_lines = 2;
                }
                read_line(line, label, p == 0);
            }
        }
    }

    std::vector<PaperQuestion> questions() const {
        std::vector<PaperQuestion> out;
        std::map<std::string, std::size_t> seen;
        for (std::size_t n = 0; n < nodes_.size(); ++n) {
            if (!nodes_[n].part.empty()) continue;
            std::string id(1, 'Q');  // built stepwise: g++ 12 misreads "Q" + to_string as overlapping
            id += std::to_string(nodes_[n].number);
            emit(static_cast<int>(n), id, out, seen);
        }
        return out;
    }

private:
    static bool uses_q_numbering(const Pages& pages) {
        for (const auto& page : pages)
            for (std::string_view raw : scan::lines_of(page.second)) {
                auto label = scan::read_label(scan::clean_line(raw));
                if (label && label->prefixed) return true;
            }
        return false;
    }

    void read_line(std::string line, const std::optional<Label>& label, bool first_page) {
        auto marks = scan::read_marks(line);
        if (marks && marks->begin == 0) {  // marks alone on a line belong to the part above
            if (current_ >= 0 && !in_instructions_) nodes_[current_].marks = marks->value;
            return;
        }
        if (scan::is_page_furniture(line, true)) return;
        if (!label && scan::is_section_header(line)) {
            section_each_ = scan::marks_each(line);
            in_section_ = true;
            in_instructions_ = false;
            current_ = -1;  // a section's own directions belong to no question
            return;
        }
        if (!label && current_ < 0 && scan::is_instructions_heading(line)) {
            in_instructions_ = true;
            return;
        }
        if (label && label->number > 0 && opens_question(*label)) {
            in_instructions_ = false;
            open_question(*label, cut_marks(line, marks), marks);
            return;
        }
        if (in_instructions_) return;
        if (label && label->number == 0 && current_ >= 0) {
            open_parts(*label, 0, root_of(current_), cut_marks(line, marks), marks);
            return;
        }
        if (current_ < 0 && in_section_) {
            // A section's own directions: "Questions 1 to 4 carry 1 mark each."
            if (auto each = scan::marks_each(line)) section_each_ = each;
            return;
        }
        if (current_ >= 0) {
            std::string text = cut_marks(line, marks);
            if (!text.empty()) nodes_[current_].lines.push_back(std::move(text));
            if (marks) nodes_[current_].marks = marks->value;
        } else if (first_page && roots_ == 0) {
            for (const std::string& key : scan::keys_of(line)) preamble_.insert(key);
        }
    }

    /// Whether a numbered line starts a question; bare numbers count only in papers without
    /// "Q" numbering, and only upwards (a list inside a question restarts at 1).
    bool opens_question(const Label& label) {
        if (label.prefixed) return !used_numbers_.count(label.number);
        if (q_style_) return false;
        if (in_instructions_) {
            if (label.number > instruction_number_) {
                instruction_number_ = label.number;
                return false;
            }
            return true;  // the numbering restarts: the questions begin
        }
        if (label.number == 1 && last_number_ >= 1 && !any_marks()) {
            // What came before was numbered instructions without a heading.
            nodes_.clear();
            used_numbers_.clear();
            roots_ = 0;
            return true;
        }
        return last_number_ == 0 || (label.number > last_number_ && label.number <= last_number_ + 3);
    }

    bool any_marks() const {
        return std::any_of(nodes_.begin(), nodes_.end(), [](const Node& n) { return n.marks.has_value(); });
    }

    static std::string cut_marks(const std::string& line, const std::optional<scan::Marks>& marks) {
        return marks ? trimmed(std::string_view(line).substr(0, marks->begin)) : line;
    }

    void open_question(const Label& label, const std::string& line, const std::optional<scan::Marks>& marks) {
        Node root;
        root.number = label.number;
        root.each = section_each_;
        std::size_t own_end = label.parts.empty() ? line.size() : std::min(label.part_starts[0], line.size());
        root.lines.push_back(trimmed(std::string_view(line).substr(0, own_end)));
        root.label_end = std::min(label.end, root.lines[0].size());
        nodes_.push_back(std::move(root));
        current_ = static_cast<int>(nodes_.size()) - 1;
        used_numbers_.insert(label.number);
        last_number_ = label.number;
        ++roots_;
        if (!label.parts.empty()) {
            open_parts(label, 0, current_, line, marks);
        } else if (marks) {
            nodes_[current_].marks = marks->value;
        }
    }

    /// Opens the sub-parts of `label` from its part `first` on, under question `root`.
    void open_parts(const Label& label, std::size_t first, int root, const std::string& line,
                    const std::optional<scan::Marks>& marks) {
        for (std::size_t k = first; k < label.parts.size(); ++k) {
            const std::string& part = label.parts[k];
            Node& r = nodes_[root];
            bool letter = !scan::is_roman(part) ||
                          (r.last_letter >= 0 && next_letter(nodes_[r.last_letter].part) == part);
            int parent = letter || r.last_letter < 0 ? root : r.last_letter;
            Node node;
            node.part = part;
            node.roman = !letter;
            node.each = r.each;
            bool last = k + 1 == label.parts.size();
            std::size_t begin = std::min(label.part_starts[k], line.size());
            std::size_t end = last ? line.size() : std::min(label.part_starts[k + 1], line.size());
            node.lines.push_back(trimmed(std::string_view(line).substr(begin, end - begin)));
            node.label_end = last ? std::min(label.end - begin, node.lines[0].size()) : node.lines[0].size();
            nodes_.push_back(std::move(node));
            int index = static_cast<int>(nodes_.size()) - 1;
            nodes_[parent].children.push_back(index);
            if (letter) nodes_[root].last_letter = index;
            current_ = index;
        }
        if (marks) nodes_[current_].marks = marks->value;
    }

    static std::string next_letter(const std::string& part) {
        return part.size() == 1 && part[0] < 'z' ? std::string(1, static_cast<char>(part[0] + 1)) : std::string();
    }

    int root_of(int n) const {
        // Roots precede their parts; the nearest root at or before `n` owns it.
        while (n > 0 && !nodes_[n].part.empty()) --n;
        return n;
    }

    bool has_marks(int n) const {
        const Node& node = nodes_[n];
        return node.marks || std::any_of(node.children.begin(), node.children.end(), [&](int c) { return has_marks(c); });
    }

    double total(int n) const {
        const Node& node = nodes_[n];
        if (node.marks) return *node.marks;
        double sum = 0.0;
        for (int c : node.children) sum += total(c);
        return sum;
    }

    void emit(int n, const std::string& id, std::vector<PaperQuestion>& out,
              std::map<std::string, std::size_t>& seen) const {
        const Node& node = nodes_[n];
        const auto& kids = node.children;
        bool kids_marked = std::any_of(kids.begin(), kids.end(), [&](int c) { return has_marks(c); });
        if (!kids_marked) return leaf(n, id, node.marks.value_or(node.each.value_or(0.0)), out, seen);
        int last = kids.back();
        bool only_last = nodes_[last].marks && !std::any_of(kids.begin(), kids.end() - 1, [&](int c) {
            return has_marks(c);
        }) && std::none_of(nodes_[last].children.begin(), nodes_[last].children.end(), [&](int c) { return has_marks(c); });
        if (!node.marks && only_last) return leaf(n, id, *nodes_[last].marks, out, seen);
        double parts_total = 0.0;
        for (int c : kids) parts_total += total(c);
        if (node.marks && std::fabs(parts_total - *node.marks) > 1e-9) return leaf(n, id, *node.marks, out, seen);
        for (int c : kids) emit(c, id + "(" + nodes_[c].part + ")", out, seen);
    }

    void collect(int n, bool own, std::vector<std::string>& lines) const {
        const Node& node = nodes_[n];
        for (std::size_t k = 0; k < node.lines.size(); ++k) {
            std::string line = k == 0 && own ? trimmed(std::string_view(node.lines[0]).substr(node.label_end))
                                             : node.lines[k];
            if (!line.empty()) lines.push_back(std::move(line));
        }
        for (int c : node.children) collect(c, false, lines);
    }

    void leaf(int n, const std::string& id, double marks, std::vector<PaperQuestion>& out,
              std::map<std::string, std::size_t>& seen) const {
        std::vector<std::string> lines;
        collect(n, true, lines);
        keep_language(lines);
        std::string text = scan::join_paragraphs(lines);
        if (text.empty() && marks <= 0.0) return;
        if (auto it = seen.find(id); it != seen.end()) {  // the same part printed twice: one question
            PaperQuestion& earlier = out[it->second];
            earlier.text += (earlier.text.empty() || text.empty() ? "" : "\n") + text;
            earlier.max_marks += marks;
            return;
        }
        seen.emplace(id, out.size());
        out.push_back({id, std::move(text), marks});
    }

    /// On a bilingual paper, drops the lines written in another script than the paper's language.
    void keep_language(std::vector<std::string>& lines) const {
        if (script_ == 0) return;
        bool has_own = std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
            return scan::script_of_line(l) == script_;
        });
        if (!has_own) return;
        std::erase_if(lines, [&](const std::string& l) {
            int s = scan::script_of_line(l);
            return s != 0 && s != script_;
        });
    }

    int script_;
    bool q_style_ = false;
    std::vector<Node> nodes_;
    int current_ = -1;
    int roots_ = 0;
    int last_number_ = 0;
    std::set<int> used_numbers_;
    bool in_instructions_ = false;
    bool in_section_ = false;
    int instruction_number_ = 0;
    std::optional<double> section_each_;
    std::set<std::string> preamble_;
};

}  // namespace

std::vector<PaperQuestion> parse_question_paper(const Pages& pages, std::string_view language) {
    PaperReader reader(language);
    reader.read(pages);
    return reader.questions();
}

}  // namespace tovrane::text::rehearsal
