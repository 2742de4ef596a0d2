// Python module tovrane_core.ocr_extractor.extractor_client: ExtractorClient, the page
// texts of a PDF from its text layers, local OCR or a vision model.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

#include "common/binding.hpp"
#include "engine/constants.hpp"
#include "extractor_client/internal.hpp"
#include "extractor_client/operations.hpp"

namespace tovrane::extractor_client {

namespace {

// The class documentation names the defaults of engine/constants.hpp: a change there must
// reach the text below.
static_assert(constants::kExtractorType == "aws" && constants::kExtractorRegion == "us-east-1" &&
              constants::kOcrLanguages == "eng" && constants::kVisionModel == "gpt-5-mini-2025-08-07" &&
              constants::kGeminiModel == "gemini-2.5-flash" && constants::kMathpixBaseUrl == "https://api.mathpix.com" &&
              constants::kCloudRetries == 3 && constants::kCloudBackoffSeconds == 1.0 &&
              constants::kCloudMaxDelaySeconds == 30.0);

constexpr const char* kClassDoc = R"(Extracts the text of PDF pages through one of several back ends.

Back ends: "local" (Tesseract on this machine), "openai" (a vision model through the
official openai client), "aws" (Amazon Textract DetectDocumentText through boto3; the LINE
blocks, one per line), "gemini" (generate_content through google-genai) and "mathpix"
(its v3/text request through httpx; Mathpix Markdown). The cloud SDKs are optional extras
(pip install "tovrane_core[aws]", [gemini], [mathpix] or [cloud]), imported at first use.
api_key serves the back end it was given with ("openai" or "gemini") and no other. A
throttled or busy service is asked again up to 3 times, waiting what it asks (Retry-After)
or 1, 2, 4 seconds, at most 30. Every back end first takes a page's own text layer when it is real text: valid
UTF-8 without U+FFFD and with at least 40 printable, non-space characters; its text is
NFKC-normalised. Other pages are rendered in 8-bit gray at the set resolution (lowered,
with a notice, for pages beyond 36 million pixels) and read by the back end, up to
max_workers pages at a time (default: the number of cores).

Environment (read at each call): TOVRANE_OCR_LANG, the Tesseract languages when
ocr_languages is None (default "eng"; "hin+eng" for Hindi papers); TESSDATA_PREFIX,
Tesseract's data folder; TOVRANE_OCR_MODEL, the vision model (default
"gpt-5-mini-2025-08-07"); OPENAI_API_KEY when api_key is None; OPENAI_BASE_URL as the
openai client reads it; TOVRANE_OCR_TEXT_LAYER=0 (or false, no, off) ignores text layers
when use_text_layer is None. "aws": AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY,
AWS_SESSION_TOKEN, profiles and AWS_ENDPOINT_URL as boto3 finds them, in `region`.
"gemini": GEMINI_API_KEY when api_key is None; TOVRANE_GEMINI_MODEL (default
"gemini-2.5-flash"); TOVRANE_GEMINI_BASE_URL, the service address. "mathpix":
MATHPIX_APP_ID and MATHPIX_APP_KEY when app_id and app_key are None;
TOVRANE_MATHPIX_BASE_URL (default "https://api.mathpix.com"). The openai, Textract and
Gemini clients are made at first use with the settings of that moment and kept (instance
attributes _openai_client, _textract_client, _gemini_client).)";

constexpr const char* kRecommendDoc = R"(The back end recommended for a subject.

Deterministic, offline and never failing: TOVRANE_EXTRACTOR when it names a known type
(case and surrounding spaces ignored); otherwise "mathpix" for mathematics and the
natural sciences (a word such as math, algebra, physics, chemistry, biology, science,
गणित or विज्ञान, and no "social" or "political") when MATHPIX_APP_ID and
MATHPIX_APP_KEY are set, "aws" for any other subject when AWS_ACCESS_KEY_ID and
AWS_SECRET_ACCESS_KEY are set; then "gemini" when GEMINI_API_KEY is set; then "openai"
when OPENAI_API_KEY is set; else "local". Empty variables count as unset.)";

constexpr const char* kProcessDoc = R"(Returns {page number: text} for the selected pages.

All pages in ascending order when page_numbers is None or empty, else the requested
pages in the requested order, each once. Raises FileNotFoundError for a missing file,
ValueError for a file that is not a readable PDF (empty, damaged, encrypted, no pages),
a page out of range or a missing OCR language, RuntimeError when a back end fails.
Blocks, with the GIL released; Ctrl-C stops it between pages.)";

}  // namespace
}  // namespace tovrane::extractor_client

PYBIND11_MODULE(extractor_client, m) {
    namespace py = pybind11;
    using namespace tovrane;
    using namespace tovrane::extractor_client;
    m.doc() = "Page texts of PDF files: text layers, local OCR (Tesseract), an OpenAI vision model, "
              "Amazon Textract, Gemini or Mathpix.";

    // Each docstring is headed by its text signature (py_util::Signed).
    py::options options;
    options.disable_function_signatures();

    py::class_<ExtractorClient> cls(m, "ExtractorClient", py::dynamic_attr(), kClassDoc);
    py_util::Signed(cls)
        .def(py::init(&make_client), py::kw_only(),
             py::arg("extractor_type") = std::string(constants::kExtractorType),
             py::arg("region") = std::string(constants::kExtractorRegion), py::arg("api_key") = py::none(),
             py::arg("app_id") = py::none(), py::arg("app_key") = py::none(), py::arg("ocr_languages") = py::none(),
             py::arg("max_workers") = py::none(), py::arg("use_text_layer") = py::none(),
             "A client of the back end extractor_type, with the credentials given or, when None, those of the "
             "environment. Raises ValueError for an unknown type.")
        .def_property_readonly("extractor_type", &ExtractorClient::extractor_type, "The current back end.")
        .def_property_readonly("region", &ExtractorClient::region, "The AWS region of the 'aws' back end.")
        .def_property_readonly("dpi", &ExtractorClient::dpi, "The rendering resolution, dots per inch.")
        .def_property_readonly("ocr_languages", &ExtractorClient::ocr_languages,
                               "Tesseract languages given at construction, or None for TOVRANE_OCR_LANG.")
        .def_property_readonly("max_workers", &ExtractorClient::max_workers,
                               "Pages read at a time, or None for the number of cores.")
        .def_property_readonly(
            "gemini_model", [](py::handle) { return gemini_model(); },
            "The model of the 'gemini' back end (TOVRANE_GEMINI_MODEL, else the default).")
        .def_property_readonly(
            "ocr_model", [](py::handle) { return ExtractorClient::vision_model(); },
            "The vision model of the 'openai' back end (TOVRANE_OCR_MODEL, else the default).")
        .def("set_dpi", &ExtractorClient::set_dpi, py::arg("dpi"), "Sets the rendering resolution (dots per inch).")
        .def("change_extractor", &ExtractorClient::change_extractor, py::arg("extractor_type"),
             "Switches this client to another back end.")
        .def_static("get_recommended_extractor_for_subject", &recommended_for_subject, py::arg("subject"),
                    kRecommendDoc)
        .def("check_reader", &check_reader,
             "Raises RuntimeError when the current back end lacks its SDK or credentials; sends nothing.")
        .def("process_pdf", &process_pdf, py::arg("pdf_path"), py::arg("page_numbers") = py::none(), kProcessDoc)
        .def("__repr__", &ExtractorClient::repr, "ExtractorClient(extractor_type=..., region=..., dpi=...).");
    cls.attr("EXTRACTOR_TYPES") = extractor_types();
}
