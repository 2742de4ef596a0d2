"""The asyncio bridge: C++ coroutines driven by Python's event loop and awaiting Python."""
import asyncio
import collections.abc
import gc
import inspect
import random
import threading
import types
import weakref

import pytest

import bridge_peer
import bridge_testmod as bt


@pytest.fixture(autouse=True)
def fresh_counters():
    bt.reset_counters()
    yield
    gc.collect()
    assert bt.counters()["alive"] == 0, "a frame was neither finished nor destroyed"


async def py_value(value):
    await asyncio.sleep(0)
    return value


async def py_raise(exc):
    await asyncio.sleep(0)
    raise exc


async def forever():
    await asyncio.get_running_loop().create_future()


@types.coroutine
def generator_coroutine(value):
    yield None
    return value


def make_awaitable(kind, value):
    """An awaitable of each kind the bridge meets, finishing with `value`."""
    loop = asyncio.get_running_loop()
    if kind == "done_future":
        fut = loop.create_future()
        fut.set_result(value)
        return fut
    if kind == "future":
        fut = loop.create_future()
        loop.call_soon(fut.set_result, value)
        return fut
    return {
        "task": lambda: asyncio.ensure_future(py_value(value)),
        "coroutine": lambda: py_value(value),
        "own": lambda: bt.await_value(py_value(value)),
        "generator_coroutine": lambda: generator_coroutine(value),
        "sleep0": lambda: asyncio.sleep(0, result=value),
        "sleep": lambda: asyncio.sleep(0.005, result=value),
    }[kind]()


KINDS = ["done_future", "future", "task", "coroutine", "own", "generator_coroutine", "sleep0",
         "sleep"]


def make_pending(kind):
    """An awaitable of each kind that never finishes by itself."""
    loop = asyncio.get_running_loop()
    if kind == "semaphore":
        sem = asyncio.Semaphore(0)
        return sem.acquire()
    return {
        "future": loop.create_future,
        "task": lambda: asyncio.ensure_future(forever()),
        "coroutine": forever,
        "own": lambda: bt.await_value(forever()),
        "sleep": lambda: asyncio.sleep(3600),
        "gather": lambda: asyncio.gather(forever(), forever()),
    }[kind]()


PENDING_KINDS = ["future", "task", "coroutine", "own", "sleep", "gather", "semaphore"]


# --- the protocol ---------------------------------------------------------------


def test_objects_are_coroutines_of_one_shared_type():
    ours, peers = bt.await_value(None), bridge_peer.await_value(None)
    assert type(ours) is type(peers) is bt.coroutine_type() is bridge_peer.coroutine_type()
    assert asyncio.iscoroutine(ours) and inspect.isawaitable(ours)
    assert isinstance(ours, collections.abc.Coroutine)
    # asyncio names a task's coroutine in reprs and warnings by its __qualname__.
    assert (ours.__name__, ours.__qualname__) == ("await_value", "await_value")
    ours.close()
    peers.close()
    with pytest.raises(TypeError):
        bt.coroutine_type()()


async def test_copies_of_the_bridge_in_two_modules_drive_each_other():
    inner = bridge_peer.await_value(bt.await_value(asyncio.sleep(0, result="deep")))
    assert await bt.await_nested(bridge_peer.await_value(inner), 2) == "deep"


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("depth", [0, 1, 3])
async def test_result_of_each_awaitable_kind_through_nesting(kind, depth):
    assert await bt.await_nested(make_awaitable(kind, ("v", kind)), depth) == ("v", kind)


@pytest.mark.parametrize("value", [(1, 2), (), None, [3], StopIteration(4), ValueError("v")])
async def test_return_value_arrives_unchanged(value):
    # Tuples and exception instances must not be taken for StopIteration's arguments.
    assert await bt.return_given(value) is value
    assert await bt.await_value(bt.return_given(value)) is value
    with pytest.raises(StopIteration) as stop:
        bt.return_given(value).send(None)
    assert stop.value.value is value


