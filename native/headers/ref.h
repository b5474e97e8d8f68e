// Owned-reference wrapper. Ownership is stated at construction (steal or
// borrow), never by a flag, so no function needs a chain of manual decrefs.
#pragma once

#include <Python.h>

#include <utility>

namespace velmora {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept {
        if (this != &other) reset_steal(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (may be null: a failed call).
    [[nodiscard]] static Ref steal(PyObject *p) noexcept { return Ref(p); }
    // Adds a reference of our own to a borrowed pointer.
    [[nodiscard]] static Ref borrow(PyObject *p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject *get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Hands the reference to the caller (the C boundary).
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(p_, nullptr); }

    // The new pointer is installed before the old one is released:
    // releasing can run arbitrary Python code that may look at us again.
    void reset_steal(PyObject *p) noexcept {
        PyObject *old = std::exchange(p_, p);
        Py_XDECREF(old);
    }
    void reset_borrow(PyObject *p) noexcept {
        Py_XINCREF(p);
        reset_steal(p);
    }
    void reset() noexcept { reset_steal(nullptr); }

private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

}  // namespace velmora
