// Batch runners of the model broker: a thread pool for the blocking operations,
// concurrent coroutines for their async twins, and blocking wrappers around those.
#include <fmt/format.h>

#include <cstddef>
#include <exception>
#include <string_view>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "common/python.hpp"
#include "common/python_texts.hpp"
#include "common/threads.hpp"
#include "engine/concurrency/worker_pool.hpp"
#include "engine/text/model_broker_texts.hpp"
#include "model_broker/operations.hpp"

namespace tovrane::model_broker {

namespace texts = tovrane::text::model_broker;
using namespace fmt::literals;
using namespace py_util;

namespace {

/// One kind of work the batches run: the operation and its async twin, the record keys
/// they take (positionally, resp. as keywords of the same names), the key of the result
/// in an async result record, the async batch the sync wrapper runs and its refusal.
struct BatchKind {
    const char* operation;
    const char* async_operation;
    std::vector<const char*> keys;
    /// The last key may be absent from a record: it then defaults to "".
    bool optional_last;
    const char* result_key;
    const char* async_batch;
    std::string_view refusal;
};

const BatchKind kRubrics{
    .operation = "generateRubric",
    .async_operation = "generateRubric_async",
    .keys = {"question", "max_marks", "class_level", "subject", "reference_answer"},
    .optional_last = true,
    .result_key = "rubric",
    .async_batch = "generate_rubrics_batch_async",
    .refusal = texts::kRubricsRefusal,
};
const BatchKind kRefAnswers{
    .operation = "generateRefAnswer",
    .async_operation = "generateRefAnswer_async",
    .keys = {"question", "rubric", "class_level", "subject"},
    .optional_last = false,
    .result_key = "ref_answer",
    .async_batch = "generate_ref_answers_batch_async",
    .refusal = texts::kRefAnswersRefusal,
};
const BatchKind kEvaluations{
    .operation = "evaluateAnswer",
    .async_operation = "evaluateAnswer_async",
    .keys = {"student_answer", "question", "rubric", "reference_answer"},
    .optional_last = false,
    .result_key = "evaluation",
    .async_batch = "evaluate_answers_batch_async",
    .refusal = texts::kEvaluationsRefusal,
};

/// The state of one run_concurrent_tasks call. Every member is touched only with the
/// GIL held; workers copy what they need before calling into Python, because the
/// submitting thread may grow the vectors while a call has the GIL released.
class TaskRun {
public:
    struct Call {
        py::object func;
        py::object args;  // a tuple
    };

    std::size_t add(py::object func, py::object args) {
        calls_.push_back({std::move(func), std::move(args)});
        if (slots_.size() < calls_.size()) slots_.resize(calls_.size());
        return calls_.size() - 1;
    }

    void reserve(std::size_t count) {
        calls_.reserve(count);
        slots_.resize(count);
    }

    /// Runs the call at `position` and stores its result or its error text. Called by a
    /// worker with the GIL held; never throws. False when the run must stop.
    bool execute(std::size_t position) noexcept {
        try {
            // Taken out of the run: the call's references go as soon as it is done.
            py::object func = std::move(calls_[position].func);
            py::object args = std::move(calls_[position].args);
            py::object result;
            try {
                result = func(*args);
            } catch (py::error_already_set& err) {
                // KeyboardInterrupt, SystemExit, CancelledError are no task's result:
                // they end the run. Running calls waiting on the service are cut short
                // (abandon.cpp), others finish; calls not yet started are not started.
                if (!is_ordinary(err)) {
                    fail(std::current_exception());
                    return false;
                }
                result = to_py(fmt::format(texts::kTaskError, "position"_a = position, "error"_a = error_text(err)));
            }
            slots_[position] = std::move(result);
        } catch (...) {
            // Our own failure (the error text itself, memory): the run fails, but the
            // calls already submitted still run, as they would after any submission error.
            fail(std::current_exception());
        }
        return true;
    }

    /// Keeps the first failure of the run; it is raised once every worker has stopped.
    void fail(std::exception_ptr error) {
        if (!failure_) failure_ = std::move(error);
    }

    /// The interrupt wins over what the calls it cut short raised.
    void interrupt(std::exception_ptr error) { failure_ = std::move(error); }

    /// `worker` runs a call on this thread from now until leave(). GIL held.
    void enter(std::size_t worker) {
        if (busy_.size() <= worker) busy_.resize(worker + 1, 0);
        busy_[worker] = PyThread_get_thread_ident();
    }