async def test_void_task_gives_none_and_awaits_in_order():
    loop = asyncio.get_running_loop()
    done = loop.create_future()
    done.set_result("d")
    assert await bt.await_void(py_value(1)) is None
    awaitables = [done, py_value("c"), bt.await_value(py_value("o")), asyncio.sleep(0, "s")]
    assert await bt.await_each(awaitables) == ["d", "c", "o", "s"]


@pytest.mark.parametrize("obj, message", [
    (42, "object int can't be used in 'await' expression"),
    ((x for x in ()), "object generator can't be used in 'await' expression"),
])
async def test_awaiting_a_non_awaitable_raises_type_error(obj, message):
    with pytest.raises(TypeError, match=message):
        await bt.await_value(obj)


# --- errors -----------------------------------------------------------------------


async def test_absurdly_deep_chain_raises_recursion_error_not_a_crash():
    with pytest.raises(RecursionError):
        await bt.await_nested(asyncio.sleep(0), 100_000)
    assert await bt.await_nested(asyncio.sleep(0, "fine"), 100) == "fine"


@pytest.mark.parametrize("depth", [0, 1, 4])
async def test_python_error_reaches_the_awaiter_unchanged(depth):
    error = KeyError("missing")
    with pytest.raises(KeyError) as raised:
        await bt.await_nested(py_raise(error), depth)
    assert raised.value is error


async def test_frame_catch_block_sees_the_error_then_lets_it_through():
    with pytest.raises(LookupError, match="gone"):
        await bt.guarded_await(py_raise(LookupError("gone")))
    assert bt.counters() == {"alive": 0, "released": 1, "caught": 1, "last_caught": "LookupError"}


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
def test_only_ordinary_errors_are_caught(exc):
    assert asyncio.run(bt.ordinary_to_text(py_raise(OSError("disk")))) == "caught: disk"
    coro = bt.ordinary_to_text(conversation())
    coro.send(None)
    with pytest.raises(type(exc)):
        coro.throw(exc)


async def test_cancellation_is_not_an_ordinary_error():
    task = asyncio.ensure_future(bt.ordinary_to_text(forever()))
    await asyncio.sleep(0)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task


@pytest.mark.parametrize("kind, exc_type, text", [
    ("runtime_error", RuntimeError, "boom"),
    ("invalid_argument", ValueError, "boom"),
    ("out_of_range", IndexError, "boom"),
    ("bad_alloc", MemoryError, "std::bad_alloc"),
    ("key_error", KeyError, "'boom'"),
    ("stop_iteration", RuntimeError, "coroutine raised StopIteration"),
])
@pytest.mark.parametrize("suspend_first", [False, True])
async def test_cpp_exceptions_map_as_pybind11_maps_them(kind, exc_type, text, suspend_first):
    with pytest.raises(exc_type) as raised:
        await bt.await_value(bt.raise_cpp(kind, "boom", suspend_first))
    assert str(raised.value) == text
    if kind == "stop_iteration":
        assert isinstance(raised.value.__cause__, StopIteration)


# --- cancellation and clean-up ---------------------------------------------------


@pytest.mark.parametrize("kind", PENDING_KINDS)
async def test_cancel_at_each_kind_of_await_runs_catch_and_destructors(kind):
    task = asyncio.ensure_future(bt.guarded_await(bt.await_nested(make_pending(kind), 1)))
    for _ in range(3):
        await asyncio.sleep(0)
    assert bt.counters()["alive"] == 1
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert task.cancelled()
    assert bt.counters() == {"alive": 0, "released": 1, "caught": 1,
                             "last_caught": "CancelledError"}


@pytest.mark.parametrize("permit_free", [True, False])
async def test_cancel_gives_the_semaphore_permit_back(permit_free):
    sem = asyncio.Semaphore(1)
    if not permit_free:
        await sem.acquire()
    task = asyncio.ensure_future(bt.with_permit(sem, asyncio.get_running_loop().create_future()))
    await asyncio.sleep(0)
    assert sem.locked()
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    if not permit_free:
        sem.release()
    assert not sem.locked() and sem._value == 1


