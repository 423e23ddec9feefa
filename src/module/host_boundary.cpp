// The module boundary, and the only file that touches the interpreter: the
// module's definition and initialisation, argument binding of run(), turning
// outcomes into a str or a raised exception, and the barrier that keeps every
// native failure (a C++ exception of any kind) from crossing into the
// interpreter.
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
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>
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
                                          HostLock* host_lock, GrammarLoader* grammar_loader);
}
#endif
#define MARBLEWICK_STRINGIFY_(name) #name
#define MARBLEWICK_STRINGIFY(name) MARBLEWICK_STRINGIFY_(name)
#define MARBLEWICK_INIT_NAME_(name) PyInit_##name
#define MARBLEWICK_INIT_NAME(name) MARBLEWICK_INIT_NAME_(name)
#define MARBLEWICK_MODULE_NAME_TEXT MARBLEWICK_STRINGIFY(MARBLEWICK_MODULE_NAME)

namespace marblewick {
namespace {

// The one-time values of the boundary, made by the first import. The module
// serves one interpreter per process, so they are per process, not per module
// object: the interpreter that owns the module, the module itself (handed out
// again on every re-import) and the exception type of internal failures. Both
// objects are strong references that are never given back: they live until
// the process ends. They are read and written only with the owning
// interpreter's lock held; which interpreter that is, is settled by one atomic
// compare-and-swap, as interpreters with locks of their own may import at once.
struct BoundaryState {
  std::atomic<std::int64_t> owner_interpreter{-1};
  PyObject* module = nullptr;
  PyObject* panic_exception = nullptr;
  // What registered grammars came from (each package's module and the capsule
  // its function returned), strong references kept so that their code stays
  // loaded; made by the first registration. A native list rather than a
  // Python one, whose item buffer would be reachable only from the
  // interpreter's own memory.
  std::vector<PyObject*>* kept_grammars = nullptr;
};
BoundaryState boundary;

// One owned reference to an interpreter object, given back when it goes.
struct GiveBack {
  void operator()(PyObject* object) const noexcept { Py_DecRef(object); }
};
using OwnedRef = std::unique_ptr<PyObject, GiveBack>;

// ---- raising -------------------------------------------------------------

// Raises `type` with one str argument; returns null for the caller to return.
// A message that is not valid UTF-8 (a path in an error text, say) is decoded
// with replacement characters rather than lost.
PyObject* raise_text(PyObject* type, std::string_view message) {
  const auto size = static_cast<Py_ssize_t>(message.size());
  OwnedRef text(PyUnicode_FromStringAndSize(message.data(), size));
  if (!text) {
    PyErr_Clear();
    text.reset(PyUnicode_DecodeUTF8(message.data(), size, "replace"));
    if (!text) return nullptr;  // the host's own error is set
  }
  PyErr_SetObject(type, text.get());
  return nullptr;
}

std::string type_qualified_name(PyObject* object) {
  OwnedRef name(PyType_GetQualName(Py_TYPE(object)));
  Py_ssize_t size = 0;
  const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

// ---- the failure barrier --------------------------------------------------

std::string current_thread_name() {
  char name[64] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) == 0 && name[0] != '\0') return name;
  return "<unnamed>";
}

// Converts the exception being handled into PanicException, whose type the
// import has made. A second failure while doing so ends the process: nothing
// may unwind into the interpreter.
PyObject* raise_panic_for_current_exception() noexcept {
  try {
    std::string message = "the native code failed without a message";
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
    std::string report = "thread '" + current_thread_name() +
                         "' failed inside " MARBLEWICK_MODULE_NAME_TEXT " at " + where + ":\n" + message +
                         "\n";
    std::fputs(report.c_str(), stderr);
    std::fflush(stderr);
    return raise_text(boundary.panic_exception, message);
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
  }
}

// ---- grammar packages ------------------------------------------------------

constexpr const char* GRAMMAR_CAPSULE_NAME = "tree_sitter.Language";

std::string utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* utf8 = text != nullptr ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "<unprintable>";
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

// Imports grammar packages for "register-grammar", with the lock held. An
// exception raised by the package becomes part of the error text, except one
// that is not an Exception (KeyboardInterrupt, SystemExit): that one is
// raised again, unchanged, once the call is over.
class PackageLoader final : public GrammarLoader {
 public:
  PackageLoader() = default;
  PackageLoader(const PackageLoader&) = delete;
  PackageLoader& operator=(const PackageLoader&) = delete;
  // Runs with the lock held: run() ends the call's outcome only then.
  ~PackageLoader() {
    Py_DecRef(pending_type_);
    Py_DecRef(pending_value_);
    Py_DecRef(pending_traceback_);
  }

