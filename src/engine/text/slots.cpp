// Filling `{name}` slots at run time, for the templates fmt cannot take as they stand.
#include "engine/text/slots.hpp"

namespace tovrane::text {

std::string fill_slots(std::string_view tmpl, std::initializer_list<Slot> slots) {
    std::string out;
    std::size_t extra = 0;
    for (const Slot& s : slots) extra += s.value.size();
    out.reserve(tmpl.size() + extra);

    std::size_t pos = 0;
    while (pos < tmpl.size()) {
        const std::size_t open = tmpl.find('{', pos);
        if (open == std::string_view::npos) break;
        out.append(tmpl, pos, open - pos);
        const std::size_t close = tmpl.find('}', open + 1);
        const Slot* hit = nullptr;
        if (close != std::string_view::npos) {
            const std::string_view name = tmpl.substr(open + 1, close - open - 1);
            for (const Slot& s : slots) {
                if (s.name == name) {
                    hit = &s;
                    break;
                }
            }
        }
        if (hit) {
            out.append(hit->value);
            pos = close + 1;
        } else {
            // Not one of ours (LaTeX braces in a prompt, say): copy the brace and go on.
            out.push_back('{');
            pos = open + 1;
        }
    }
    out.append(tmpl, pos);
    return out;
}

}  // namespace tovrane::text
