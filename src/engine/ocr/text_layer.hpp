// When a page's own text layer is real text, worth taking instead of OCR.
#pragma once

#include <cstddef>
#include <string_view>

namespace tovrane::ocr {

/// Fewest printable, non-space characters a text layer needs to stand for the
/// page. Footers, page numbers, stamps and scanner watermarks on an image-only
/// page stay below it ("Page 4 of 4" has 9, "Scanned with CamScanner" 21); any
/// page with a question or an answer on it is above it. A page with fewer goes
/// to OCR, which reads those few words too.
inline constexpr std::size_t kMinTextLayerChars = 40;

/// Printable, non-space code points of UTF-8 `text`: not controls, spaces,
/// zero-width or format characters, private-use code points (glyphs without a
/// Unicode meaning) or U+FFFD.
std::size_t count_printable(std::string_view text);

/// True when `text` is a usable text layer: valid UTF-8, no U+FFFD (a font
/// whose glyphs poppler could not map, as in many Devanagari PDFs: the rest of
/// the page is then garbled too) and at least kMinTextLayerChars printable
/// characters.
bool is_real_text(std::string_view text);

}  // namespace tovrane::ocr
