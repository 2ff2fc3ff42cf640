// The one shape of a PyGraphDiff method: the access it needs to `self`, its
// signature with the kind of each parameter, and its work on the converted
// values. call_method runs it inside the call frame:
//
//     PyObject* delete_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
//         return call_method<Access::Exclusive, kDeleteNodeSignature, Id>(
//             {self, args, nargs, kwnames}, [](diff::GraphDiff& diff, diff::Uuid id) -> PyResult<Owned> {
//                 diff.delete_node(id);
//                 return none();
//             });
//     }
//
// For a method with arguments that is: parse the arguments against the
// signature, borrow `self`, convert the arguments in parameter order (the
// first failure ends the call, attributed to its parameter's name, before
// anything has changed), do the work, end the borrow. A method that changes
// the diff and whose parameter kinds all have a plain form also takes the
// shortcut for the common call (below).
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/convert.hpp"
#include "binding/convert_batch.hpp"
#include "binding/frame.hpp"
#include "extension/graph_diff_object.hpp"

namespace quorl::extension {

using binding::Owned;
using binding::PyErr;
using binding::PyResult;

[[gnu::always_inline]] inline Owned none() { return Owned::retain(Py_None); }

// What a method does with `self`: nothing (a static method), read the diff,
// or change it.
enum class Access { Static, Shared, Exclusive };

// The parameter list of a method of the class whose parameters all come by
// position or keyword.
constexpr binding::CallSignature method_signature(const binding::texts::Method& method,
                                                  std::span<const char* const> parameters) {
    return {.class_name = binding::texts::kClassName, .function_name = method.name, .parameters = parameters};
}

// The arguments of a fast call, as the interpreter passes them. For a static
// method `self` is whatever the interpreter passes first, and is ignored.
struct FastCall {
    PyObject* self;
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* kwnames;
};

// ---- parameter kinds ----------------------------------------------------------
//
// Every kind of parameter has one entry point, convert(obj, name): the
// value it takes, or the failure attributed to the parameter `name`. A kind
// whose value has a plain form (convert.hpp) also has plain(obj, value),
// which the common call uses. An absent argument is a null `obj`, which only
// the kinds made with Optional or NoneDefaults accept. A kind that takes
// several parameters in a row, kSlots of them, is given their objects and
// names as arrays: convert(objs, names).

// The default adaptor: a parameter converted by one conversion of
// convert.hpp, whose failure wrap_argument_error attributes to the parameter.
template <class Conversion>
struct Converted {
    using Value = typename Conversion::Value;
    static PyResult<Value> convert(PyObject* obj, const char* name) {
        auto converted = Conversion::extract(obj);
        if (!converted) return fail(binding::wrap_argument_error(name, std::move(converted).error()));
        return converted;
    }
    static bool plain(PyObject* obj, Value& value)
        requires binding::HasPlainForm<Conversion>
    {
        return Conversion::plain(obj, value);
    }
};

using Id = Converted<binding::UuidConversion>;
using Update = Converted<binding::NodeUpdateConversion>;
using Weight = Converted<binding::F32Conversion>;
using Bytes = Converted<binding::BytesConversion>;  // valid while the argument lives
using NodeSizes = Converted<binding::NodeSizesConversion>;

// The first argument of a batch method: a whole column of ids. Its failures
// are attributed by the conversion itself: a wrong item by its index, the
// argument as a whole by its name. The batch's other arguments are columns
// that must be as long, which the method's work converts given its count.
struct Ids {
    using Value = binding::IdColumn;
    static PyResult<Value> convert(PyObject* obj, const char* name) { return binding::extract_uuid_column(obj, name); }
};

// Any object, not looked at: the memo of __deepcopy__, or an argument that
// the method's work converts itself given the others (the columns of a
// batch after the first).
struct Object {
    using Value = PyObject*;
    static PyResult<Value> convert(PyObject* obj, const char*) { return obj; }
};

// A parameter that may be left out: a std::optional, without a value when
// the argument is absent.
template <class Param>
struct Optional {
    using Value = std::optional<typename Param::Value>;
    static PyResult<Value> convert(PyObject* obj, const char* name) {
        if (!obj) return Value();
        QUORL_TRY(value, Param::convert(obj, name));
        return Value(std::move(value));
    }
};
// Parameters in a row, `N` of them, each of which may be left out and
// defaults to None, taken as they come: null where left out or None. The
// method's work converts them (add_nodes' updates and attribute columns,
// given the ids).
template <std::size_t N>
struct NoneDefaults {
    static constexpr std::size_t kSlots = N;
    using Value = std::array<PyObject*, N>;
    static PyResult<Value> convert(PyObject* const* objs, const char* const*) {
        Value value;
        for (std::size_t i = 0; i < N; ++i) value[i] = objs[i] == Py_None ? nullptr : objs[i];
        return value;
    }
};

// How many parameters a kind takes.
template <class Param>
constexpr std::size_t slot_count() noexcept {
    if constexpr (requires { Param::kSlots; }) {
        return Param::kSlots;
    } else {
        return 1;
    }
}
template <class... Params>
inline constexpr std::size_t kSlotTotal = (slot_count<Params>() + ... + 0);

using binding::HasPlainForm;

namespace method_detail {

// ---- the common call ----------------------------------------------------------
//
// The mutating methods are called in bulk, nearly always by position with
// 16-byte `bytes`, a plain attribute dict and a `float`, on a PyGraphDiff
// that nothing else borrows. For that call no step of the general path can
// fail or run Python code, so it is done directly: the arguments are read by
// their plain conversions and the exclusive borrow is set and cleared around
// the work (the reference the general borrow takes on `self` is left out,
// since no code can run that would see it). Any other call takes the general
// path, which gives the same result and every error message.

// `self` if it is a PyGraphDiff that no borrow holds, else null.
inline PyGraphDiffObject* unborrowed(PyObject* self) noexcept {
    PyGraphDiffObject* object = exact_instance(self);
    return object && object->borrow_flag == 0 ? object : nullptr;
}

// Holds the exclusive borrow of an unborrowed object until the scope ends,
// a fault included.
class ExclusiveScope {
public:
    explicit ExclusiveScope(PyGraphDiffObject* object) noexcept : object_(object) { object_->borrow_flag = -1; }
    ExclusiveScope(const ExclusiveScope&) = delete;
    ExclusiveScope& operator=(const ExclusiveScope&) = delete;
    ~ExclusiveScope() { object_->borrow_flag = 0; }
    diff::GraphDiff& diff() const noexcept { return object_->value; }

private:
    PyGraphDiffObject* object_;
};

// Reads every argument by its plain conversion; false at the first that has
// none. Once the first is read, look_ahead(value) runs before the others
// are.
template <class First, class... Rest, class LookAhead>
[[gnu::always_inline]] inline bool read_plain(PyObject* const* args,
                                              std::tuple<typename First::Value, typename Rest::Value...>& values,
                                              const LookAhead& look_ahead) {
    if (!First::plain(args[0], std::get<0>(values))) return false;
    look_ahead(std::get<0>(values));
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return (Rest::plain(args[I + 1], std::get<I + 1>(values)) && ...);
    }(std::index_sequence_for<Rest...>{});
}

// The look-ahead of a method that has none.
struct NoLookAhead {
    template <class Diff, class Value>
    void operator()(const Diff&, const Value&) const noexcept {}
};

// ---- the general path ---------------------------------------------------------

// Converts the arguments of one kind (`objs`, named `names`) into `value`,
// or records the failure.
template <class Param>
bool convert_into(PyObject* const* objs, const char* const* names, typename Param::Value& value,
                  std::optional<PyErr>& failure) {
    auto converted = [&] {
        if constexpr (slot_count<Param>() == 1) {
            return Param::convert(objs[0], names[0]);
        } else {
            return Param::convert(objs, names);
        }
    }();
    if (!converted) {
        failure = std::move(converted).error();
        return false;
    }
    value = std::move(*converted);
    return true;
}

// The parsed arguments converted in parameter order, up to the first failure.
template <class... Params>
PyResult<std::tuple<typename Params::Value...>> convert_all(const binding::CallSignature& signature,
                                                            PyObject* const* slots) {
    // The slot of each kind's first parameter.
    constexpr auto kFirst = [] {
        std::array<std::size_t, sizeof...(Params)> first{};
        std::size_t i = 0;
        std::size_t next = 0;
        ((first[i++] = next, next += slot_count<Params>()), ...);
        return first;
    }();
    std::tuple<typename Params::Value...> values;
    std::optional<PyErr> failure;
    const char* const* names = signature.parameters.data();
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (convert_into<Params>(slots + kFirst[I], names + kFirst[I], std::get<I>(values), failure) && ...);
    }(std::index_sequence_for<Params...>{});
    if (failure) return fail(std::move(*failure));
    return values;
}

