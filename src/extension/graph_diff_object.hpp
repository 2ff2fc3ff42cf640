// The PyGraphDiff type: its instance record, its creation, and the checked
// borrowing of `self` that every method does.
#pragma once

#include <Python.h>

#include <type_traits>
#include <utility>

#include "binding/error.hpp"
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
    friend binding::PyResult<Borrow<true>> borrow_exclusive(PyObject* self);
    friend binding::PyResult<Borrow<false>> borrow_shared(PyObject* self);
    explicit Borrow(PyGraphDiffObject* object) noexcept : object_(object) {}
    PyGraphDiffObject* object_;
};

// `self` borrowed shared or exclusively, or the TypeError of a wrong
// `self` or the RuntimeError of a borrow that conflicts with one held.
binding::PyResult<Borrow<false>> borrow_shared(PyObject* self);
binding::PyResult<Borrow<true>> borrow_exclusive(PyObject* self);

}  // namespace quorl::extension
