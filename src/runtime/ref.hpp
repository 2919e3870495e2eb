// Owning references for module code: every PyObject* that module code owns lives in a
// Ref, so each early return releases what it holds and nothing needs a manual decref.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vmrt {

class Ref {
public:
    constexpr Ref() noexcept = default;
    Ref(const Ref& other) noexcept : ptr_(Py_XNewRef(other.ptr_)) {}
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref other) noexcept
    {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference, such as the result of most C API calls.
    [[nodiscard]] static Ref steal(PyObject* ptr) noexcept
    {
        Ref ref;
        ref.ptr_ = ptr;
        return ref;
    }
    // Adds a reference of its own to a borrowed pointer.
    [[nodiscard]] static Ref borrow(PyObject* ptr) noexcept
    {
        Ref ref;
        ref.ptr_ = Py_XNewRef(ptr);
        return ref;
    }

    PyObject* get() const noexcept { return ptr_; }
    // Hands the reference to the caller, e.g. as a function result.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    void reset() noexcept { Py_CLEAR(ptr_); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    PyObject* ptr_ = nullptr;
};

// A reference kept for the life of the process. It has no destructor on purpose: a
// static destructor would decref after the interpreter has been finalised.
class ProcessRef {
public:
    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    void hold(PyObject* ptr) noexcept { Py_XSETREF(ptr_, Py_XNewRef(ptr)); }
    void drop() noexcept { Py_CLEAR(ptr_); }

private:
    PyObject* ptr_ = nullptr;
};

}  // namespace vmrt