  Expected<LoadedGrammar> load(std::string_view package, std::string_view function) override {
    module_.reset();
    capsule_.reset();
    OwnedRef name(PyUnicode_FromStringAndSize(package.data(), static_cast<Py_ssize_t>(package.size())));
    OwnedRef module(name ? PyImport_Import(name.get()) : nullptr);
    if (!module) return failure("grammar package " + quoted(package) + " cannot be imported: ");

    std::string function_name(function);
    OwnedRef callable(PyObject_GetAttrString(module.get(), function_name.c_str()));
    if (!callable || !PyCallable_Check(callable.get())) {
      if (!callable && !clear_unless_pending()) return pending_error();
      return ErrorText(ErrorKind::registration,
                       "grammar package " + quoted(package) + " has no function " + quoted(function));
    }
    OwnedRef capsule(PyObject_CallNoArgs(callable.get()));
    if (!capsule) return failure("grammar package " + quoted(package) + ": " + function_name + "() failed: ");
    if (!PyCapsule_IsValid(capsule.get(), GRAMMAR_CAPSULE_NAME)) {
      return ErrorText(ErrorKind::registration, "grammar package " + quoted(package) + ": " + function_name +
                                                    "() returned " + type_qualified_name(capsule.get()) +
                                                    ", not a \"tree_sitter.Language\" capsule");
    }
    LoadedGrammar loaded;
    loaded.grammar =
        static_cast<const TSLanguage*>(PyCapsule_GetPointer(capsule.get(), GRAMMAR_CAPSULE_NAME));
    if (loaded.grammar == nullptr) {
      PyErr_Clear();
      return ErrorText(ErrorKind::registration, "grammar package " + quoted(package) + ": " + function_name +
                                                    "() returned an empty capsule");
    }
    loaded.folder = package_folder(module.get());
    module_ = std::move(module);
    capsule_ = std::move(capsule);
    return loaded;
  }

  void keep_loaded() override {
    if (!module_ || !capsule_) return;
    try {
      if (boundary.kept_grammars == nullptr) boundary.kept_grammars = new std::vector<PyObject*>();
      boundary.kept_grammars->reserve(boundary.kept_grammars->size() + 2);
      boundary.kept_grammars->push_back(module_.release());
      boundary.kept_grammars->push_back(capsule_.release());
    } catch (const std::bad_alloc&) {
      // Never given back, so the grammar stays loaded all the same.
      static_cast<void>(module_.release());
      static_cast<void>(capsule_.release());
    }
  }

  // Raises the exception kept for the end of the call; false when there is none.
  bool raise_pending() {
    if (pending_type_ == nullptr) return false;
    PyErr_Restore(std::exchange(pending_type_, nullptr), std::exchange(pending_value_, nullptr),
                  std::exchange(pending_traceback_, nullptr));
    return true;
  }

 private:
  // The folder the package's queries/ would be in: that of its __file__.
  static std::string package_folder(PyObject* module) {
    OwnedRef file(PyObject_GetAttrString(module, "__file__"));
    if (!file || !PyUnicode_Check(file.get())) {
      PyErr_Clear();
      return std::string();
    }
    std::string path = utf8_of(file.get());
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
  }

  // Takes the raised exception: false, keeping it for the end of the call,
  // when it is not an Exception; true, with its summary in `summary_`, else.
  bool clear_unless_pending() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (type != nullptr && !PyErr_GivenExceptionMatches(type, PyExc_Exception)) {
      pending_type_ = type;
      pending_value_ = value;
      pending_traceback_ = traceback;
      return false;
    }
    summary_ = type != nullptr ? type_qualified_name(value != nullptr ? value : type) : "error";
    if (value != nullptr) {
      OwnedRef text(PyObject_Str(value));
      std::string said = text ? utf8_of(text.get()) : "";
      if (!text) PyErr_Clear();
      if (!said.empty()) summary_ += ": " + said;
    }
    Py_DecRef(type);
    Py_DecRef(value);
    Py_DecRef(traceback);
    return true;
  }

  ErrorText pending_error() const {
    return ErrorText(ErrorKind::registration, "the grammar package was interrupted");
  }

  ErrorText failure(std::string prefix) {
    if (!clear_unless_pending()) return pending_error();
    return ErrorText(ErrorKind::registration, prefix + summary_);
  }

  OwnedRef module_;
  OwnedRef capsule_;
  std::string summary_;
  PyObject* pending_type_ = nullptr;
  PyObject* pending_value_ = nullptr;
  PyObject* pending_traceback_ = nullptr;
};

// ---- run ------------------------------------------------------------------

constexpr std::string_view PARAMETER_NAMES[2] = {"command", "payload_json"};