async def test_wait_for_time_out_cancels_the_frame():
    with pytest.raises(asyncio.TimeoutError):
        await asyncio.wait_for(bt.guarded_await(asyncio.sleep(3600)), 0.01)
    assert bt.counters()["released"] == 1 and bt.counters()["last_caught"] == "CancelledError"


async def test_cancellation_storm_leaves_no_frame_behind():
    rng = random.Random(7)
    tasks = []
    for i in range(400):
        inner = (asyncio.sleep(rng.random() * 0.01, result=i) if i % 2
                 else make_pending(rng.choice(PENDING_KINDS)))
        tasks.append(asyncio.ensure_future(bt.guarded_await(bt.await_nested(inner, i % 3))))
    await asyncio.sleep(0)
    for _ in range(20):
        for task in rng.sample(tasks, 40):
            task.cancel()
        await asyncio.sleep(0.001 * rng.random())
    for task in tasks:
        task.cancel()
    outcomes = await asyncio.gather(*tasks, return_exceptions=True)
    for i, outcome in enumerate(outcomes):
        assert outcome == i or isinstance(outcome, asyncio.CancelledError)
    assert bt.counters()["released"] == 400


async def test_gather_of_a_thousand_with_return_exceptions():
    errors = {i: ValueError(i) for i in range(0, 1000, 3)}
    coros = [bt.guarded_await(py_raise(errors[i]) if i in errors else py_value(i))
             for i in range(1000)]
    outcomes = await asyncio.gather(*coros, return_exceptions=True)
    assert outcomes == [errors.get(i, i) for i in range(1000)]
    assert bt.counters()["caught"] == len(errors) and bt.counters()["released"] == 1000


# --- lifetime ---------------------------------------------------------------------


class Token:
    pass


def test_coroutine_dropped_unawaited_frees_its_frame():
    token = Token()
    ref = weakref.ref(token)
    coro = bt.await_value(token)
    del token
    assert ref() is not None  # the frame holds its argument
    del coro
    assert ref() is None


@pytest.mark.parametrize("end", ["close", "drop", "cycle"])
def test_abandoned_coroutine_closes_inner_and_runs_destructors(end):
    log = []

    @types.coroutine
    def inner(keep):
        try:
            yield "tick"
        finally:
            log.append("inner closed")

    keep = []
    # The frame creates what it awaits, so only the awaited iterator references it.
    coro = bt.guarded_await(bt.await_calls([inner(keep)].pop, 1))
    assert coro.send(None) == "tick" and bt.counters()["alive"] == 1
    if end == "close":
        assert coro.close() is None
        assert coro.close() is None  # closing twice is silent
    elif end == "cycle":
        keep.append(coro)  # coro -> inner coroutines -> generator -> keep -> coro
    del coro, keep
    gc.collect()
    assert log == ["inner closed"]
    # Destroying the frame runs destructors, not catch blocks.
    assert bt.counters()["released"] == 1 and bt.counters()["caught"] == 0


def test_method_keeps_self_and_looks_up_the_callee_at_run_time():
    holder = bt.Holder()
    holder.other_async = lambda x: py_value(x * 2)
    coro = holder.call_other(21)
    del holder
    gc.collect()
    assert asyncio.run(coro) == 42


# --- driving by hand --------------------------------------------------------------


@types.coroutine
def conversation():
    got = yield "first"
    try:
        yield ("got", got)
    except ValueError as exc:
        return ("caught", str(exc))
    return "not thrown"


def test_send_throw_next_delegate_like_yield_from():
    coro = bt.await_value(conversation())
    assert iter(coro) is coro
    assert next(coro) == "first"
    assert not coro.cr_running and inspect.isgenerator(coro.cr_await)
    assert coro.send(5) == ("got", 5)
    with pytest.raises(StopIteration) as stop:
        coro.throw(ValueError("x"))
    assert stop.value.value == ("caught", "x")
    assert coro.cr_await is None


