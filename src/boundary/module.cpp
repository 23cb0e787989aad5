// The finitemu extension module: its definition for multi-phase initialisation, the table of its
// Python functions and the exec step that puts them into each new module object.
#include "boundary/entry.hpp"
#include "boundary/messages.hpp"
#include "boundary/names.hpp"
#include "routines/magnification.hpp"
#include "routines/work.hpp"

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
namespace messages = boundary::messages;

using Outcome = std::expected<void, ErrorValue>;

// One description per function: the Python name and the parameters in declaration order. The
// routine named in the table below takes them in this order; its parameter types (double or
// std::vector<double>) choose the converters.
constexpr std::string_view kListParameters[] = {"l", "re", "rstar"};
constexpr std::string_view kRingParameters[] = {"l", "r", "re", "rstar"};
constexpr std::string_view kFluxMapParameters[] = {"l", "re", "rstar", "bl", "bf"};

constexpr FunctionDescription kWittMao{"witt_mao_magnification", kListParameters};
constexpr FunctionDescription kIntegratedWittMao{"integrated_witt_mao_magnification",
                                                 kListParameters};
constexpr FunctionDescription kFluxMapWittMao{"integrated_flux_map_witt_mao_magnification",
                                              kFluxMapParameters};
constexpr FunctionDescription kMultiWittMao{"multi_witt_mao_magnification", kListParameters};
constexpr FunctionDescription kHeyrovsky{"heyrovsky_magnification", kRingParameters};
constexpr FunctionDescription kIntegratedHeyrovsky{"integrated_heyrovsky_magnification",
                                                   kListParameters};
constexpr FunctionDescription kFluxMapHeyrovsky{"integrated_flux_map_heyrovsky_magnification",
                                                kFluxMapParameters};
constexpr FunctionDescription kDiscreteFluxMap{"discrete_flux_map_heyrovsky_magnification",
                                               kFluxMapParameters};

// The module's functions in the order of registration, which is also the order of __all__, each
// with the estimate of its work that decides whether it gives up the interpreter lock.
PyMethodDef functions[] = {
    function_record<kWittMao, routines::witt_mao_magnification, routines::per_separation>(),
    function_record<kIntegratedWittMao, routines::integrated_witt_mao_magnification,
                    routines::per_integral>(),
    function_record<kFluxMapWittMao, routines::integrated_flux_map_witt_mao_magnification,
                    routines::per_flux_map_integral>(),
    function_record<kMultiWittMao, routines::multi_witt_mao_magnification,
                    routines::per_radius_pair>(),
    function_record<kHeyrovsky, routines::heyrovsky_magnification, routines::one_ring>(),
    function_record<kIntegratedHeyrovsky, routines::integrated_heyrovsky_magnification,
                    routines::per_integral>(),
    function_record<kFluxMapHeyrovsky, routines::integrated_flux_map_heyrovsky_magnification,
                    routines::per_flux_map_integral>(),
    function_record<kDiscreteFluxMap, routines::discrete_flux_map_heyrovsky_magnification,
                    routines::per_ring>(),
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
        return std::unexpected(ErrorValue::internal(messages::kAppendToAllFailed +
                                                    boundary::describe_pending_exception()));
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
    if (Outcome installed = boundary::install_internal_failure_module(); !installed) {
        return installed;
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
