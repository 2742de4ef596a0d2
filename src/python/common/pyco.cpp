// Python side of the coroutine bridge: the shared coroutine type and the frame driver.
#include "common/pyco.hpp"

#include <string>

#include "common/python_texts.hpp"

namespace tovrane::pyco {
namespace detail {
namespace {

// Python's own wording for the same situations.
using text::python::kAlreadyExecuting;
using text::python::kAwaitedAlready;
using text::python::kNonNoneStart;
using text::python::kRaisedStop;
using text::python::kReused;

// Bump when CoroObject or PromiseBase change: modules built from different sources then
// get distinct types instead of driving each other's frames.
constexpr int kLayoutVersion = 1;

enum class State : unsigned char { done, created, suspended, running };

// Instance layout of the shared type; identical in every module's copy of this file.
struct CoroObject {
    PyObject_HEAD
    std::coroutine_handle<> frame;
    PromiseBase* promise;
    const char* function;  // outlives the frame: static storage of the defining module
    State state;
};

CoroObject* as_coro(PyObject* obj) { return reinterpret_cast<CoroObject*>(obj); }

// Sets the Python error for an exception, the way pybind11 translates it for a bound
// function (std::runtime_error -> RuntimeError, registered translators, ...).
void set_python_error(std::exception_ptr error) {
    try {
        std::rethrow_exception(std::move(error));
    } catch (...) {
        py::detail::try_translate_exceptions();
    }
}

// The current Python error, taken out of the interpreter so that Python code can run
// before it is thrown into the frame.
std::exception_ptr take_python_error() {
    return std::make_exception_ptr(py::error_already_set());
}

// A generator made by @types.coroutine may be awaited as it is.
bool is_iterable_coroutine(PyObject* obj) {
    if (!PyGen_CheckExact(obj)) {
        return false;
    }
    static PyObject* const gi_code = PyUnicode_InternFromString("gi_code");
    auto code = py::reinterpret_steal<py::object>(PyObject_GetAttr(obj, gi_code));
    if (!code) {
        throw py::error_already_set();
    }
    return PyCode_Check(code.ptr()) &&
           (reinterpret_cast<PyCodeObject*>(code.ptr())->co_flags & CO_ITERABLE_COROUTINE) != 0;
}

// The iterator that `await obj` delegates to, found as Python's GET_AWAITABLE finds it.
py::object awaitable_iter(PyObject* obj) {
    if (PyCoro_CheckExact(obj) || is_iterable_coroutine(obj)) {
        return py::reinterpret_borrow<py::object>(obj);
    }
    PyTypeObject* type = Py_TYPE(obj);
    unaryfunc get_await = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (!get_await) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                     type->tp_name);
        throw py::error_already_set();
    }
    auto iter = py::reinterpret_steal<py::object>(get_await(obj));
    if (!iter) {
        throw py::error_already_set();
    }
    if (PyCoro_CheckExact(iter.ptr()) || is_iterable_coroutine(iter.ptr())) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        throw py::error_already_set();
    }
    if (!PyIter_Check(iter.ptr())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(iter.ptr())->tp_name);
        throw py::error_already_set();
    }
    return iter;
}

// Destroys the frame where it stands: destructors of parameters and live locals run and
// the promise lets go of the awaited iterator. Needs no Python error to be pending.
void release_frame(CoroObject* self) {
    if (!self->frame) {
        self->state = State::done;
        return;
    }
    auto frame = std::exchange(self->frame, {});
    self->promise = nullptr;
    self->state = State::running;  // destructors may run Python code that reaches us
    frame.destroy();
    self->state = State::done;
}

// Refuses to run a frame that is running or finished, with Python's errors.
bool refuse_to_run(CoroObject* self) {
    if (self->state == State::running) {
        PyErr_SetString(PyExc_ValueError, kAlreadyExecuting.data());
        return true;
    }
    if (self->state == State::done) {
        PyErr_SetString(PyExc_RuntimeError, kReused.data());
        return true;
    }
    return false;
}

