// ElasticOptions and FunnelOptions: immutable values carrying a map's tuning
// parameters into `with_options`.
//
// The constructor converts every argument in parameter order before it
// checks any value, so an unconvertible later argument is reported before
// an out-of-range earlier one.  The checks reject what the user may not set;
// the cores apply their own sanitising to what passes (a NaN or infinite
// probe_scale, for instance, is accepted here and replaced by the core).
//
// Options objects are not thread-bound: they never change after
// construction, and their getters take shared borrows through the atomic
// borrow flag, so any thread may read them.
//
// An options object holds the core's option struct itself, so an argument
// that is not given keeps the core's default, and the funnel's bound is the
// core's cap (funnel/options.hpp).
//
// Copying and pickling: an options object reduces to its class and its
// constructor arguments, which rebuild an equal object on any thread (the
// values were validated once and pass the same checks again).
#include "python/options.hpp"

#include <array>
#include <charconv>
#include <string>

#include "python/arguments.hpp"
#include "python/entry_point.hpp"
#include "python/registration.hpp"

namespace quorvel::python {

namespace {

OwnedRef to_python(std::uint32_t value) { return checked(PyLong_FromUnsignedLong(value)); }
OwnedRef to_python(double value) { return checked(PyFloat_FromDouble(value)); }
OwnedRef to_python(const std::optional<std::uint32_t>& value) {
    return value ? to_python(*value) : OwnedRef::from_borrowed(Py_None);
}

template <class Class, auto Member>
OwnedRef read_field(Object<Class>& self) {
    return to_python(self.value.*Member);
}

template <class Class, auto Member>
constexpr PyGetSetDef property(const char* name) {
    return {.name = name,
            .get = EntryPoint<SHARED, &read_field<Class, Member>>::getter,
            .set = nullptr,
            .doc = nullptr,
            .closure = nullptr};
}

// __reduce__: (class, (field, ...)) with the fields in the constructor's
// parameter order.
template <class Class, auto... Members>
OwnedRef reduce_to_arguments(Object<Class>& self) {
    OwnedRef arguments = checked(PyTuple_Pack(sizeof...(Members), to_python(self.value.*Members).get()...));
    return checked(PyTuple_Pack(2, reinterpret_cast<PyObject*>(Py_TYPE(self.py())), arguments.get()));
}

template <class Class, auto... Members>
PyMethodDef reduce_method() {
    return {"__reduce__", as_cfunction(&EntryPoint<SHARED, &reduce_to_arguments<Class, Members...>>::noargs),
            METH_NOARGS, "__reduce__($self)\n--\n\n"};
}

[[noreturn]] void throw_value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    throw PythonError{};
}

// The shortest decimal text that reads back as `value`: "0.125", "8".
std::string shortest_decimal(double value) {
    std::array<char, 32> text;
    const auto written = std::to_chars(text.data(), text.data() + text.size(), value);
    return std::string(text.data(), written.ptr);
}

// ---- ElasticOptions --------------------------------------------------------

constexpr Signature ELASTIC_OPTIONS_SIGNATURE{.name = "ElasticOptions",
                                              .parameters = {"capacity", "reserve_fraction", "probe_scale"},
                                              .count = 3,
                                              .required = 0,
                                              .positional = 3};

OwnedRef new_elastic_options(PyTypeObject*, PyObject* capacity, PyObject* reserve_fraction_arg,
                             PyObject* probe_scale_arg) {
    quorvel::ElasticOptions options;
    if (capacity != nullptr) options.capacity = to_size(capacity, "capacity");
    const auto reserve_fraction = to_optional_double(reserve_fraction_arg, "reserve_fraction");
    const auto probe_scale = to_optional_double(probe_scale_arg, "probe_scale");
    if (reserve_fraction) {
        if (!(*reserve_fraction > 0.0 && *reserve_fraction < 1.0)) {
            throw_value_error("reserve_fraction must be in the open interval (0, 1)");
        }
        options.reserve_fraction = *reserve_fraction;
    }
    if (probe_scale) {
        if (*probe_scale <= 0.0) throw_value_error("probe_scale must be positive");
        options.probe_scale = *probe_scale;
    }
    return make_object<ElasticOptionsClass>(std::move(options));
}

PyGetSetDef elastic_options_properties[] = {
    property<ElasticOptionsClass, &quorvel::ElasticOptions::capacity>("capacity"),
    property<ElasticOptionsClass, &quorvel::ElasticOptions::reserve_fraction>("reserve_fraction"),
    property<ElasticOptionsClass, &quorvel::ElasticOptions::probe_scale>("probe_scale"),
    {},
};

PyMethodDef elastic_options_methods[] = {
    reduce_method<ElasticOptionsClass, &quorvel::ElasticOptions::capacity, &quorvel::ElasticOptions::reserve_fraction,
                  &quorvel::ElasticOptions::probe_scale>(),
    {},
};

PyType_Slot elastic_options_slots[] = {
    {Py_tp_doc, const_cast<char*>("ElasticOptions(capacity=0, reserve_fraction=None, probe_scale=None)\n--\n\n")},
    {Py_tp_new, as_slot(&StaticEntryPoint<&new_elastic_options>::constructor<ELASTIC_OPTIONS_SIGNATURE>)},
    {Py_tp_dealloc, as_slot(&dealloc<ElasticOptionsClass>)},
    {Py_tp_getset, elastic_options_properties},
    {Py_tp_methods, elastic_options_methods},
    {0, nullptr},
};

PyType_Spec elastic_options_spec =
    type_spec<ElasticOptionsClass>("quorvel.ElasticOptions", Py_TPFLAGS_DEFAULT, elastic_options_slots);

// ---- FunnelOptions ---------------------------------------------------------

constexpr Signature FUNNEL_OPTIONS_SIGNATURE{.name = "FunnelOptions",
                                             .parameters = {"capacity", "reserve_fraction", "primary_probe_limit"},
                                             .count = 3,
                                             .required = 0,
                                             .positional = 3};

// The message states the core's cap twice: as a decimal and as a fraction 1/n.
std::string funnel_reserve_fraction_error() {
    return "reserve_fraction must be in (0, " + shortest_decimal(FUNNEL_MAX_RESERVE_FRACTION) +
           "]; FunnelHashMap caps the load factor at 1/" + shortest_decimal(1.0 / FUNNEL_MAX_RESERVE_FRACTION) +
           " by design";
}

OwnedRef new_funnel_options(PyTypeObject*, PyObject* capacity, PyObject* reserve_fraction_arg,
                            PyObject* primary_probe_limit) {
    quorvel::FunnelOptions options;
    if (capacity != nullptr) options.capacity = to_size(capacity, "capacity");
    const auto reserve_fraction = to_optional_double(reserve_fraction_arg, "reserve_fraction");
    options.primary_probe_limit = to_optional_size(primary_probe_limit, "primary_probe_limit");
    if (reserve_fraction) {
        if (!(*reserve_fraction > 0.0 && *reserve_fraction <= FUNNEL_MAX_RESERVE_FRACTION)) {
            throw_value_error(funnel_reserve_fraction_error().c_str());
        }
        options.reserve_fraction = *reserve_fraction;
    }
    if (options.primary_probe_limit == 0u) throw_value_error("primary_probe_limit must be positive");
    return make_object<FunnelOptionsClass>(std::move(options));
}

PyGetSetDef funnel_options_properties[] = {
    property<FunnelOptionsClass, &quorvel::FunnelOptions::capacity>("capacity"),
    property<FunnelOptionsClass, &quorvel::FunnelOptions::reserve_fraction>("reserve_fraction"),
    property<FunnelOptionsClass, &quorvel::FunnelOptions::primary_probe_limit>("primary_probe_limit"),
    {},
};

PyMethodDef funnel_options_methods[] = {
    reduce_method<FunnelOptionsClass, &quorvel::FunnelOptions::capacity, &quorvel::FunnelOptions::reserve_fraction,
                  &quorvel::FunnelOptions::primary_probe_limit>(),
    {},
};

PyType_Slot funnel_options_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("FunnelOptions(capacity=0, reserve_fraction=None, primary_probe_limit=None)\n--\n\n")},
    {Py_tp_new, as_slot(&StaticEntryPoint<&new_funnel_options>::constructor<FUNNEL_OPTIONS_SIGNATURE>)},
    {Py_tp_dealloc, as_slot(&dealloc<FunnelOptionsClass>)},
    {Py_tp_getset, funnel_options_properties},
    {Py_tp_methods, funnel_options_methods},
    {0, nullptr},
};

PyType_Spec funnel_options_spec =
    type_spec<FunnelOptionsClass>("quorvel.FunnelOptions", Py_TPFLAGS_DEFAULT, funnel_options_slots);

}  // namespace

ClassRegistration elastic_options_registration() noexcept {
    return registration_of<ElasticOptionsClass>(elastic_options_spec);
}

ClassRegistration funnel_options_registration() noexcept {
    return registration_of<FunnelOptionsClass>(funnel_options_spec);
}

}  // namespace quorvel::python
