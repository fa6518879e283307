// Owned references: the one type through which the frame and the modules hold objects.
#pragma once

#include <Python.h>

namespace frame {

// What Ref and Kept share: the one reference (or none) they own, read and dropped alike.
class Owned {
  public:
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;

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

  protected:
    constexpr Owned() noexcept = default;
    constexpr explicit Owned(PyObject *o) noexcept : p_(o) {}
    ~Owned() = default;

    // Stores `o` before releasing the reference held before: a decref may run Python code.
    void
    replace(PyObject *o) noexcept
    {
        PyObject *old = p_;
        p_ = o;
        Py_XDECREF(old);
    }

    PyObject *p_ = nullptr;
};

// Owns one strong reference (or none) and releases it when it goes out of scope.
class Ref : public Owned {
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
    Ref(Ref &&r) noexcept : Owned(r.release()) {}
    Ref &
    operator=(Ref &&r) noexcept
    {
        replace(r.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Hands the reference to the caller (e.g. as a function result).
    PyObject *
    release() noexcept
    {
        PyObject *o = p_;
        p_ = nullptr;
        return o;
    }

  private:
    explicit Ref(PyObject *o) noexcept : Owned(o) {}
};

// Owns one reference (or none) for the life of the process: a Ref without a destructor, for
// static storage, which is destroyed after the interpreter has finalised, when no reference
// may be released any more.
class Kept : public Owned {
  public:
    constexpr Kept() noexcept = default;
    // Takes over `r`'s reference.
    Kept &
    operator=(Ref &&r) noexcept
    {
        replace(r.release());
        return *this;
    }
};

} // namespace frame
