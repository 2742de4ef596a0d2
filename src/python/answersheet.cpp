// Python module tovrane_core.*.answersheet (filled by its own issue).
#include <pybind11/pybind11.h>

PYBIND11_MODULE(answersheet, m) {
    m.doc() = "tovrane_core answersheet";
}