// The frame has run to its end: its outcome becomes the send result.
PySendResult finish(CoroObject* self, PyObject** result) {
    PyObject* value = std::exchange(self->promise->value_, nullptr);
    std::exception_ptr error = std::exchange(self->promise->error_, nullptr);
    release_frame(self);
    if (!error) {
        *result = value ? value : Py_NewRef(Py_None);
        return PYGEN_RETURN;
    }
    Py_XDECREF(value);
    set_python_error(std::move(error));
    // A StopIteration leaving the coroutine would read as its return value (PEP 479).
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        py::raise_from(PyExc_RuntimeError, kRaisedStop.data());
    }
    return PYGEN_ERROR;
}

// Runs the frame until it waits on an awaitable that yielded, or ends.
PySendResult resume(CoroObject* self, PyObject** result) {
    self->state = State::running;
    self->frame.resume();
    if (self->frame.done()) {
        return finish(self, result);
    }
    self->state = State::suspended;
    *result = std::exchange(self->promise->value_, nullptr);
    return PYGEN_NEXT;
}

// The awaited iterator returned `out` or raised: the co_await gets that, the frame runs on.
PySendResult delegate_finished(CoroObject* self, PySendResult status, PyObject* out,
                               PyObject** result) {
    PromiseBase& promise = *self->promise;
    if (status == PYGEN_RETURN) {
        promise.value_ = out;
    } else {
        promise.error_ = take_python_error();
    }
    Py_CLEAR(promise.delegate_);
    return resume(self, result);
}

PySendResult send(CoroObject* self, PyObject* arg, PyObject** result) {
    if (refuse_to_run(self)) {
        return PYGEN_ERROR;
    }
    if (self->state == State::created) {
        if (arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, kNonNoneStart.data());
            return PYGEN_ERROR;
        }
        return resume(self, result);
    }
    self->state = State::running;
    PyObject* out = nullptr;
    PySendResult status = PyIter_Send(self->promise->delegate_, arg, &out);
    if (status == PYGEN_NEXT) {
        self->state = State::suspended;
        *result = out;
        return PYGEN_NEXT;
    }
    return delegate_finished(self, status, out, result);
}

// The exception that throw(typ[, val[, tb]]) raises, built as generator.throw builds it.
py::object make_thrown(PyObject* typ, PyObject* val, PyObject* tb) {
    if (tb == Py_None) {
        tb = nullptr;
    } else if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return {};
    }
    py::object exc;
    if (PyExceptionClass_Check(typ)) {
        if (val && PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ))) {
            exc = py::reinterpret_borrow<py::object>(val);
        } else if (!val || val == Py_None) {
            exc = py::reinterpret_steal<py::object>(PyObject_CallNoArgs(typ));
        } else if (PyTuple_Check(val)) {
            exc = py::reinterpret_steal<py::object>(PyObject_Call(typ, val, nullptr));
        } else {
            exc = py::reinterpret_steal<py::object>(PyObject_CallOneArg(typ, val));
        }
        if (exc && !PyExceptionInstance_Check(exc.ptr())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s",
                         typ, Py_TYPE(exc.ptr())->tp_name);
            return {};
        }
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return {};
        }
        exc = py::reinterpret_borrow<py::object>(typ);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return {};
    }
    if (exc && tb && PyException_SetTraceback(exc.ptr(), tb) < 0) {
        return {};
    }
    return exc;
}

void raise_instance(const py::object& exc) {
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr()))),
                  Py_NewRef(exc.ptr()), PyException_GetTraceback(exc.ptr()));
}

constexpr int kNoThrowMethod = -2;

// Passes a throw() on to the awaited iterator with the caller's arguments, as
// `yield from` does. Returns a PySendResult, or kNoThrowMethod.
int throw_into_delegate(PyObject* delegate, PyObject* args, PyObject** out) {
    PyObject* method = PyObject_GetAttrString(delegate, "throw");
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return PYGEN_ERROR;
        }
        PyErr_Clear();
        return kNoThrowMethod;
    }
    *out = PyObject_Call(method, args, nullptr);
    Py_DECREF(method);
    if (*out) {
        return PYGEN_NEXT;
    }
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) {
        return PYGEN_ERROR;
    }
    py::error_already_set stop;
    *out = py::object(stop.value().attr("value")).release().ptr();
    return PYGEN_RETURN;
}

