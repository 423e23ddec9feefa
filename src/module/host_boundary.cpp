// The module boundary, and the only file that touches the interpreter: module
// initialisation, argument binding of run(), turning outcomes into a str or a
// raised exception, and the barrier that keeps every native failure (a C++
// exception of any kind) from crossing into the interpreter.
//
// The module's name and its command executor are build parameters, so that the
// tests can build a probe module from this same file with an executor that
// also fails on purpose; the shipped module is built with the default name
// and the real executor, execute_command.
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <pthread.h>

#include "base/internal_failure.h"
#include "module/dispatch.h"

#ifndef MARBLEWICK_MODULE_NAME
#define MARBLEWICK_MODULE_NAME marblewick_index_native
#endif
#ifndef MARBLEWICK_EXECUTOR
#define MARBLEWICK_EXECUTOR execute_command
#else
namespace marblewick {
Expected<std::string> MARBLEWICK_EXECUTOR(std::string_view command, std::string_view payload_text,
                                          HostLock* host_lock);
}
#endif
#define MARBLEWICK_STRINGIFY_(name) #name
#define MARBLEWICK_STRINGIFY(name) MARBLEWICK_STRINGIFY_(name)
#define MARBLEWICK_INIT_NAME_(name) PyInit_##name
#define MARBLEWICK_INIT_NAME(name) MARBLEWICK_INIT_NAME_(name)

namespace marblewick {
namespace {

constexpr const char* MODULE_NAME = MARBLEWICK_STRINGIFY(MARBLEWICK_MODULE_NAME);
constexpr const char* PANIC_EXCEPTION_NAME = "pyo3_runtime.PanicException";
constexpr const char* PANIC_EXCEPTION_DOC =
    "Raised when the native code of this module fails internally (a broken invariant,\n"
    "not a problem with the input). Like SystemExit it derives from BaseException,\n"
    "so handlers for Exception do not catch it.";
constexpr const char* GENERIC_FAILURE_TEXT = "the native code failed without a message";

// One-time values of the boundary. All of them live until the process ends and
// are touched only while the interpreter lock is held, except the owner, which
// is one atomic compare-and-swap.
struct BoundaryState {
  std::atomic<std::int64_t> owner_interpreter{-1};
  PyObject* module = nullptr;          // strong reference, never released
  PyObject* name_attribute = nullptr;  // interned "__name__"
  PyObject* all_attribute = nullptr;   // interned "__all__"
  PyObject* panic_exception = nullptr;
};
BoundaryState boundary;

PyObject* run_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// One owned reference to an interpreter object (null allowed), released when
// the holder ends, so every way out of a function gives back what it took.
class OwnedRef {
 public:
  OwnedRef() = default;
  // Takes over a new reference, as the host's functions return them.
  explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    reset(std::exchange(other.object_, nullptr));
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { reset(nullptr); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference on to the caller, who then owns it.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset(PyObject* object) noexcept {
    PyObject* previous = std::exchange(object_, object);
    if (previous != nullptr) Py_DecRef(previous);
  }

 private:
  PyObject* object_ = nullptr;
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    MODULE_NAME,  // m_name
    "",           // m_doc
    0,            // m_size
    nullptr,      // m_methods: run is added by the module body
    nullptr, nullptr, nullptr, nullptr,
};

PyMethodDef run_method = {
    "run",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(run_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "run(command, payload_json)\n--\n\n",
};

// ---- raising -------------------------------------------------------------

PyObject* text_object(std::string_view text) {
  PyObject* object = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (object == nullptr) {
    PyErr_Clear();
    object = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  }
  return object;
}

// Raises `type` with one str argument; returns null for the caller to return.
PyObject* raise_text(PyObject* type, std::string_view message) {
  OwnedRef text(text_object(message));
  if (!text) return nullptr;  // the host's own error is set
  PyErr_SetObject(type, text.get());
  return nullptr;
}

// The str's UTF-8 text, or `fallback` (with the host's error cleared).
std::string utf8_of(PyObject* text_object, std::string fallback) {
  Py_ssize_t size = 0;
  const char* utf8 = text_object == nullptr ? nullptr : PyUnicode_AsUTF8AndSize(text_object, &size);
  if (utf8 == nullptr) return fallback;
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::string type_qualified_name(PyObject* object) {
  OwnedRef type(PyObject_Type(object));
  OwnedRef name(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type.get())));
  std::string text = utf8_of(name.get(), "<failed to extract type name>");
  PyErr_Clear();
  return text;
}

// ---- the failure barrier --------------------------------------------------

std::string current_thread_name() {
  char name[64] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) == 0 && name[0] != '\0') return name;
  return "<unnamed>";
}

PyObject* panic_exception_type() {
  if (boundary.panic_exception == nullptr) {
    PyObject* type = PyErr_NewExceptionWithDoc(PANIC_EXCEPTION_NAME, PANIC_EXCEPTION_DOC,
                                               PyExc_BaseException, nullptr);
    if (type == nullptr) fail_internal("Failed to initialize new exception type.");
    boundary.panic_exception = type;
  }
  return boundary.panic_exception;
}

// Converts the exception being handled into PanicException. A second failure
// while doing so ends the process: nothing may unwind into the interpreter.
PyObject* raise_panic_for_current_exception() noexcept {
  try {
    std::string message = GENERIC_FAILURE_TEXT;
    std::string where = "an unknown place";
    try {
      throw;
    } catch (const InternalFailure& failure) {
      message = failure.what();
      where = failure.location_text();
    } catch (const std::exception& failure) {
      const char* text = failure.what();
      if (text != nullptr && *text != '\0') message = text;
    } catch (...) {
    }
    std::string report = "thread '" + current_thread_name() + "' failed inside " + MODULE_NAME +
                         " at " + where + ":\n" + message + "\n";
    std::fputs(report.c_str(), stderr);
    std::fflush(stderr);
    return raise_text(panic_exception_type(), message);
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
  }
}

// ---- run ------------------------------------------------------------------

constexpr std::string_view PARAMETER_NAMES[2] = {"command", "payload_json"};

// The argument's UTF-8 text, read in place; null with an exception set.
const char* argument_text(PyObject* argument, std::string_view parameter, Py_ssize_t& size) {
  OwnedRef type(PyObject_Type(argument));
  bool is_text = PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type.get()), &PyUnicode_Type) != 0;
  if (!is_text) {
    std::string message = "argument '" + std::string(parameter) + "': '" +
                          type_qualified_name(argument) +
                          "' object cannot be converted to 'PyString'";
    raise_text(PyExc_TypeError, message);
    return nullptr;
  }
  // Lone surrogates make this fail with the host's own UnicodeEncodeError,
  // which is left set and raised unchanged.
  return PyUnicode_AsUTF8AndSize(argument, &size);
}