    /// An interrupt aimed at a call that has just ended is no longer for anyone. GIL held.
    void leave(std::size_t worker) {
        PyThreadState_SetAsyncExc(busy_[worker], nullptr);
        busy_[worker] = 0;
    }

    /// The threads running a call now (0 for an idle worker). GIL held.
    [[nodiscard]] const std::vector<unsigned long>& busy_threads() const { return busy_; }

    [[nodiscard]] const std::exception_ptr& failure() const { return failure_; }

    [[nodiscard]] py::list results() const {
        py::list out(slots_.size());
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            out[i] = slots_[i] ? slots_[i] : py::none();
        }
        return out;
    }

private:
    std::vector<Call> calls_;
    std::vector<py::object> slots_;
    std::vector<unsigned long> busy_;
    std::exception_ptr failure_;
};

/// `max_workers` as a thread count for `task_count` tasks; integers only (index protocol),
/// at least 1.
std::size_t worker_count(const py::object& max_workers, std::size_t task_count) {
    auto workers = py::reinterpret_steal<py::int_>(PyNumber_Index(max_workers.ptr()));
    if (!workers) throw py::error_already_set();
    if (workers <= py::int_(0)) raise(PyExc_ValueError, text::python::kBadWorkerCount);
    // No point in more threads than tasks.
    if (workers >= py::int_(task_count)) return task_count;
    return workers.cast<std::size_t>();
}

/// Submits every call description in order; a description that cannot be read stops
/// the submission and becomes the run's failure.
void submit_all(const py::object& tasks, TaskRun& run, concurrency::WorkerPool& pool) {
    try {
        for (py::handle description : tasks) {
            // Read in this order, so a description missing both names "func".
            py::object func = description["func"];
            py::object args = py::tuple(py::object(description["args"]));
            pool.submit(run.add(std::move(func), std::move(args)));
        }
    } catch (...) {
        run.fail(std::current_exception());
    }
}

}  // namespace

py::list run_concurrent_tasks(py::object self, py::object tasks, py::object max_workers) {
    if (max_workers.is_none()) max_workers = self.attr("max_concurrent_requests");
    const std::size_t task_count = py::len(tasks);
    const std::size_t threads = worker_count(max_workers, task_count);

    TaskRun run;  // outlives the pool, whose workers use it
    run.reserve(task_count);
    if (threads == 0) return run.results();
    SignalWatch signals;
    concurrency::Hooks hooks = python_job_hooks();
    hooks.interrupted = signals.check();
    // Ctrl-C cuts the service calls in flight short; other calls run to their end.
    BrokerState* state = state_of(self);
    if (state != nullptr) {
        hooks.abandon = [&run, state] {
            py::gil_scoped_acquire gil;
            state->calls.abandon(run.busy_threads());
        };
    }
    {
        concurrency::WorkerPool pool(
            threads,
            [&run, &pool](std::size_t position, std::size_t worker) {
                run.enter(worker);
                const bool go_on = run.execute(position);
                run.leave(worker);
                if (!go_on) pool.stop();
            },
            std::move(hooks));
        submit_all(tasks, run, pool);
        // Already submitted calls run to their end even when the submission failed.
        try {
            pool.finish();
        } catch (const concurrency::Interrupted&) {
            run.interrupt(signals.interruption());
        }
    }
    if (run.failure()) {
        try {
            std::rethrow_exception(run.failure());
        } catch (py::error_already_set& err) {
            // The calls that finished before the interrupt were paid for: the caller gets them.
            if (!is_ordinary(err)) attach_partial_results(err.value(), run.results());
            throw;
        }
    }
    return run.results();
}

