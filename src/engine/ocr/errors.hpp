// Errors of the PDF and OCR engine; the binding maps each kind to a Python type.
#pragma once

#include <stdexcept>
#include <string>

namespace tovrane::ocr {

enum class ErrorKind {
    file_not_found,     ///< the path names nothing
    permission_denied,  ///< the file exists but cannot be read
    bad_input,          ///< the caller's input is unusable (not a PDF, encrypted, bad page, ...)
    failed,             ///< the engine could not do its work
};

class OcrError : public std::runtime_error {
public:
    OcrError(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    ErrorKind kind() const noexcept { return kind_; }

private:
    ErrorKind kind_;
};

}  // namespace tovrane::ocr