std::string keyword_display_name(PyObject* name) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
  if (utf8 != nullptr) return std::string(utf8, static_cast<std::size_t>(size));
  PyErr_Clear();
  OwnedRef bytes(PyUnicode_AsEncodedString(name, "utf-8", "backslashreplace"));
  std::string text = "<unprintable>";
  char* data = nullptr;
  if (bytes && PyBytes_AsStringAndSize(bytes.get(), &data, &size) == 0) {
    text.assign(data, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  return text;
}

// The interpreter lock as the core sees it: a call asked to let other threads
// run releases it for its native work and takes it back before the answer is
// turned into a str or an exception. The argument texts it reads meanwhile
// belong to str objects that the caller's frame keeps alive.
class InterpreterLock final : public HostLock {
 public:
  void release() noexcept override { saved_ = PyEval_SaveThread(); }
  void reacquire() noexcept override { PyEval_RestoreThread(saved_); }

 private:
  PyThreadState* saved_ = nullptr;
};

PyObject* run_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs > 2) {
    return raise_text(PyExc_TypeError, "run() takes 2 positional arguments but " +
                                           std::to_string(nargs) + " were given");
  }
  PyObject* slots[2] = {nullptr, nullptr};
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

  Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* name = PyTuple_GetItem(kwnames, k);
    check_invariant(name != nullptr, "keyword name tuple shorter than its size");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    int slot = -1;
    if (utf8 != nullptr) {
      std::string_view text(utf8, static_cast<std::size_t>(size));
      if (text == PARAMETER_NAMES[0]) slot = 0;
      if (text == PARAMETER_NAMES[1]) slot = 1;
    } else {
      PyErr_Clear();
    }
    if (slot < 0) {
      return raise_text(PyExc_TypeError, "run() got an unexpected keyword argument '" +
                                             keyword_display_name(name) + "'");
    }
    if (slots[slot] != nullptr) {
      return raise_text(PyExc_TypeError, "run() got multiple values for argument '" +
                                             std::string(PARAMETER_NAMES[slot]) + "'");
    }
    slots[slot] = args[nargs + k];
  }

  if (slots[0] == nullptr && slots[1] == nullptr) {
    return raise_text(PyExc_TypeError,
                      "run() missing 2 required positional arguments: 'command' and 'payload_json'");
  }
  for (int slot = 0; slot < 2; ++slot) {
    if (slots[slot] == nullptr) {
      return raise_text(PyExc_TypeError, "run() missing 1 required positional argument: '" +
                                             std::string(PARAMETER_NAMES[slot]) + "'");
    }
  }

  Py_ssize_t command_size = 0, payload_size = 0;
  const char* command = argument_text(slots[0], PARAMETER_NAMES[0], command_size);
  if (command == nullptr) return nullptr;
  const char* payload = argument_text(slots[1], PARAMETER_NAMES[1], payload_size);
  if (payload == nullptr) return nullptr;

  InterpreterLock lock;
  Expected<std::string> outcome =
      MARBLEWICK_EXECUTOR(std::string_view(command, static_cast<std::size_t>(command_size)),
                          std::string_view(payload, static_cast<std::size_t>(payload_size)), &lock);
  if (!outcome) return raise_text(PyExc_RuntimeError, outcome.error().message);

  const std::string& text = outcome.value();
  PyObject* result = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (result == nullptr) {
    PyErr_Print();
    fail_internal("Python API call failed");
  }
  return result;
}

