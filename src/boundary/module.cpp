// The finitemu extension module: its definition for multi-phase initialisation, the table of its
// Python functions and the exec step that puts them into each new module object.
#include "boundary/entry.hpp"
#include "boundary/names.hpp"
#include "lib/magnification.hpp"

#include <string_view>
#include <utility>
#include <vector>

namespace finitemu {

namespace {

using boundary::BorrowedRef;
using boundary::ErrorValue;
using boundary::function_record;
using boundary::FunctionDescription;
using boundary::OwnedRef;

using Outcome = std::expected<void, ErrorValue>;

// One description per function: the Python name and the parameters in declaration order. The
// routine named in the table below takes them in this order; its parameter types (double or
// std::vector<double>) choose the converters. The flux-map routines take the map before the
// radii, so each gets an adapter to the Python order (l, re, rstar, bl, bf).

template <RoutineResult<std::vector<double>> (*Routine)(std::vector<double>, std::vector<double>,
                                                        std::vector<double>, double, double)>
RoutineResult<std::vector<double>> flux_map_adapter(std::vector<double> l, double re, double rstar,
                                                    std::vector<double> bl,
                                                    std::vector<double> bf) {
    return Routine(std::move(l), std::move(bl), std::move(bf), re, rstar);
}

constexpr std::string_view kWittMaoParameters[] = {"l", "re", "rstar"};
constexpr FunctionDescription kWittMao{"witt_mao_magnification", kWittMaoParameters};

constexpr std::string_view kIntegratedWittMaoParameters[] = {"l", "re", "rstar"};
constexpr FunctionDescription kIntegratedWittMao{"integrated_witt_mao_magnification",
                                                 kIntegratedWittMaoParameters};

constexpr std::string_view kFluxMapWittMaoParameters[] = {"l", "re", "rstar", "bl", "bf"};
constexpr FunctionDescription kFluxMapWittMao{"integrated_flux_map_witt_mao_magnification",
                                              kFluxMapWittMaoParameters};

constexpr std::string_view kMultiWittMaoParameters[] = {"l", "re", "rstar"};
constexpr FunctionDescription kMultiWittMao{"multi_witt_mao_magnification",
                                            kMultiWittMaoParameters};

constexpr std::string_view kHeyrovskyParameters[] = {"l", "r", "re", "rstar"};
constexpr FunctionDescription kHeyrovsky{"heyrovsky_magnification", kHeyrovskyParameters};

constexpr std::string_view kIntegratedHeyrovskyParameters[] = {"l", "re", "rstar"};
constexpr FunctionDescription kIntegratedHeyrovsky{"integrated_heyrovsky_magnification",
                                                   kIntegratedHeyrovskyParameters};

constexpr std::string_view kFluxMapHeyrovskyParameters[] = {"l", "re", "rstar", "bl", "bf"};
constexpr FunctionDescription kFluxMapHeyrovsky{"integrated_flux_map_heyrovsky_magnification",
                                                kFluxMapHeyrovskyParameters};

constexpr std::string_view kDiscreteFluxMapParameters[] = {"l", "re", "rstar", "bl", "bf"};
constexpr FunctionDescription kDiscreteFluxMap{"discrete_flux_map_heyrovsky_magnification",
                                               kDiscreteFluxMapParameters};

// How many kernel evaluations a call makes, roughly: calls from boundary::kReleaseLockWork on
// compute without the interpreter lock.
using Separations = std::vector<double>;

std::size_t per_separation(const Separations& l, const double&, const double&) {
    return l.size();
}

std::size_t per_radius_pair(const Separations& l, const Separations& re, const Separations& rstar) {
    // In double: the product of three lengths may exceed size_t (the call then fails to allocate).
    const double pairs = static_cast<double>(re.size()) * static_cast<double>(rstar.size());
    return pairs * static_cast<double>(l.size()) >= boundary::kReleaseLockWork
               ? boundary::kReleaseLockWork
               : l.size() * re.size() * rstar.size();
}

std::size_t one_ring(const double&, const double&, const double&, const double&) {
    return 1;
}

// One integral of up to 385 samples per separation (more pieces inside the source).
constexpr std::size_t kIntegralSamples = 385;

std::size_t per_integral(const Separations& l, const double&, const double&) {
    return l.size() >= boundary::kReleaseLockWork ? boundary::kReleaseLockWork
                                                  : kIntegralSamples * l.size();
}

// The total flux, then one integral per separation.
std::size_t per_flux_map_integral(const Separations& l, const double&, const double&,
                                  const Separations&, const Separations&) {
    return l.size() >= boundary::kReleaseLockWork ? boundary::kReleaseLockWork
                                                  : kIntegralSamples * (l.size() + 1);
}

std::size_t per_ring(const Separations& l, const double&, const double&, const Separations& bl,
                     const Separations&) {
    const double rings = static_cast<double>(l.size()) * static_cast<double>(bl.size());
    return rings >= boundary::kReleaseLockWork ? boundary::kReleaseLockWork : l.size() * bl.size();
}

// The module's functions in the order of registration, which is also the order of __all__:
// witt_mao_magnification, integrated_witt_mao_magnification,
// integrated_flux_map_witt_mao_magnification, multi_witt_mao_magnification,
// heyrovsky_magnification, integrated_heyrovsky_magnification,
// integrated_flux_map_heyrovsky_magnification, discrete_flux_map_heyrovsky_magnification.
PyMethodDef functions[] = {
    function_record<kWittMao, witt_mao_magnification, per_separation>(),
    function_record<kIntegratedWittMao, integrated_witt_mao_magnification, per_integral>(),
    function_record<kFluxMapWittMao, flux_map_adapter<integrated_flux_map_witt_mao_magnification>,
                    per_flux_map_integral>(),
    function_record<kMultiWittMao, multi_witt_mao_magnification, per_radius_pair>(),
    function_record<kHeyrovsky, heyrovsky_magnification, one_ring>(),
    function_record<kIntegratedHeyrovsky, integrated_heyrovsky_magnification, per_integral>(),
    function_record<kFluxMapHeyrovsky,
                    flux_map_adapter<integrated_flux_map_heyrovsky_magnification>,
                    per_flux_map_integral>(),
    function_record<kDiscreteFluxMap, flux_map_adapter<discrete_flux_map_heyrovsky_magnification>,
                    per_ring>(),
};

// The module's __all__, created as an empty list when the module has none.
std::expected<OwnedRef, ErrorValue> module_all(BorrowedRef module) {
    PyObject* all_name = boundary::names::dunder_all();
    if (all_name == nullptr) {
        return std::unexpected(ErrorValue::fetch());
    }
    OwnedRef all = OwnedRef::steal(PyObject_GetAttr(module.get(), all_name));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return std::unexpected(ErrorValue::fetch());
        }
        PyErr_Clear();
        all = OwnedRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttr(module.get(), all_name, all.get()) < 0) {
            return std::unexpected(ErrorValue::fetch());
        }
        return all;
    }
    if (!PyList_Check(all.get())) {
        return std::unexpected(boundary::not_an_instance_error(all.borrow(), "list"));
    }
    return all;
}

