// Owning references and error propagation for the glue layer.
//
// Glue code throws PyError when a Python exception is already set; the function
// boundary (native_function.cpp) turns it back into a NULL return. Everything held
// across a call into Python is a Ref, so nothing can be freed under our feet.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstring>
#include <utility>

#if PY_VERSION_HEX < 0x030A0000
static inline PyObject* Py_NewRef(PyObject* o) {
    Py_INCREF(o);
    return o;
}
#endif

namespace rm {

struct PyError {};

[[noreturn]] inline void raise_current() { throw PyError{}; }

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }

    // Takes ownership of a new reference; NULL means a Python error is set.
    static Ref steal(PyObject* p) {
        if (!p) raise_current();
        Ref r;
        r.p_ = p;
        return r;
    }
    static Ref borrow(PyObject* p) noexcept {
        Ref r;
        Py_XINCREF(p);
        r.p_ = p;
        return r;
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Strong references gathered in order: N on the stack, more on the heap.
template <std::size_t N>
class RefStack {
public:
    RefStack() = default;
    RefStack(const RefStack&) = delete;
    RefStack& operator=(const RefStack&) = delete;
    ~RefStack() {
        clear();
        if (data_ != inline_) delete[] data_;
    }
    void push(PyObject* o) {
        if (size_ == cap_) grow();
        Py_INCREF(o);
        data_[size_++] = o;
    }
    // A release can run a finaliser: the slot is given up before.
    void clear() {
        while (size_) {
            PyObject* o = data_[--size_];
            Py_DECREF(o);
        }
    }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    PyObject* const* data() const { return data_; }
    PyObject* operator[](std::size_t i) const { return data_[i]; }

private:
    void grow() {
        PyObject** bigger = new PyObject*[cap_ * 2];
        std::memcpy(bigger, data_, size_ * sizeof(PyObject*));
        if (data_ != inline_) delete[] data_;
        data_ = bigger;
        cap_ *= 2;
    }
    PyObject* inline_[N];
    PyObject** data_ = inline_;
    std::size_t size_ = 0;
    std::size_t cap_ = N;
};

inline Ref new_ref(PyObject* p) { return Ref::steal(p); }
inline Ref none() { return Ref::borrow(Py_None); }

}  // namespace rm