PyObject* run_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    return run_call(args, nargs, kwnames);
  } catch (...) {
    return raise_panic_for_current_exception();
  }
}

// ---- module initialisation ------------------------------------------------

PyObject* interned(PyObject*& cell, const char* text) {
  if (cell == nullptr) {
    PyObject* name = PyUnicode_FromString(text);
    if (name == nullptr) fail_internal("could not create an attribute name");
    PyUnicode_InternInPlace(&name);
    cell = name;
  }
  return cell;
}

// The text of the pending host error, for internal-failure messages; clears it.
std::string pending_error_description() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  OwnedRef owned_type(type), owned_value(value), owned_traceback(traceback);
  OwnedRef shown(value != nullptr ? PyObject_Str(value) : nullptr);
  std::string text = utf8_of(shown.get(), "no error was set");
  PyErr_Clear();
  return text;
}

// Adds run to the module and to its __all__; false with a host error set.
bool run_module_body(PyObject* module) {
  OwnedRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  OwnedRef function(PyCMethod_New(&run_method, module, module_name.get(), nullptr));
  if (!function) return false;

  OwnedRef function_name(
      PyObject_GetAttr(function.get(), interned(boundary.name_attribute, "__name__")));
  if (!function_name) return false;
  if (!PyUnicode_Check(function_name.get())) {
    raise_text(PyExc_TypeError, "'" + type_qualified_name(function_name.get()) +
                                    "' object cannot be converted to 'PyString'");
    return false;
  }

  PyObject* all_name = interned(boundary.all_attribute, "__all__");
  OwnedRef all(PyObject_GetAttr(module, all_name));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all.reset(PyList_New(0));
    if (!all || PyObject_SetAttr(module, all_name, all.get()) != 0) return false;
  } else if (!PyList_Check(all.get())) {
    raise_text(PyExc_TypeError,
               "'" + type_qualified_name(all.get()) + "' object cannot be converted to 'PyList'");
    return false;
  }

  if (PyList_Append(all.get(), function_name.get()) != 0) {
    fail_internal("could not append __name__ to __all__: " + pending_error_description());
  }
  return PyObject_SetAttr(module, function_name.get(), function.get()) == 0;
}

PyObject* initialise_module() {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (PyErr_Occurred() == nullptr) {
      return raise_text(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!boundary.owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    return raise_text(PyExc_ImportError,
                      std::string(MODULE_NAME) +
                          " does not support sub-interpreters: it serves only the interpreter "
                          "that imported it first in this process");
  }

  if (boundary.module != nullptr) {
    Py_IncRef(boundary.module);
    return boundary.module;
  }

  OwnedRef module(PyModule_Create2(&module_definition, PYTHON_ABI_VERSION));
  if (!module) return nullptr;
  if (!run_module_body(module.get())) return nullptr;
  // The cache keeps this reference for the life of the process.
  if (boundary.module == nullptr) boundary.module = module.release();
  Py_IncRef(boundary.module);
  return boundary.module;
}

}  // namespace
}  // namespace marblewick

extern "C" __attribute__((visibility("default"))) PyObject* MARBLEWICK_INIT_NAME(MARBLEWICK_MODULE_NAME)(void) {
  try {
    return marblewick::initialise_module();
  } catch (...) {
    return marblewick::raise_panic_for_current_exception();
  }
}