namespace {

/// The value of the `i`th argument of `kind`'s operations, read from one input record.
py::object operation_arg(const BatchKind& kind, std::size_t i, py::handle record) {
    const bool defaulted = kind.optional_last && i + 1 == kind.keys.size();
    return defaulted ? py::object(record.attr("get")(kind.keys[i], "")) : py::object(record[kind.keys[i]]);
}

/// The positional arguments of `kind`'s blocking operation.
py::tuple operation_args(const BatchKind& kind, py::handle record) {
    py::tuple args(kind.keys.size());
    for (std::size_t i = 0; i < kind.keys.size(); ++i) args[i] = operation_arg(kind, i, record);
    return args;
}

/// The keyword arguments of `kind`'s async operation.
py::dict operation_kwargs(const BatchKind& kind, py::handle record) {
    py::dict kwargs;
    for (std::size_t i = 0; i < kind.keys.size(); ++i) kwargs[kind.keys[i]] = operation_arg(kind, i, record);
    return kwargs;
}

/// One call description per input record, handed to the broker's own runner.
py::object thread_pool_batch(const py::object& self, const BatchKind& kind, const py::object& data,
                             const py::object& max_workers) {
    py::list tasks;
    for (py::handle record : data) {
        py::dict description;
        description["func"] = self.attr(kind.operation);
        description["args"] = operation_args(kind, record);
        tasks.append(std::move(description));
    }
    return self.attr("run_concurrent_tasks")(tasks, max_workers);
}

/// The result record of a failed item.
py::dict failure_record(py::handle record, const py::object& error) {
    py::dict out;
    out["q_id"] = record["q_id"];
    out["success"] = false;
    out["error"] = error;
    return out;
}

/// One item of an async batch: its operation's outcome as a success or failure record.
/// Only an error while building the failure record itself (no "q_id") escapes.
pyco::Task batch_item(py::object self, const BatchKind* kind, py::object record) {
    try {
        py::object result = co_await self.attr(kind->async_operation)(**operation_kwargs(*kind, record));
        py::dict out;
        out["q_id"] = record["q_id"];
        out["success"] = true;
        out[kind->result_key] = result;
        co_return out;
    } catch (py::error_already_set& err) {
        if (!is_ordinary(err)) throw;
        co_return failure_record(record, py::str(err.value()));
    }
}

/// The records of the items that finished, in input order: what an interrupted batch
/// still hands over.
py::list finished_records(const py::list& tasks) {
    py::list out;
    for (py::handle task : tasks) {
        if (!truthy(task.attr("done")()) || truthy(task.attr("cancelled")())) continue;
        if (!task.attr("exception")().is_none()) continue;
        py::object outcome = task.attr("result")();
        if (PyDict_Check(outcome.ptr())) out.append(outcome);
    }
    return out;
}

/// The returned list: item records as they are, an error that escaped an item as that
/// item's failure record. Interrupts and cancellation are not item outcomes: raised, with
/// the records of the finished items.
py::list batch_results(const py::list& records, const py::list& outcomes) {
    py::list out;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        py::object outcome = outcomes[i];
        if (!PyExceptionInstance_Check(outcome.ptr())) {
            out.append(outcome);
        } else if (PyObject_IsInstance(outcome.ptr(), PyExc_Exception) == 1) {
            out.append(failure_record(records[i], py::str(outcome)));
        } else {
            py::list finished;
            for (py::handle other : outcomes) {
                if (PyDict_Check(other.ptr())) finished.append(other);
            }
            attach_partial_results(outcome, finished);
            raise_instance(outcome);
        }
    }
    return out;
}

/// All items at once; the broker's semaphore and rate window bound the service calls.
pyco::Task async_batch(py::object self, const BatchKind* kind, py::object data) {
    py::list records;
    py::list items;
    for (py::handle record : data) {
        records.append(record);
        items.append(pyco::to_python(batch_item(self, kind, py::reinterpret_borrow<py::object>(record))));
    }
    // Tasks of our own, so that what finished can be read when the batch is cut short.
    py::list tasks;
    py::object ensure_future = module_attr("asyncio", "ensure_future");
    for (py::handle item : items) tasks.append(ensure_future(item));
    items = py::list();
    py::object gather = module_attr("asyncio", "gather");
    py::list outcomes;
    try {
        outcomes = co_await gather(*tasks, py::arg("return_exceptions") = true);
    } catch (py::error_already_set& err) {
        if (!is_ordinary(err)) attach_partial_results(err.value(), finished_records(tasks));
        throw;
    }
    co_return batch_results(records, outcomes);
}

/// True when an event loop runs in this thread.
bool loop_running_here() {
    try {
        module_attr("asyncio", "get_running_loop")();
        return true;
    } catch (py::error_already_set& err) {
        if (err.matches(PyExc_RuntimeError)) return false;
        throw;
    }
}

/// Runs `kind`'s async batch under a fresh semaphore. The semaphore is made here, on the
/// running loop, because older asyncio binds a semaphore to the loop current at creation.
/// When the batch is cut short, the records it finished go into `finished`.
pyco::Task with_fresh_semaphore(py::object self, const BatchKind* kind, py::object data, py::list finished) {
    py::object semaphore = module_attr("asyncio", "Semaphore")(self.attr("max_concurrent_requests"));
    py::setattr(self, "_request_semaphore", semaphore);
    try {
        py::object results = co_await self.attr(kind->async_batch)(data);
        co_return results;
    } catch (py::error_already_set& err) {
        if (!is_ordinary(err)) {
            py::object partial = partial_results(err);
            if (!partial.is_none()) finished.attr("extend")(partial);
        }
        throw;
    }
}