struct Arguments {
  std::string_view command;
  std::string_view payload;
};

// The argument's UTF-8 text, read in place: it lives as long as the argument.
// False with an exception set.
bool argument_text(PyObject* argument, std::string_view parameter, std::string_view& text) {
  if (!PyUnicode_Check(argument)) {
    raise_text(PyExc_TypeError, "argument '" + std::string(parameter) + "': '" +
                                    type_qualified_name(argument) +
                                    "' object cannot be converted to 'PyString'");
    return false;
  }
  // Lone surrogates make this fail with the host's own UnicodeEncodeError,
  // which is left set and raised unchanged.
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(argument, &size);
  if (utf8 == nullptr) return false;
  text = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

// A keyword's text for an error message; lone surrogates are shown escaped.
std::string keyword_display_name(PyObject* name) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
  if (utf8 != nullptr) return std::string(utf8, static_cast<std::size_t>(size));
  PyErr_Clear();
  OwnedRef bytes(PyUnicode_AsEncodedString(name, "utf-8", "backslashreplace"));
  char* data = nullptr;
  std::string text = "<unprintable>";
  if (bytes && PyBytes_AsStringAndSize(bytes.get(), &data, &size) == 0) {
    text.assign(data, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  return text;
}

// Binds the call's arguments to the two parameters, checked in the order the
// error messages promise; false with an exception set.
bool bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Arguments& bound) {
  if (nargs > 2) {
    raise_text(PyExc_TypeError,
               "run() takes 2 positional arguments but " + std::to_string(nargs) + " were given");
    return false;
  }
  PyObject* slots[2] = {nullptr, nullptr};
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

  Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* name = PyTuple_GetItem(kwnames, k);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    std::string_view text;  // empty for a name with lone surrogates: none of ours
    if (utf8 == nullptr)
      PyErr_Clear();
    else
      text = std::string_view(utf8, static_cast<std::size_t>(size));
    int slot = text == PARAMETER_NAMES[0] ? 0 : text == PARAMETER_NAMES[1] ? 1 : -1;
    if (slot < 0) {
      raise_text(PyExc_TypeError,
                 "run() got an unexpected keyword argument '" + keyword_display_name(name) + "'");
      return false;
    }
    if (slots[slot] != nullptr) {
      raise_text(PyExc_TypeError,
                 "run() got multiple values for argument '" + std::string(PARAMETER_NAMES[slot]) + "'");
      return false;
    }
    slots[slot] = args[nargs + k];
  }

  if (slots[0] == nullptr && slots[1] == nullptr) {
    raise_text(PyExc_TypeError,
               "run() missing 2 required positional arguments: 'command' and 'payload_json'");
    return false;
  }
  for (int slot = 0; slot < 2; ++slot) {
    if (slots[slot] == nullptr) {
      raise_text(PyExc_TypeError, "run() missing 1 required positional argument: '" +
                                      std::string(PARAMETER_NAMES[slot]) + "'");
      return false;
    }
  }
  return argument_text(slots[0], PARAMETER_NAMES[0], bound.command) &&
         argument_text(slots[1], PARAMETER_NAMES[1], bound.payload);
}

// The call's answer from what the core answered: its text as a str, its error
// text as RuntimeError. A text the host will not take is our own bug.
PyObject* answer_of(const Expected<std::string>& outcome) {
  if (!outcome) return raise_text(PyExc_RuntimeError, outcome.error().message);
  const std::string& text = outcome.value();
  PyObject* result = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (result == nullptr) {
    PyErr_Print();
    fail_internal("Python API call failed");
  }
  return result;
}

// The interpreter lock as the core sees it: a call asked to let other threads
// run releases it for its native work; run() takes it back once the work has
// returned, before the answer is turned into a str or an exception. The
// argument texts read meanwhile belong to str objects that the caller keeps
// alive for the call.
class InterpreterLock final : public HostLock {
 public:
  void release() noexcept override { saved_ = PyEval_SaveThread(); }
  bool released() const noexcept { return saved_ != nullptr; }
  PyThreadState* saved() const noexcept { return saved_; }

 private:
  PyThreadState* saved_ = nullptr;
};

// What the core's work came to: its answer or the C++ exception that escaped
// it, kept until the lock is held again.
struct CallOutcome {
  std::optional<Expected<std::string>> answer;
  std::exception_ptr failure;
  PackageLoader grammar_loader;
};

