// Awaitable all-questions routes: the broker's batch is awaited on the caller's event loop.
#include "engine/text/paper_texts.hpp"
#include "paper_pipeline/generation.hpp"
#include "paper_pipeline/ops.hpp"
#include "paper_pipeline/support.hpp"

namespace tovrane::paper {

namespace t = text::paper;
using namespace detail;

namespace {

// `kind` points at one of the static descriptions, so it outlives the frame.
pyco::Task generate_all_async(py::object self, py::object question_paper, const Kind* kind) {
    py::list work = select_work(question_paper, *kind);
    if (work.empty()) {
        say(kind->nothing);
        co_return py::dict();
    }
    say(t::kAsyncBatchCalling, fmt::arg("m", len_text(work)));
    // No guard: the caller decides what a failed batch means. Cancelled, it still leaves
    // what it finished in the paper.
    py::object results;
    try {
        results = co_await self.attr("model_broker").attr(kind->batch_async)(work);
    } catch (py::error_already_set& err) {
        keep_finished(question_paper, err, *kind);
        throw;
    }
    co_return apply_results(question_paper, results, *kind);
}

}  // namespace

pyco::Task generate_rubrics_for_all_questions_async(py::object self, py::object question_paper) {
    return generate_all_async(std::move(self), std::move(question_paper), &kRubrics);
}

pyco::Task generate_reference_answers_for_all_questions_async(py::object self, py::object question_paper) {
    return generate_all_async(std::move(self), std::move(question_paper), &kAnswers);
}

}  // namespace tovrane::paper