@pytest.mark.parametrize("call", [lambda c: c.send(None), lambda c: c.throw(KeyError),
                                  lambda c: next(c)])
def test_finished_coroutine_cannot_be_resumed(call):
    coro = bt.return_given(1)
    with pytest.raises(StopIteration):
        coro.send(None)
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        call(coro)
    assert coro.close() is None


async def test_awaiting_twice_raises_like_python():
    coro = bt.await_value(asyncio.sleep(0, "once"))
    assert await coro == "once"
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        await coro

    pending = bt.await_value(asyncio.sleep(0.01))
    first = asyncio.ensure_future(pending)
    await asyncio.sleep(0)
    with pytest.raises(RuntimeError, match="coroutine is being awaited already"):
        await pending
    await first


def test_start_with_a_value_or_an_exception():
    with pytest.raises(TypeError, match="can't send non-None value to a just-started coroutine"):
        bt.await_value(conversation()).send(1)
    token = Token()
    ref = weakref.ref(token)
    coro = bt.await_value(token)
    del token
    with pytest.raises(KeyError):
        coro.throw(KeyError)  # the body never ran: nothing can catch it
    assert ref() is None
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)


def test_throw_passes_through_when_the_inner_does_not_catch():
    coro = bt.guarded_await(conversation())
    coro.send(None)
    with pytest.raises(KeyError):
        coro.throw(KeyError("k"))
    assert bt.counters()["last_caught"] == "KeyError"


def test_generator_exit_closes_the_inner_then_unwinds_the_frame():
    log = []

    @types.coroutine
    def inner():
        try:
            yield 1
        except GeneratorExit:
            log.append("closed")
            raise

    coro = bt.guarded_await(inner())
    coro.send(None)
    with pytest.raises(GeneratorExit):
        coro.throw(GeneratorExit)
    assert log == ["closed"] and bt.counters()["last_caught"] == "GeneratorExit"


@pytest.mark.parametrize("call", [lambda c: c.send(None), lambda c: c.throw(KeyError),
                                  lambda c: c.close()])
def test_reentering_a_running_coroutine_raises_value_error(call):
    box = []

    @types.coroutine
    def reenter():
        try:
            call(box[0])
        except ValueError as exc:
            return str(exc)
        yield

    coro = bt.await_value(reenter())
    box.append(coro)
    with pytest.raises(StopIteration) as stop:
        coro.send(None)
    assert stop.value.value == "coroutine already executing"


@pytest.mark.parametrize("args, message", [
    ((42,), "exceptions must be classes or instances deriving from BaseException, not int"),
    ((ValueError("a"), "b"), "instance exception may not have a separate value"),
])
def test_throw_rejects_bad_arguments(args, message):
    coro = bt.await_value(conversation())
    coro.send(None)
    with pytest.raises(TypeError, match=message):
        coro.throw(*args)
    assert coro.send(1) == ("got", 1)  # still usable
    coro.close()


# --- event loops and threads -----------------------------------------------------


def test_asyncio_run_and_two_loops_in_turn():
    assert asyncio.run(bt.await_nested(asyncio.sleep(0.001, "a"), 2)) == "a"
    loop = asyncio.new_event_loop()
    try:
        assert loop.run_until_complete(bt.await_value(py_value("b"))) == "b"
    finally:
        loop.close()


def test_loops_in_two_threads_at_once():
    results, errors = {}, []
    start = threading.Barrier(2)

    def run(name):
        async def main():
            return await asyncio.gather(*(
                bt.await_nested(asyncio.sleep(0.0005 * (i % 4), (name, i)), i % 3)
                for i in range(300)))
        try:
            start.wait()
            results[name] = asyncio.run(main())
        except BaseException as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=run, args=(name,)) for name in "ab"]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    assert results == {name: [(name, i) for i in range(300)] for name in "ab"}