// Closes the awaited iterator, as closing a generator closes what it delegates to.
// Returns what that close raised, if anything.
std::exception_ptr close_delegate(PromiseBase& promise) {
    auto delegate = py::reinterpret_steal<py::object>(std::exchange(promise.delegate_, nullptr));
    if (!delegate) {
        return {};
    }
    PyObject* method = PyObject_GetAttrString(delegate.ptr(), "close");
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return take_python_error();
        }
        PyErr_Clear();
        return {};
    }
    PyObject* closed = PyObject_CallNoArgs(method);
    Py_DECREF(method);
    if (!closed) {
        return take_python_error();
    }
    Py_DECREF(closed);
    return {};
}

PySendResult throw_in(CoroObject* self, PyObject* args, PyObject** result) {
    PyObject* typ = nullptr;
    PyObject* val = nullptr;
    PyObject* tb = nullptr;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &typ, &val, &tb) || refuse_to_run(self)) {
        return PYGEN_ERROR;
    }
    py::object exc = make_thrown(typ, val, tb);
    if (!exc) {
        return PYGEN_ERROR;
    }
    if (self->state == State::created) {
        // The body never ran, so nothing can catch it: the frame just goes.
        release_frame(self);
        raise_instance(exc);
        return PYGEN_ERROR;
    }
    PromiseBase& promise = *self->promise;
    self->state = State::running;
    if (PyErr_GivenExceptionMatches(exc.ptr(), PyExc_GeneratorExit)) {
        if (std::exception_ptr failed = close_delegate(promise)) {
            promise.error_ = std::move(failed);
            return resume(self, result);
        }
    } else if (promise.delegate_) {
        PyObject* out = nullptr;
        int status = throw_into_delegate(promise.delegate_, args, &out);
        if (status == PYGEN_NEXT) {
            self->state = State::suspended;
            *result = out;
            return PYGEN_NEXT;
        }
        if (status != kNoThrowMethod) {
            return delegate_finished(self, static_cast<PySendResult>(status), out, result);
        }
    }
    Py_CLEAR(promise.delegate_);
    raise_instance(exc);
    promise.error_ = take_python_error();
    return resume(self, result);
}

// close(): closes the awaited iterator, then destroys the frame where it stands.
// False with the Python error set when closing the iterator failed.
bool close(CoroObject* self) {
    if (self->state == State::running) {
        PyErr_SetString(PyExc_ValueError, kAlreadyExecuting.data());
        return false;
    }
    std::exception_ptr failed;
    if (self->state == State::suspended) {
        self->state = State::running;
        failed = close_delegate(*self->promise);
    }
    release_frame(self);
    if (failed) {
        set_python_error(std::move(failed));
        return false;
    }
    return true;
}

// Python's generators map a return value onto StopIteration this way; an instance
// keeps a tuple or an exception value from being read as constructor arguments.
void raise_stop_iteration(PyObject* value) {
    if (value == Py_None) {
        Py_DECREF(value);
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value);
    Py_DECREF(value);
    if (stop) {
        PyErr_SetObject(PyExc_StopIteration, stop);
        Py_DECREF(stop);
    }
}

PyObject* method_result(PySendResult status, PyObject* out) {
    if (status == PYGEN_NEXT) {
        return out;
    }
    if (status == PYGEN_RETURN) {
        raise_stop_iteration(out);
    }
    return nullptr;
}

// Keeps C++ exceptions (e.g. std::bad_alloc) from crossing into the interpreter: they
// become the pending Python error and the slot returns `on_error`.
template <class F>
auto shielded(F&& body, decltype(body()) on_error) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        py::detail::try_translate_exceptions();
        return on_error;
    }
}

// Entry points that drive frames recurse through the chain of awaiting coroutines
// without passing through the interpreter; count them against Python's recursion limit
// so that an absurdly deep chain raises RecursionError instead of exhausting the stack.
template <class F>
auto driving(F&& body, decltype(body()) on_error) noexcept -> decltype(body()) {
    if (Py_EnterRecursiveCall(" while driving a native coroutine")) {
        return on_error;
    }
    auto result = shielded(std::forward<F>(body), on_error);
    Py_LeaveRecursiveCall();
    return result;
}