// Binds the arguments and runs the command, the lock released for its work
// when the payload asks. False with the interpreter's exception set when the
// arguments do not bind (the lock is still held then).
[[gnu::noinline]] bool perform_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                    InterpreterLock& lock, CallOutcome& outcome) noexcept {
  try {
    Arguments arguments;
    if (!bind_arguments(args, nargs, kwnames, arguments)) return false;
    // The core's work, which touches no interpreter object.
    outcome.answer.emplace(
        MARBLEWICK_EXECUTOR(arguments.command, arguments.payload, &lock, &outcome.grammar_loader));
  } catch (...) {
    outcome.failure = std::current_exception();
  }
  return true;
}

// The call's answer, with the lock held: every outcome, a C++ exception
// included, becomes it here and nowhere else.
[[gnu::noinline]] PyObject* deliver(CallOutcome& outcome) noexcept {
  try {
    if (outcome.failure) std::rethrow_exception(outcome.failure);
    if (outcome.grammar_loader.raise_pending()) return nullptr;
    return answer_of(*outcome.answer);
  } catch (...) {
    return raise_panic_for_current_exception();
  }
}

// A thread that takes the lock back once the interpreter has begun to shut
// down (a daemon thread when the main thread has left) never returns from
// PyEval_RestoreThread. On 3.11 to 3.13 the interpreter ends it there with
// pthread_exit, whose unwinding runs back through this frame into the
// interpreter's; a frame of ours that could stop it (noexcept, a handler, a
// destructor to run) would end the whole process instead. So this frame has
// none of these: the lock is taken back here, once the work has returned in
// full, and the outcome lives in plain storage, destroyed by hand. The two
// steps are kept out of line so that their handlers stay in their own frames,
// and so are the outcome's construction and destruction: inlined, the
// destructor's guard against an escaping exception is a handler in this
// frame, and its mere presence makes the unwinding call the C++ runtime's
// personality routine here. With the libc++ and libunwind linked into the
// portable wheels, that routine cannot read the system unwinder's state that
// pthread_exit hands it, and the thread crashes instead of ending.
// What the ended call held stays allocated while the process ends.
[[gnu::noinline]] CallOutcome* begin_outcome(void* storage) noexcept { return new (storage) CallOutcome(); }
[[gnu::noinline]] void end_outcome(CallOutcome* outcome) noexcept { outcome->~CallOutcome(); }

PyObject* run(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  InterpreterLock lock;
  alignas(CallOutcome) unsigned char storage[sizeof(CallOutcome)];
  CallOutcome* outcome = begin_outcome(storage);
  PyObject* answer = nullptr;
  if (perform_call(args, nargs, kwnames, lock, *outcome)) {
    if (lock.released()) PyEval_RestoreThread(lock.saved());
    answer = deliver(*outcome);
  }
  end_outcome(outcome);
  return answer;
}

// ---- the module -------------------------------------------------------------

PyMethodDef methods[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(run)),
     METH_FASTCALL | METH_KEYWORDS, "run(command, payload_json)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// Single-phase initialisation: a re-import in the same interpreter calls the
// init function again, which hands out the module made the first time (with
// multi-phase initialisation, the import would build a new module each time).
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    MARBLEWICK_MODULE_NAME_TEXT,  // m_name
    "",                           // m_doc
    0,                            // m_size: the state is the process's, in `boundary`
    nullptr,                      // m_methods: added after __all__, see below
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Nothing here throws: every failure is the host's error, raised by the import.
PyObject* initialise_module() noexcept {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  std::int64_t expected = -1;
  if (!boundary.owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError, MARBLEWICK_MODULE_NAME_TEXT
                    " does not support sub-interpreters: it serves "
                    "only the interpreter that imported it first in this process");
    return nullptr;
  }

  // Made before the module, so that no call of run() can find it missing.
  if (boundary.panic_exception == nullptr) {
    boundary.panic_exception = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "Raised when the native code of this module fails internally (a broken invariant,\n"
        "not a problem with the input). Like SystemExit it derives from BaseException,\n"
        "so handlers for Exception do not catch it.",
        PyExc_BaseException, nullptr);
    if (boundary.panic_exception == nullptr) return nullptr;
  }
  if (boundary.module == nullptr) {
    // The namespace lists __all__ before run.
    OwnedRef module(PyModule_Create2(&module_definition, PYTHON_ABI_VERSION));
    OwnedRef all(Py_BuildValue("[s]", "run"));
    if (!module || !all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) != 0 ||
        PyModule_AddFunctions(module.get(), methods) != 0) {
      return nullptr;
    }
    boundary.module = module.release();
  }
  Py_IncRef(boundary.module);
  return boundary.module;
}

}  // namespace
}  // namespace marblewick

PyMODINIT_FUNC MARBLEWICK_INIT_NAME(MARBLEWICK_MODULE_NAME)(void) { return marblewick::initialise_module(); }
