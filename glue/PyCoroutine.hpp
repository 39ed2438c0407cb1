// glue/PyCoroutine.hpp: C++20 coroutine bodies that run as Python coroutine objects under asyncio
#pragma once

#include <array>
#include <coroutine>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "glue/PyRef.hpp"

// Writing a native coroutine
// --------------------------
// A body is a C++ coroutine returning py::Async; make_coroutine() wraps it, not yet
// started, into a Python coroutine object that asyncio drives as it drives an
// `async def` coroutine (asyncio.run, create_task, wait_for, timeout, eager tasks):
//
//     py::Async fire_job(py::Ref self, py::Ref job) {       // parameters by value
//         py::Ref r = co_await py::await_(some_awaitable);    // `r = await some_awaitable`
//         ...
//         co_return py::none();                               // the coroutine's result
//     }
//
//     Ref fire_job_impl(const Frame& f) {                     // FunctionSpec{..., coroutine =
//     true}
//         return py::make_coroutine(fire_job(Ref::borrow(f.args[0]), Ref::borrow(f.args[1])),
//                                   f.function);
//     }
//
// `co_await py::await_(x)` is the interpreter's `await x`: it takes x.__await__()
// (a Python coroutine is used directly), drives it, returns its result and throws
// py::Error for its exception, CancelledError included. While the body waits,
// throw() and close() of the coroutine go to the awaited object first, so a Task's
// cancellation cancels the awaited Future or is thrown into the awaited coroutine.
//
// Exceptions. `except Exception:` is a test, not a catch-all: a catch (...) that does
// not rethrow would swallow CancelledError and GeneratorExit.
//
//     try {
//         co_await py::await_(job);
//     } catch (py::Error& e) {
//         if (!e.matches(PyExc_Exception)) throw;
//         ...                                                 // the `except Exception:` block
//     }
//
// g++ refuses co_await inside a handler, so a `finally:` (or an `except` block) that
// awaits keeps the error, runs its steps after the handler and rethrows:
//
//     std::exception_ptr failure;                             // `try:`
//     try {
//         co_await py::await_(job);
//     } catch (...) {                                         // every error, rethrown below
//         failure = std::current_exception();
//     }
//     co_await py::await_(release());                         // `finally:` steps
//     if (failure) std::rethrow_exception(failure);
//
// As in Python, final steps that await after close() (GeneratorExit) make close()
// raise RuntimeError("coroutine ignored GeneratorExit"); under a Task cancellation
// (CancelledError) they may await freely.
//
// Logging. sys.exc_info() is empty inside a C++ handler; wrap the logging call in a
// py::Handling scope (logger.exception() and exc_info=True then print the real
// traceback, and errors raised inside chain to it as __context__), or pass
// exc_info_tuple(e) as exc_info. Never keep a Handling alive across a co_await.
//
// References and the cyclic GC. References a suspended body holds are invisible to
// the cyclic GC unless the coroutine object reports them. It reports:
//   - the body's py::Ref parameters (found when the frame is created);
//   - objects handed to `co_await py::keep(std::move(ref))`, which owns them until the
//     body finishes and returns a borrowed pointer;
//   - the object currently awaited.
// A Ref local kept across a co_await is a strong reference the GC cannot see: the
// object stays alive, but a cycle through it back to the coroutine is never
// collected. Keep such locals with py::keep when they can lead back to the coroutine.

namespace tarvel::py {

class AsyncPromise;
using AsyncHandle = std::coroutine_handle<AsyncPromise>;

// The return type of a coroutine body: owns the frame until make_coroutine() takes it.
class [[nodiscard]] Async {
  public:
    using promise_type = AsyncPromise;

    explicit Async(AsyncHandle frame) noexcept : frame_(frame) {}
    Async(Async&& other) noexcept : frame_(std::exchange(other.frame_, {})) {}
    Async& operator=(Async&&) = delete;
    ~Async() {
        if (frame_) frame_.destroy();
    }

  private:
    friend Ref make_coroutine(Async body, PyObject* qualname, PyObject* name);
    AsyncHandle frame_;
};

// Wraps a body, not yet started, into a Python coroutine object with the given
// __qualname__ and __name__ (`function`: the native function being called, whose
// names are read). Closing it or dropping it before it starts never runs the body;
// dropping it unstarted warns "coroutine '<qualname>' was never awaited" as Python does.
// Reading the names from `function` follows a renamed function, as Python does, and
// costs about 30 ns a call; interned names (TARVEL_NAME) cost nothing.
Ref make_coroutine(Async body, PyObject* qualname, PyObject* name);
Ref make_coroutine(Async body, PyObject* function);

// `await awaitable`: see above.
class [[nodiscard]] Await {
  public:
    explicit Await(Ref awaitable) noexcept : awaitable_(std::move(awaitable)) {}
    bool await_ready() const noexcept { return false; }
    bool await_suspend(AsyncHandle frame) noexcept;
    Ref await_resume();

