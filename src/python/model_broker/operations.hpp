// The broker's language-model operations, attached to whatever class hosts them.
#pragma once

#include <pybind11/pybind11.h>

namespace tovrane::broker {

/// Adds parseQuestionPaper, generateRubric, generateRefAnswer, parseReferenceAnswers,
/// parseAnswersheet, evaluateAnswer and their coroutine twins to `cls` as methods.
/// The operations reach the broker only through its Python attributes, so any class
/// with `_make_api_call` / `_make_api_call_async` can host them.
void bind_operations(pybind11::handle cls);

}  // namespace tovrane::broker
