// When a page's own text layer is real text, worth taking instead of OCR.
#include "engine/ocr/text_layer.hpp"

#include <optional>

namespace tovrane::ocr {

namespace detail {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point; nullopt for malformed UTF-8.
std::optional<char32_t> next_code_point(std::string_view text, std::size_t& i) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    int extra = 0;
    char32_t cp = 0;
    if (b0 < 0x80) {
        ++i;
        return b0;
    } else if ((b0 & 0xE0) == 0xC0) {
        extra = 1;
        cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2;
        cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3;
        cp = b0 & 0x07;
    } else {
        return std::nullopt;
    }
    if (i + extra >= text.size()) {
        return std::nullopt;
    }
    for (int k = 1; k <= extra; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if ((b & 0xC0) != 0x80) {
            return std::nullopt;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    static constexpr char32_t kMinForLength[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinForLength[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return std::nullopt;
    }
    i += extra + 1;
    return cp;
}

bool is_space(char32_t c) {
    return c == 0x20 || (c >= 0x09 && c <= 0x0D) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

bool is_invisible(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xAD || (c >= 0x200B && c <= 0x200F) ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF ||
           (c >= 0xFFF9 && c <= 0xFFFB);
}

bool is_private_use(char32_t c) {
    return (c >= 0xE000 && c <= 0xF8FF) || c >= 0xF0000;
}

struct Scan {
    std::size_t printable = 0;
    bool clean = true;  // valid UTF-8 without U+FFFD
};

Scan scan(std::string_view text) {
    Scan result;
    for (std::size_t i = 0; i < text.size();) {
        const auto cp = next_code_point(text, i);
        if (!cp) {
            result.clean = false;
            ++i;
        } else if (*cp == kReplacement) {
            result.clean = false;
        } else if (!is_space(*cp) && !is_invisible(*cp) && !is_private_use(*cp)) {
            ++result.printable;
        }
    }
    return result;
}

}  // namespace detail

std::size_t count_printable(std::string_view text) {
    return detail::scan(text).printable;
}

bool is_real_text(std::string_view text) {
    const auto result = detail::scan(text);
    return result.clean && result.printable >= kMinTextLayerChars;
}

}  // namespace tovrane::ocr
