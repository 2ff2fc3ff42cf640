// The PyGraphDiff type: its instance record, its creation, and the checked
// borrowing of `self` that every method does.
#pragma once

#include <Python.h>

#include <type_traits>
#include <utility>

#include "binding/error.hpp"
#include "binding/process_state.hpp"
#include "binding/texts.hpp"
#include "diff/graph_diff.hpp"

namespace quorl::extension {

struct PyGraphDiffObject {
    PyObject_HEAD
    diff::GraphDiff value;
    // 0 free, -1 borrowed exclusively, n > 0 borrowed shared n times.
    Py_ssize_t borrow_flag;
};
static_assert(std::is_standard_layout_v<PyGraphDiffObject>, "the interpreter sees the record as a PyObject");

// The type object, created on first use; a failure is returned, not cached.
binding::PyResult<PyTypeObject*> graph_diff_type();

// Wraps `value` in a new PyGraphDiff.
binding::PyResult<binding::Owned> new_graph_diff_object(diff::GraphDiff value);

// The class's method table (graph_diff_methods.cpp), ended by a zero entry.
extern PyMethodDef kGraphDiffMethods[];

// A borrow of a PyGraphDiff's diff that ends (and gives back its reference
// to the object) when the handle goes away.
template <bool Exclusive>
class Borrow {
public:
    Borrow(Borrow&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    Borrow& operator=(Borrow&&) = delete;
    ~Borrow() {
        if (!object_) return;
        if constexpr (Exclusive) {
            object_->borrow_flag = 0;
        } else {
            --object_->borrow_flag;
        }
        binding::release_ref(reinterpret_cast<PyObject*>(object_));
    }

    std::conditional_t<Exclusive, diff::GraphDiff&, const diff::GraphDiff&> operator*() const noexcept {
        return object_->value;
    }
    auto* operator->() const noexcept { return &**this; }

private:
    template <bool E>
    friend binding::PyResult<Borrow<E>> borrow(PyObject* self);
    explicit Borrow(PyGraphDiffObject* object) noexcept : object_(object) {}
    PyGraphDiffObject* object_;
};

// `self` if it is exactly a PyGraphDiff (the common case), else null.
inline PyGraphDiffObject* exact_instance(PyObject* self) noexcept {
    PyObject* const type = binding::process_state.graph_diff_type;
    return type && Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(type) ? reinterpret_cast<PyGraphDiffObject*>(self)
                                                                           : nullptr;
}

// `self` as a PyGraphDiff, for anything but the exact type: creates the
// type if need be and accepts subtypes.
binding::PyResult<PyGraphDiffObject*> checked_self(PyObject* self);

// `self` borrowed shared or exclusively, or the TypeError of a wrong `self`
// or the RuntimeError of a borrow that conflicts with one held.
template <bool Exclusive>
[[gnu::always_inline]] inline binding::PyResult<Borrow<Exclusive>> borrow(PyObject* self) {
    PyGraphDiffObject* object = exact_instance(self);
    if (!object) {
        QUORL_TRY(checked, checked_self(self));
        object = checked;
    }
    if constexpr (Exclusive) {
        if (object->borrow_flag != 0) {
            return fail(binding::PyErr::new_message(PyExc_RuntimeError, binding::texts::kAlreadyBorrowed));
        }
        object->borrow_flag = -1;
    } else {
        if (object->borrow_flag == -1) {
            return fail(binding::PyErr::new_message(PyExc_RuntimeError, binding::texts::kAlreadyMutablyBorrowed));
        }
        ++object->borrow_flag;
    }
    binding::retain_ref(self);
    return Borrow<Exclusive>(object);
}

inline binding::PyResult<Borrow<false>> borrow_shared(PyObject* self) { return borrow<false>(self); }

}  // namespace quorl::extension
