// Filling `{name}` slots at run time, for the templates fmt cannot take as they stand.
//
// Every other text is filled by fmt with its placeholders checked when compiled. A template
// that also holds literal braces (LaTeX such as \frac{a}{b} in a prompt) would need them
// doubled for fmt, and would then no longer be the text as sent; such a template is filled
// here instead: only the named slots are replaced, other braces stay as they are.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace tovrane::text {

/// A value for one `{name}` slot, already rendered as text.
struct Slot {
    std::string_view name;
    std::string_view value;
};

/// Replaces every `{name}` of `tmpl` whose name is among `slots` in one pass: other braces
/// stay as they are and inserted values are never scanned again.
std::string fill_slots(std::string_view tmpl, std::initializer_list<Slot> slots);

}  // namespace tovrane::text