// --- type slots -------------------------------------------------------------------

PySendResult coro_am_send(PyObject* obj, PyObject* arg, PyObject** result) {
    *result = nullptr;
    return driving([&] { return send(as_coro(obj), arg, result); }, PYGEN_ERROR);
}

PyObject* coro_am_await(PyObject* obj) {
    if (as_coro(obj)->state == State::suspended) {
        PyErr_SetString(PyExc_RuntimeError, kAwaitedAlready.data());
        return nullptr;
    }
    return Py_NewRef(obj);
}

PyObject* coro_iternext(PyObject* obj) {
    PyObject* out = nullptr;
    PySendResult status = coro_am_send(obj, Py_None, &out);
    if (status == PYGEN_RETURN && out == Py_None) {
        Py_DECREF(out);  // exhausted without a value: NULL and no error
        return nullptr;
    }
    return method_result(status, out);
}

PyObject* coro_send(PyObject* obj, PyObject* arg) {
    PyObject* out = nullptr;
    PySendResult status = coro_am_send(obj, arg, &out);
    return method_result(status, out);
}

PyObject* coro_throw(PyObject* obj, PyObject* args) {
    PyObject* out = nullptr;
    PySendResult status =
        driving([&] { return throw_in(as_coro(obj), args, &out); }, PYGEN_ERROR);
    return method_result(status, out);
}

PyObject* coro_close(PyObject* obj, PyObject*) {
    bool closed = driving([&] { return close(as_coro(obj)); }, false);
    return closed ? Py_NewRef(Py_None) : nullptr;
}

PyObject* coro_get_running(PyObject* obj, void*) {
    return PyBool_FromLong(as_coro(obj)->state == State::running);
}

PyObject* coro_get_await(PyObject* obj, void*) {
    PromiseBase* promise = as_coro(obj)->promise;
    return Py_NewRef(promise && promise->delegate_ ? promise->delegate_ : Py_None);
}

// "pyco::Task ns::{anonymous}::op(pybind11::object)" -> "ns::op", as asyncio's reprs
// and warnings show a coroutine's __qualname__.
std::string qualified_name(const char* function) {
    std::string name = function ? function : "";
    name = name.substr(0, name.find('('));
    name = name.substr(name.rfind(' ') + 1);  // npos + 1 == 0 keeps all
    for (std::string anonymous = "{anonymous}::"; name.find(anonymous) != std::string::npos;) {
        name.erase(name.find(anonymous), anonymous.size());
    }
    return name.empty() ? "native_coroutine" : name;
}

PyObject* coro_get_qualname(PyObject* obj, void*) {
    return shielded([&] { return py::str(qualified_name(as_coro(obj)->function)).release().ptr(); },
                   static_cast<PyObject*>(nullptr));
}

PyObject* coro_get_name(PyObject* obj, void*) {
    return shielded(
        [&] {
            std::string name = qualified_name(as_coro(obj)->function);
            std::size_t colons = name.rfind("::");
            return py::str(colons == std::string::npos ? name : name.substr(colons + 2))
                .release()
                .ptr();
        },
        static_cast<PyObject*>(nullptr));
}

// Garbage collection of an unfinished coroutine closes it, like close().
void coro_finalize(PyObject* obj) {
    if (!as_coro(obj)->frame) {
        return;
    }
    py::error_scope keep;  // a finalizer must leave a pending error alone
    if (!shielded([&] { return close(as_coro(obj)); }, false)) {
        PyErr_WriteUnraisable(obj);
    }
}

int coro_traverse(PyObject* obj, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(obj));
    if (PromiseBase* promise = as_coro(obj)->promise) {
        Py_VISIT(promise->delegate_);
        Py_VISIT(promise->value_);
    }
    return 0;
}

int coro_clear(PyObject* obj) {
    CoroObject* self = as_coro(obj);
    if (self->state != State::running) {
        release_frame(self);
    }
    return 0;
}

void coro_dealloc(PyObject* obj) {
    if (PyObject_CallFinalizerFromDealloc(obj) < 0) {
        return;  // resurrected by a destructor
    }
    PyObject_GC_UnTrack(obj);
    release_frame(as_coro(obj));
    PyTypeObject* type = Py_TYPE(obj);
    type->tp_free(obj);
    Py_DECREF(type);
}

