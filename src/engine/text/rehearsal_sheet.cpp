// Answersheet rules of the rehearsal model: answers split at their margin labels.
#include "engine/text/rehearsal.hpp"
#include "engine/text/rehearsal_scan.hpp"
#include "engine/text/rehearsal_texts.hpp"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

namespace tovrane::text::rehearsal {

namespace {

using scan::Label;

/// A paper identifier read as number and sub-parts: "Q5(a)" is 5, {a}; "10a(i)" is 10, {a, i}.
struct Key {
    int number = 0;
    std::vector<std::string> parts;
};

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::optional<Key> parse_id(std::string_view id) {
    std::size_t i = id.find_first_of("0123456789");
    if (i == std::string_view::npos || i > 12) return std::nullopt;
    Key key;
    while (i < id.size() && id[i] >= '0' && id[i] <= '9') key.number = key.number * 10 + (id[i++] - '0');
    while (i < id.size()) {
        char c = id[i];
        if (c == '(' || c == ')' || c == '[' || c == ']' || c == '.' || c == ' ' || c == '-') {
            ++i;
            continue;
        }
        std::size_t start = i;
        while (i < id.size() && is_letter(id[i])) ++i;
        if (i == start) return std::nullopt;
        std::string run(id.substr(start, i - start));
        for (char& ch : run) ch = static_cast<char>(ch | 0x20);
        if (run.size() == 1 || scan::is_roman(run)) {
            key.parts.push_back(run);
        } else if (scan::is_roman(run.substr(1))) {  // "ai": part a, item i
            key.parts.push_back(run.substr(0, 1));
            key.parts.push_back(run.substr(1));
        } else {
            return std::nullopt;
        }
    }
    return key;
}

struct Draft {
    std::string q_id;
    int key = -1;  // index into the paper's identifiers; -1 for an unknown label
    std::vector<std::string> lines;
    std::set<int> pages;
};

struct Target {
    int key = -1;  // -1: an unknown label
    std::size_t text_start = 0;
};

class SheetSplitter {
public:
    explicit SheetSplitter(const std::vector<std::string>& ids) : ids_(ids) {
        for (const std::string& id : ids) keys_.push_back(parse_id(id));
    }

    void read(const Pages& pages) {
        q_style_ = count_prefixed(pages) >= 2;
        for (std::size_t p = 0; p < pages.size(); ++p) {
            int page = pages[p].first;
            int top_lines = 0;
            for (std::string_view raw : scan::lines_of(pages[p].second)) {
                std::string line = scan::clean_line(raw);
                if (line.empty() || scan::is_page_furniture(line, false)) continue;
                auto label = scan::read_label(line);
                if (!label && top_lines < 2 && p > 0) {
                    ++top_lines;
                    if (scan::looks_like_page_header(line, preamble_)) continue;
                } else if (label) {
                    top_lines = 2;
                }
                if (auto target = label ? resolve(*label) : std::nullopt) {
                    start(*target, page);
                    std::string text = line.substr(std::min(target->text_start, line.size()));
                    if (!text.empty()) drafts_[current_].lines.push_back(std::move(text));
                } else if (current_ >= 0) {
                    drafts_[current_].lines.push_back(std::move(line));
                    drafts_[current_].pages.insert(page);
                } else {
                    for (const std::string& key : scan::keys_of(line)) preamble_.insert(key);
                }
            }
        }
    }

    std::vector<SheetAnswer> answers() const {
        std::vector<SheetAnswer> out;
        for (const Draft& draft : drafts_) {
            std::string text = scan::join_paragraphs(draft.lines);
            if (text.empty()) continue;
            out.push_back({draft.q_id, std::move(text), {draft.pages.begin(), draft.pages.end()}});
        }
        return out;
    }

private:
    static int count_prefixed(const Pages& pages) {
        int count = 0;
        for (const auto& page : pages)
            for (std::string_view raw : scan::lines_of(page.second)) {
                auto label = scan::read_label(scan::clean_line(raw));
                count += label && label->prefixed;
            }
        return count;
    }

    bool answered(int key) const { return answer_of_.count(key) > 0; }

    int current_key() const { return current_ >= 0 ? drafts_[current_].key : -1; }