  private:
    Ref awaitable_;
    AsyncPromise* promise_ = nullptr;
};

inline Await await_(Ref awaitable) noexcept {
    return Await(std::move(awaitable));
}
inline Await await_(PyObject* awaitable) noexcept {
    return Await(Ref::borrow(awaitable));
}

// `PyObject* p = co_await py::keep(std::move(ref))`: the coroutine object owns `ref`
// until the body finishes and shows it to the cyclic GC; `p` is borrowed from it.
class [[nodiscard]] Keep {
  public:
    explicit Keep(Ref object) noexcept : object_(std::move(object)) {}
    bool await_ready() const noexcept { return false; }
    bool await_suspend(AsyncHandle frame) noexcept;
    PyObject* await_resume();

  private:
    Ref object_;
    PyObject* kept_ = nullptr;
    bool failed_ = false;
};

inline Keep keep(Ref object) noexcept {
    return Keep(std::move(object));
}

// Makes `error` the exception being handled (what sys.exc_info() returns) while the
// scope lives, as an `except` block does; the previous one comes back at the end.
class Handling {
  public:
    explicit Handling(const Error& error) noexcept;
    ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

  private:
    PyObject* saved_;
};

// (type, value, traceback) of `error`, for logging's exc_info=.
Ref exc_info_tuple(const Error& error);

// The frame side of a body. Bodies never use it directly.
class AsyncPromise {
  public:
    static constexpr std::size_t kTrackedParams = 8;

    // Sees the body's parameter copies: the py::Ref ones are reported to the GC.
    template <class... Params>
    explicit AsyncPromise(Params&... params) noexcept {
        static_assert((std::size_t{0} + ... + (is_ref<Params> ? 1 : 0)) <= kTrackedParams,
                      "an Async body takes at most 8 py::Ref parameters");
        (track(params), ...);
    }
    AsyncPromise(const AsyncPromise&) = delete;
    AsyncPromise& operator=(const AsyncPromise&) = delete;
    ~AsyncPromise();

    // Frames come from the Python allocator: tracemalloc and -X dev see them.
    static void* operator new(std::size_t size);
    static void operator delete(void* frame) noexcept;

    Async get_return_object() noexcept { return Async(AsyncHandle::from_promise(*this)); }
    std::suspend_always initial_suspend() const noexcept { return {}; }
    std::suspend_always final_suspend() const noexcept { return {}; }
    void return_value(Ref value) noexcept { result_ = value.release(); }
    void unhandled_exception() noexcept;

  private:
    friend class Await;
    friend class Keep;
    friend struct CoroutineDriver;

    template <class T>
    static constexpr bool is_ref = std::is_same_v<std::remove_cv_t<T>, Ref>;

    template <class T>
    void track(T& param) noexcept {
        if constexpr (is_ref<T>) params_[nparams_++] = &param;
    }
    // The outcome of the awaited object, for Await::await_resume.
    Ref take_outcome();

    std::array<const Ref*, kTrackedParams> params_{};
    std::size_t nparams_ = 0;
    PyObject* keep_ = nullptr;      // list of py::keep() objects
    PyObject* awaiting_ = nullptr;  // the iterator being awaited while suspended
    PyObject* yielded_ = nullptr;   // what it yielded, passed out to the driver of the coroutine
    PyObject* sent_ = nullptr;      // what it returned, for the body
    PyObject* thrown_ = nullptr;    // the exception it raised (or was thrown in), for the body
    PyObject* result_ = nullptr;    // the body's co_return value
    PyObject* error_ = nullptr;     // the exception that left the body
};

}  // namespace tarvel::py

// Parameters of a body are copied into its frame, which outlives the call: references
// and borrowed pointers would dangle once the body is suspended.
template <class... Params>
struct std::coroutine_traits<tarvel::py::Async, Params...> {
    static_assert(((!std::is_reference_v<Params> ||
                    !std::is_same_v<std::remove_cvref_t<Params>, tarvel::py::Ref>) &&
                   ...),
                  "take py::Ref parameters of an Async body by value");
    static_assert((!std::is_same_v<std::remove_cv_t<Params>, PyObject*> && ...),
                  "pass Python objects to an Async body as py::Ref, not as borrowed PyObject*");
    using promise_type = tarvel::py::AsyncPromise;
};
