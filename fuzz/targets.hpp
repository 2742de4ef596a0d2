// What each fuzz harness does with one input. Shared by the libFuzzer harnesses
// (clang) and the replay test of the committed corpus (the default g++ build).
#pragma once

#include <stdexcept>
#include <string_view>

namespace tovrane::fuzz {

/// A property the code under test must keep for every input was broken.
/// Left uncaught by the harnesses, so libFuzzer reports the input as a crash.
class Broken : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

/// `bytes` as a PDF file through the extractor, every page read by a stand-in
/// for the vision-model reader (PNG + base64, no network). The only exception
/// allowed out is Broken; the engine's own errors are the clean outcome.
void pdf_input(std::string_view bytes);

/// `bytes` split into a choice and text fields, through one of the text
/// layouts and text helpers, checking what each promises about its output.
void text_input(std::string_view bytes);

}  // namespace tovrane::fuzz