PyMethodDef kMethods[] = {
    {"send", coro_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", coro_throw, METH_VARARGS,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return "
     "next iterated value or raise StopIteration."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"cr_running", coro_get_running, nullptr, nullptr, nullptr},
    {"cr_await", coro_get_await, nullptr, "object being awaited on, or None", nullptr},
    {"__name__", coro_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", coro_get_qualname, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class F>
void* slot(F* function) {
    return reinterpret_cast<void*>(function);
}

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("A coroutine implemented in C++.")},
    {Py_tp_dealloc, slot(coro_dealloc)},
    {Py_tp_finalize, slot(coro_finalize)},
    {Py_tp_traverse, slot(coro_traverse)},
    {Py_tp_clear, slot(coro_clear)},
    {Py_tp_free, slot(PyObject_GC_Del)},
    {Py_tp_iter, slot(PyObject_SelfIter)},
    {Py_tp_iternext, slot(coro_iternext)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_am_await, slot(coro_am_await)},
    {Py_am_send, slot(coro_am_send)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "tovrane_core.native_coroutine",
    static_cast<int>(sizeof(CoroObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

// This copy's handle on the process-wide type; the GIL guards it.
PyTypeObject* g_type = nullptr;

// Each extension module links its own copy of this file; the first one to need the
// type creates it and publishes it in pybind11's shared data for the others.
PyTypeObject* shared_type() {
    if (g_type) {
        return g_type;
    }
    const std::string key = "tovrane.pyco.coroutine." + std::to_string(kLayoutVersion) + "." +
                            std::to_string(sizeof(CoroObject)) + "." +
                            std::to_string(sizeof(PromiseBase));
    auto* type = static_cast<PyTypeObject*>(py::get_shared_data(key));
    if (!type) {
        auto made = py::reinterpret_steal<py::object>(PyType_FromSpec(&kSpec));
        if (!made) {
            throw py::error_already_set();
        }
        // The four methods already satisfy Coroutine's subclass hook; say it outright.
        py::module_::import("collections.abc").attr("Coroutine").attr("register")(made);
        // The import may have let another thread publish its type first.
        type = static_cast<PyTypeObject*>(py::get_shared_data(key));
        if (!type) {
            type = reinterpret_cast<PyTypeObject*>(made.release().ptr());
            py::set_shared_data(key, type);
        }
    }
    g_type = type;
    return type;
}

}  // namespace

bool PyAwaiter::await_ready() {
    // Only the iterator stays referenced, where the cycle collector can see it.
    const py::object awaitable = std::move(awaitable_);
    py::object iter = awaitable_iter(awaitable.ptr());
    PyObject* out = nullptr;
    PySendResult status = PyIter_Send(iter.ptr(), Py_None, &out);
    if (status == PYGEN_ERROR) {
        throw py::error_already_set();
    }
    promise_.value_ = out;
    if (status == PYGEN_NEXT) {
        promise_.delegate_ = iter.release().ptr();
        return false;
    }
    return true;
}

py::object PyAwaiter::await_resume() {
    if (promise_.error_) {
        std::rethrow_exception(std::exchange(promise_.error_, nullptr));
    }
    return py::reinterpret_steal<py::object>(std::exchange(promise_.value_, nullptr));
}

py::object wrap_frame(std::coroutine_handle<> frame, PromiseBase& promise) {
    PyTypeObject* type = nullptr;
    try {
        type = shared_type();
    } catch (...) {
        frame.destroy();
        throw;
    }
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) {
        py::error_already_set error;
        frame.destroy();
        throw error;
    }
    CoroObject* self = as_coro(obj);
    self->frame = frame;
    self->promise = &promise;
    self->function = promise.function_;
    self->state = State::created;
    return py::reinterpret_steal<py::object>(obj);
}

}  // namespace detail

py::type coroutine_type() {
    return py::reinterpret_borrow<py::type>(reinterpret_cast<PyObject*>(detail::shared_type()));
}

}  // namespace tovrane::pyco