// Kept out of line: the common call's code stays short.
template <Access Mode, class... Params, class Work>
[[gnu::noinline]] PyResult<Owned> general_call(const binding::CallSignature& signature, const FastCall& call,
                                               Work& work) {
    std::array<PyObject*, kSlotTotal<Params...>> slots{};
    QUORL_CHECK(binding::parse_fastcall_args(signature, call.args, call.nargs, call.kwnames, slots.data()));
    if constexpr (Mode == Access::Static) {
        QUORL_TRY(values, convert_all<Params...>(signature, slots.data()));
        return std::apply(work, std::move(values));
    } else {
        QUORL_TRY(diff, borrow<Mode == Access::Exclusive>(call.self));
        QUORL_TRY(values, convert_all<Params...>(signature, slots.data()));
        return std::apply([&](auto&... value) { return work(*diff, std::move(value)...); }, values);
    }
}

}  // namespace method_detail

// A method with arguments (METH_FASTCALL | METH_KEYWORDS): `work` takes the
// diff (except for a static method) and one value per parameter kind, and
// returns the result or an error. In the common call, look_ahead(diff,
// first value) runs as soon as the first argument is read: it may ask the
// processor for what the work will load, so that the loads overlap the
// reading of the other arguments. It must change nothing.
//
// Control thus goes from the binding (the first argument) to the diff (the
// look-ahead), back to the binding (the other arguments) and to the diff
// again (the work). No clearer seam gives the overlap: only the binding
// reads the arguments, and only the diff knows where an id will go, so the
// two must take turns while the arguments are read.
template <Access Mode, const binding::CallSignature& Signature, class... Params, class Work,
          class LookAhead = method_detail::NoLookAhead>
