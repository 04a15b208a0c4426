// The Python module `mirelon._core`: `handlers()` hands the FFI target table to the Python
// package, `analyze(graph)` is the pre-trace graph pass. Written against CPython's limited API.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <new>

#include "handlers.hpp"

namespace {

// The exception type for internal failures, `pyo3_runtime.PanicException`, derived from
// BaseException so that ordinary `except Exception` handlers do not swallow it.
PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "Raised when a native function of mirelon._core fails internally.", PyExc_BaseException,
        nullptr);
  }
  return type;
}

PyObject* raise_panic(const char* text) {
  if (PyObject* type = panic_exception_type()) PyErr_SetString(type, text);
  return nullptr;
}

// A failing interpreter call while building a result: show the pending error, then panic.
PyObject* api_call_failed() {
  if (PyErr_Occurred()) PyErr_PrintEx(0);
  return raise_panic("Python API call failed");
}

// Runs a module function body so that no C++ exception reaches the interpreter.
template <typename F>
PyObject* guarded(F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_panic(e.what());
  } catch (...) {
    return raise_panic("unknown internal failure");
  }
}

PyObject* handlers(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(mirelon::kTargetCount));
    if (list == nullptr) return api_call_failed();
    for (size_t i = 0; i < mirelon::kTargetCount; ++i) {
      const mirelon::TargetRow& row = mirelon::kTargetTable[i];
      PyObject* name = PyUnicode_FromStringAndSize(row.name, static_cast<Py_ssize_t>(row.name_len));
      PyObject* address = name == nullptr ? nullptr
                                          : PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(
                                                reinterpret_cast<uintptr_t>(row.handler)));
      PyObject* pair = address == nullptr ? nullptr : PyTuple_New(2);
      if (pair == nullptr) {
        Py_XDECREF(address);
        Py_XDECREF(name);
        Py_DECREF(list);
        return api_call_failed();
      }
      PyTuple_SetItem(pair, 0, name);     // steals
      PyTuple_SetItem(pair, 1, address);  // steals
      PyList_SetItem(list, static_cast<Py_ssize_t>(i), pair);  // steals
    }
    return list;
  });
}

// How an unexpected keyword name appears in the error: its str() with anything that is not
// valid UTF-8 (lone surrogates) shown as U+FFFD, or "<unprintable {type} object>" when str()
// fails (that failure is reported as unraisable).
PyObject* keyword_display(PyObject* key) {
  if (PyObject* text = PyObject_Str(key)) {
    PyObject* utf8 = PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass");
    Py_DECREF(text);
    if (utf8 == nullptr) return nullptr;
    char* data = nullptr;
    Py_ssize_t length = 0;
    PyObject* shown = PyBytes_AsStringAndSize(utf8, &data, &length) == 0
                          ? PyUnicode_DecodeUTF8(data, length, "replace")
                          : nullptr;
    Py_DECREF(utf8);
    return shown;
  }
  PyErr_WriteUnraisable(key);
  if (PyObject* type_name = PyType_GetName(Py_TYPE(key))) {
    PyObject* shown = PyUnicode_FromFormat("<unprintable %U object>", type_name);
    Py_DECREF(type_name);
    return shown;
  }
  PyErr_Clear();
  return PyUnicode_FromString("<unprintable object>");
}

PyObject* analyze(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (nargs > 1) {
      return PyErr_Format(PyExc_TypeError,
                          "analyze() takes 1 positional arguments but %zd were given", nargs);
    }
    PyObject* graph = nargs == 1 ? args[0] : nullptr;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      PyObject* key = PyTuple_GetItem(kwnames, i);
      if (key == nullptr) return nullptr;
      // Callers using the C API may pass keyword names that are not str at all.
      if (!PyUnicode_Check(key) || PyUnicode_CompareWithASCIIString(key, "graph") != 0) {
        PyObject* shown = keyword_display(key);
        if (shown == nullptr) return api_call_failed();
        PyErr_Format(PyExc_TypeError, "analyze() got an unexpected keyword argument '%U'", shown);
        Py_DECREF(shown);
        return nullptr;
      }
      if (graph != nullptr) {
        PyErr_SetString(PyExc_TypeError, "analyze() got multiple values for argument 'graph'");
        return nullptr;
      }
      graph = args[nargs + i];
    }
    if (graph == nullptr) {
      PyErr_SetString(PyExc_TypeError,
                      "analyze() missing 1 required positional argument: 'graph'");
      return nullptr;
    }
    if (!PyBytes_Check(graph)) {
      PyObject* type_name = PyType_GetQualName(Py_TYPE(graph));
      if (type_name == nullptr) return api_call_failed();
      PyErr_Format(PyExc_TypeError,
                   "argument 'graph': '%U' object cannot be converted to 'PyBytes'", type_name);
      Py_DECREF(type_name);
      return nullptr;
    }
    char* content = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(graph, &content, &length) != 0) return api_call_failed();
    PyObject* copy = PyBytes_FromStringAndSize(content, length);
    return copy != nullptr ? copy : api_call_failed();
  });
}

PyMethodDef kMethods[] = {
    {"handlers", handlers, METH_NOARGS,
     "handlers()\n--\n\nFFI target table: `[(name, raw execute-handler pointer)]`."},
    {"analyze", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(analyze)),
     METH_FASTCALL | METH_KEYWORDS, "analyze(graph)\n--\n\nPre-trace graph analysis pass."},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "_core", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Adds each function and lists its name in `__all__`, in table order.
int populate_module(PyObject* module) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) return -1;
  int status = 0;
  for (PyMethodDef& def : kMethods) {
    PyObject* fn = PyCFunction_NewEx(&def, module, module_name);
    if (fn == nullptr) { status = -1; break; }
    PyObject* name = PyObject_GetAttrString(fn, "__name__");
    if (name == nullptr || !PyUnicode_Check(name)) {
      if (name != nullptr) PyErr_SetString(PyExc_TypeError, "function name is not a str");
      Py_XDECREF(name);
      Py_DECREF(fn);
      status = -1;
      break;
    }
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      all = PyList_New(0);
      if (all != nullptr && PyObject_SetAttrString(module, "__all__", all) != 0) Py_CLEAR(all);
    }
    const bool ok = all != nullptr && PyList_Append(all, name) == 0 &&
                    PyObject_SetAttr(module, name, fn) == 0;
    Py_XDECREF(all);
    Py_DECREF(name);
    Py_DECREF(fn);
    if (!ok) { status = -1; break; }
  }
  Py_DECREF(module_name);
  return status;
}

std::atomic<int64_t> g_interpreter{-1};  // the interpreter that first imported the module
PyObject* g_module = nullptr;            // written only under the interpreter lock

}  // namespace

PyMODINIT_FUNC PyInit__core(void) {
  PyInterpreterState* state = PyInterpreterState_Get();
  const int64_t id = state == nullptr ? -1 : PyInterpreterState_GetID(state);
  if (id < 0) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  int64_t expected = -1;
  if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "mirelon._core does not support sub-interpreters: it is already loaded in "
                    "another interpreter of this process");
    return nullptr;
  }
  if (g_module != nullptr) {
    Py_INCREF(g_module);
    return g_module;
  }
  PyObject* module = PyModule_Create(&kModuleDef);
  if (module == nullptr) return nullptr;
  if (populate_module(module) != 0) {
    Py_DECREF(module);
    return nullptr;
  }
  Py_INCREF(module);
  g_module = module;
  return module;
}