/// Cancels what is left on `loop` and finalises its async generators, which closes the
/// loop's own copy of the async client (client.cpp), then closes the loop, as asyncio.run
/// does. Never sets the thread's current loop, so that stays as it was.
void close_loop(const py::object& loop) {
    try {
        py::object left = module_attr("asyncio", "all_tasks")(loop);
        if (py::len(left) > 0) {
            for (py::handle task : left) task.attr("cancel")();
            py::object gather = module_attr("asyncio", "gather");
            loop.attr("run_until_complete")(gather(*left, py::arg("return_exceptions") = true));
        }
        loop.attr("run_until_complete")(loop.attr("shutdown_asyncgens")());
    } catch (...) {
        loop.attr("close")();
        throw;
    }
    loop.attr("close")();
}

/// Runs the sync wrapper's batch on a loop of its own, with a semaphore of that loop, and
/// puts the broker's own semaphore back on every path.
py::object run_on_new_loop(const py::object& self, const BatchKind& kind, const py::object& data) {
    py::object kept_semaphore = self.attr("_request_semaphore");
    const auto put_back = [&] { py::setattr(self, "_request_semaphore", kept_semaphore); };
    try {
        py::object loop = module_attr("asyncio", "new_event_loop")();
        py::object results;
        py::list finished;
        try {
            results =
                loop.attr("run_until_complete")(pyco::to_python(with_fresh_semaphore(self, &kind, data, finished)));
        } catch (py::error_already_set& err) {
            // Ctrl-C leaves the loop with the batch still pending: closing the loop cancels it,
            // and the cancelled batch hands over what had finished.
            close_loop(loop);
            if (!is_ordinary(err)) attach_partial_results(err.value(), finished);
            throw;
        } catch (...) {
            close_loop(loop);
            throw;
        }
        close_loop(loop);
        put_back();
        return results;
    } catch (...) {
        put_back();
        throw;
    }
}

/// Any ordinary failure, the refusal included, comes back as one failure record per
/// input record; only a record without "q_id" makes the wrapper itself fail.
py::object sync_batch(const py::object& self, const BatchKind& kind, const py::object& data) {
    py::object reason;
    try {
        if (!loop_running_here()) return run_on_new_loop(self, kind, data);
        reason = to_py(kind.refusal);
    } catch (py::error_already_set& err) {
        if (!is_ordinary(err)) throw;
        reason = err.value();
    }
    py::str error = to_py(fmt::format(texts::kSyncWrapperError, "error"_a = str(reason)));
    py::list out;
    for (py::handle record : data) out.append(failure_record(record, error));
    return out;
}

}  // namespace

py::object generate_rubrics_batch(py::object self, py::object questions_data, py::object max_workers) {
    return thread_pool_batch(self, kRubrics, questions_data, max_workers);
}

py::object generate_ref_answers_batch(py::object self, py::object ref_answer_data, py::object max_workers) {
    return thread_pool_batch(self, kRefAnswers, ref_answer_data, max_workers);
}

py::object evaluate_answers_batch(py::object self, py::object evaluation_data, py::object max_workers) {
    return thread_pool_batch(self, kEvaluations, evaluation_data, max_workers);
}

pyco::Task generate_rubrics_batch_async(py::object self, py::object questions_data) {
    return async_batch(std::move(self), &kRubrics, std::move(questions_data));
}

pyco::Task generate_ref_answers_batch_async(py::object self, py::object ref_answer_data) {
    return async_batch(std::move(self), &kRefAnswers, std::move(ref_answer_data));
}

pyco::Task evaluate_answers_batch_async(py::object self, py::object evaluation_data) {
    return async_batch(std::move(self), &kEvaluations, std::move(evaluation_data));
}

py::object generate_rubrics_batch_sync(py::object self, py::object questions_data) {
    return sync_batch(self, kRubrics, questions_data);
}

py::object generate_ref_answers_batch_sync(py::object self, py::object ref_answer_data) {
    return sync_batch(self, kRefAnswers, ref_answer_data);
}

py::object evaluate_answers_batch_sync(py::object self, py::object evaluation_data) {
    return sync_batch(self, kEvaluations, evaluation_data);
}

}  // namespace tovrane::model_broker