    /// The paper part a label names, if it is a label here at all.
    std::optional<Target> resolve(const Label& label) const {
        if (label.number > 0) {
            bool bare = !label.prefixed;
            int cur = current_key();
            // In a sheet labelled "Q1", "Q2", ... a bare number below the current question is a
            // numbered point of the answer; "9(a)" within question 9 is still a label.
            if (bare && q_style_ && cur >= 0 &&
                (label.number < keys_[cur]->number || (label.number == keys_[cur]->number && label.parts.empty()))) {
                return std::nullopt;
            }
            auto match = find(label.number, label.parts);
            if (!match) return bare ? std::nullopt : std::optional<Target>(Target{-1, label.end});
            if (bare && answered(match->first)) return std::nullopt;
            std::size_t used = match->second;
            return Target{match->first, used < label.parts.size() ? label.part_starts[used] : label.end};
        }
        // "(b)" alone: a sibling of the current part, a part of it, or a part higher up.
        int cur = current_key();
        if (cur < 0) return std::nullopt;
        const Key& here = *keys_[cur];
        std::vector<std::size_t> levels;
        if (!here.parts.empty()) levels.push_back(here.parts.size() - 1);
        levels.push_back(here.parts.size());
        for (std::size_t k = here.parts.size() - (here.parts.empty() ? 0 : 1); k-- > 0;) levels.push_back(k);
        for (std::size_t k : levels) {
            std::vector<std::string> parts(here.parts.begin(), here.parts.begin() + k);
            parts.insert(parts.end(), label.parts.begin(), label.parts.end());
            if (auto key = group_pick(here.number, parts)) {
                if (*key == cur) return std::nullopt;
                return Target{*key, label.end};
            }
        }
        return std::nullopt;
    }

    /// The part whose identifier starts with `number` and `parts`: that part itself, else
    /// the first unanswered part under it, else the first.
    std::optional<int> group_pick(int number, const std::vector<std::string>& parts) const {
        std::optional<int> first, unanswered;
        for (std::size_t k = 0; k < keys_.size(); ++k) {
            const auto& key = keys_[k];
            if (!key || key->number != number || key->parts.size() < parts.size() ||
                !std::equal(parts.begin(), parts.end(), key->parts.begin())) {
                continue;
            }
            int index = static_cast<int>(k);
            if (key->parts.size() == parts.size()) return index;
            if (!first) first = index;
            if (!unanswered && !answered(index)) unanswered = index;
        }
        return unanswered ? unanswered : first;
    }

    /// The paper part for a label's number and parts, and how many of its parts were used
    /// (the rest is text: "Q1 (c) Paddy" on a question without parts).
    std::optional<std::pair<int, std::size_t>> find(int number, const std::vector<std::string>& parts) const {
        if (auto key = group_pick(number, parts)) return std::make_pair(*key, parts.size());
        if (!parts.empty()) {
            // "Q10 (i)" for Q10(a)(i): the parts appear in order, ending alike, in exactly one identifier.
            std::optional<int> only;
            int matches = 0;
            for (std::size_t k = 0; k < keys_.size(); ++k) {
                const auto& key = keys_[k];
                if (key && key->number == number && !key->parts.empty() && key->parts.back() == parts.back() &&
                    is_subsequence(parts, key->parts)) {
                    ++matches;
                    only = static_cast<int>(k);
                }
            }
            if (matches == 1) return std::make_pair(*only, parts.size());
        }
        for (std::size_t used = parts.size(); used-- > 0;) {
            std::vector<std::string> head(parts.begin(), parts.begin() + used);
            if (auto key = group_pick(number, head)) return std::make_pair(*key, used);
        }
        return std::nullopt;
    }

    static bool is_subsequence(const std::vector<std::string>& small, const std::vector<std::string>& big) {
        auto it = big.begin();
        for (const std::string& part : small) {
            it = std::find(it, big.end(), part);
            if (it == big.end()) return false;
            ++it;
        }
        return true;
    }

    void start(const Target& target, int page) {
        if (target.key >= 0 && answered(target.key)) {
            current_ = answer_of_.at(target.key);
        } else {
            Draft draft;
            draft.key = target.key;
            draft.q_id = target.key >= 0 ? ids_[target.key] : std::string(kUnknownId);
            drafts_.push_back(std::move(draft));
            current_ = static_cast<int>(drafts_.size()) - 1;
            if (target.key >= 0) answer_of_[target.key] = current_;
        }
        drafts_[current_].pages.insert(page);
    }

    const std::vector<std::string>& ids_;
    std::vector<std::optional<Key>> keys_;
    bool q_style_ = false;
    std::vector<Draft> drafts_;
    std::map<int, int> answer_of_;
    int current_ = -1;
    std::set<std::string> preamble_;
};

}  // namespace

std::vector<SheetAnswer> split_answers(const Pages& pages, const std::vector<std::string>& q_ids) {
    SheetSplitter splitter(q_ids);
    splitter.read(pages);
    return splitter.answers();
}

}  // namespace tovrane::text::rehearsal