[[gnu::always_inline]] inline PyObject* call_method(const FastCall& call, Work&& work, LookAhead look_ahead = {}) {
    static_assert(Signature.parameter_count() == kSlotTotal<Params...>,
                  "the parameter kinds take every parameter");
    using namespace method_detail;
    auto general = [&]() -> PyResult<Owned> { return general_call<Mode, Params...>(Signature, call, work); };
    if constexpr (Mode == Access::Exclusive && (HasPlainForm<Params> && ...)) {
        if (!call.kwnames && call.nargs == sizeof...(Params)) {
            if (PyGraphDiffObject* object = unborrowed(call.self)) {
                // Reading an argument can allocate (the texts of an update),
                // so it happens inside the frame.
                return binding::run_in_frame([&]() -> PyResult<Owned> {
                    std::tuple<typename Params::Value...> values;
                    const diff::GraphDiff& diff = object->value;
                    const auto ahead = [&](const auto& first) { look_ahead(diff, first); };
                    if (!read_plain<Params...>(call.args, values, ahead)) return general();
                    ExclusiveScope scope(object);
                    return std::apply([&](auto&... value) { return work(scope.diff(), std::move(value)...); },
                                      values);
                });
            }
        }
    }
    return binding::run_in_frame(general);
}

// A method without arguments (METH_NOARGS): `work` takes the diff.
template <Access Mode, class Work>
[[gnu::always_inline]] inline PyObject* call_method(PyObject* self, Work&& work) {
    static_assert(Mode != Access::Static, "a method without arguments works on `self`");
    return binding::run_in_frame([&]() -> PyResult<Owned> {
        QUORL_TRY(diff, borrow<Mode == Access::Exclusive>(self));
        return work(*diff);
    });
}

}  // namespace quorl::extension
