// Owned references: the one type through which the frame and the modules hold objects.
#pragma once

#include <Python.h>

namespace frame {

// Owns one strong reference (or none) and releases it when it goes out of scope.
class Ref {
  public:
    // Takes over a new reference, e.g. the result of an API call (may be null).
    static Ref
    steal(PyObject *o) noexcept
    {
        return Ref(o);
    }
    // Adds a reference to a borrowed object (may be null).
    static Ref
    borrow(PyObject *o) noexcept
    {
        Py_XINCREF(o);
        return Ref(o);
    }

    Ref() = default;
    Ref(Ref &&r) noexcept : p_(r.p_) { r.p_ = nullptr; }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    // Stores the new value before releasing the old one: a decref may run Python code.
    Ref &
    operator=(Ref &&r) noexcept
    {
        PyObject *old = p_;
        p_ = r.p_;
        r.p_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject *
    get() const noexcept
    {
        return p_;
    }
    // Hands the reference to the caller (e.g. as a function result).
    PyObject *
    release() noexcept
    {
        PyObject *o = p_;
        p_ = nullptr;
        return o;
    }
    // Drops the reference now.
    void
    reset() noexcept
    {
        PyObject *old = p_;
        p_ = nullptr;
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    explicit Ref(PyObject *o) noexcept : p_(o) {}
    PyObject *p_ = nullptr;
};

// Owns one reference (or none) for the life of the process: a Ref without a destructor, for
// static storage, which is destroyed after the interpreter has finalised, when no reference
// may be released any more.
class Kept {
  public:
    constexpr Kept() noexcept = default;
    Kept(const Kept &) = delete;
    Kept &operator=(const Kept &) = delete;
    // Takes over `r`'s reference, then releases the one held before: a decref may run Python
    // code.
    Kept &
    operator=(Ref &&r) noexcept
    {
        PyObject *old = p_;
        p_ = r.release();
        Py_XDECREF(old);
        return *this;
    }

    PyObject *
    get() const noexcept
    {
        return p_;
    }
    // Drops the reference now.
    void
    reset() noexcept
    {
        PyObject *old = p_;
        p_ = nullptr;
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    PyObject *p_ = nullptr;
};

} // namespace frame