// Makes the function object of `record` (its __self__ the module, its __module__ the module's
// name), appends its name to __all__ and binds it in the module.
Outcome add_function(BorrowedRef module, BorrowedRef module_name, PyMethodDef& record) {
    OwnedRef function =
        OwnedRef::steal(PyCMethod_New(&record, module.get(), module_name.get(), nullptr));
    if (!function) {
        return std::unexpected(ErrorValue::fetch());
    }
    PyObject* name_attribute = boundary::names::dunder_name();
    OwnedRef name = name_attribute != nullptr
                        ? OwnedRef::steal(PyObject_GetAttr(function.get(), name_attribute))
                        : OwnedRef();
    if (!name) {
        return std::unexpected(ErrorValue::fetch());
    }
    if (!PyUnicode_Check(name.get())) {
        return std::unexpected(boundary::not_an_instance_error(name.borrow(), "str"));
    }
    auto all = module_all(module);
    if (!all) {
        return std::unexpected(std::move(all.error()));
    }
    if (PyList_Append(all->get(), name.get()) < 0) {
        return std::unexpected(ErrorValue::internal(InternalFailure{
            "could not append __name__ to __all__: " + boundary::describe_pending_exception()}));
    }
    if (PyObject_SetAttr(module.get(), name.get(), function.get()) < 0) {
        return std::unexpected(ErrorValue::fetch());
    }
    return {};
}

Outcome exec_module(BorrowedRef module) {
    if (!PyModule_Check(module.get())) {
        return std::unexpected(boundary::not_an_instance_error(module, "module"));
    }
    OwnedRef module_name = OwnedRef::steal(PyModule_GetNameObject(module.get()));
    if (!module_name) {
        return std::unexpected(ErrorValue::fetch());
    }
    for (PyMethodDef& record : functions) {
        if (Outcome added = add_function(module, module_name.borrow(), record); !added) {
            return added;
        }
    }
    return {};
}

int exec_slot(PyObject* module) {
    return boundary::guard_exec([&] { return exec_module(BorrowedRef(module)); });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_slot)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "finitemu",                            // m_name
    "A Python module implemented in C++.", // m_doc
    0,                                     // m_size: no per-module state
    nullptr,                               // m_methods: the exec step adds the functions
    slots,                                 // m_slots
    nullptr,                               // m_traverse
    nullptr,                               // m_clear
    nullptr,                               // m_free
};

} // namespace

} // namespace finitemu

PyMODINIT_FUNC PyInit_finitemu() {
    return PyModuleDef_Init(&finitemu::module_definition);
}
