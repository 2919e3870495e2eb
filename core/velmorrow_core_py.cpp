// Development and test stand-in for velmorrow's native core.
// Hand-written against the CPython 3.12 C API; no binding generator.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#ifdef VELMORROW_CORE_NATIVE_JSON
#include "guards/policy.hpp"
#include "json.hpp"
#endif

namespace {

// Owning reference: every early return releases what it holds.
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    Ref tmp(std::move(o));
    std::swap(p_, tmp.p_);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

struct ModuleState {
  PyObject* json_loads;  // the only state: set once at exec, read-only after
};

ModuleState* state_of(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

constexpr std::string_view kHandshake =
    R"({"capabilities": ["ignore_builtin_replace", "sparse_embed"], )"
    R"("core": "velmorrow-core-standin", "version": "0.1.0"})";

constexpr std::uint32_t kIndexMask = (1u << 20) - 1;

struct Profile {
  Py_ssize_t max_chars = -1;  // negative: no limit
  std::size_t min_token_len = 2;
  bool pretokenize = true;
};

// One text, copied out of its str so the work can run without the GIL.
struct Item {
  std::u32string text;
  Py_ssize_t original_chars = 0;
  bool truncated = false;
};

// ---------------------------------------------------------------- errors

// Names JSON kinds the way the caller wrote them, not Python's type names.
const char* json_kind(PyObject* o) {
  if (o == Py_None) return "null";
  if (PyBool_Check(o)) return "boolean";
  if (PyLong_Check(o) || PyFloat_Check(o)) return "number";
  if (PyUnicode_Check(o)) return "string";
  if (PyList_Check(o)) return "array";
  if (PyDict_Check(o)) return "object";
  return Py_TYPE(o)->tp_name;
}

// json.loads, with decoder failures re-raised as ValueError naming the input.
Ref decode_json(ModuleState* st, PyObject* text, const char* what) {
  if (!st->json_loads) {  // only after the module was torn down
    PyErr_SetString(PyExc_RuntimeError, "velmorrow_core_py is no longer initialised");
    return Ref();
  }
#ifdef VELMORROW_CORE_NATIVE_JSON
  // The package's own exact decoder, so that big texts JSON are parsed without the GIL;
  // anything it does not take (every invalid document) goes to json.loads as before.
  // The stdlib's scanner takes one C recursion level per container; keep a margin.
  const int depth = PyThreadState_Get()->c_recursion_remaining - vmrt::recursion_margin;
  if (vmrt::Ref native = depth > 0 ? vmrt::json_decode_native(text, depth) : vmrt::Ref()) {
    return Ref::steal(native.release());
  }
  if (PyErr_Occurred()) return Ref();
#endif
  Ref out = Ref::steal(PyObject_CallOneArg(st->json_loads, text));
  if (out) return out;
  // RecursionError comes from deeply nested input, so it is bad input too.
  if (!PyErr_ExceptionMatches(PyExc_ValueError) &&
      !PyErr_ExceptionMatches(PyExc_RecursionError)) {
    return out;
  }
  Ref cause = Ref::steal(PyErr_GetRaisedException());
  Ref msg = Ref::steal(PyObject_Str(cause.get()));
  if (!msg) return Ref();
  PyErr_Format(PyExc_ValueError, "invalid %s JSON: %U", what, msg.get());
  Ref err = Ref::steal(PyErr_GetRaisedException());
  PyException_SetContext(err.get(), Ref::borrow(cause.get()).release());
  PyException_SetCause(err.get(), cause.release());
  PyErr_SetRaisedException(err.release());
  return Ref();
}

// Borrowed lookup kept alive by the caller's dict reference.
bool dict_get(PyObject* dict, const char* key, Ref& out) {
  Ref k = Ref::steal(PyUnicode_FromString(key));
  if (!k) return false;
  out = Ref::borrow(PyDict_GetItemWithError(dict, k.get()));
  return out || !PyErr_Occurred();
}

// Reads a JSON integer >= minimum; bools are rejected, huge values clamp.
bool read_count(PyObject* v, const char* key, long long minimum,
                const char* wanted, Py_ssize_t& out) {
  if (PyLong_Check(v) && !PyBool_Check(v)) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (x == -1 && PyErr_Occurred()) return false;
    if (overflow > 0 || (overflow == 0 && x >= minimum)) {
      out = (overflow > 0 || x > PY_SSIZE_T_MAX) ? PY_SSIZE_T_MAX
                                                  : static_cast<Py_ssize_t>(x);
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "profile JSON: '%s' must be %s, got %R", key,
               wanted, v);
  return false;
}

bool parse_profile(ModuleState* st, PyObject* profile_json, Profile& p) {
  Ref obj = decode_json(st, profile_json, "profile");
  if (!obj) return false;
  if (!PyDict_Check(obj.get())) {
    PyErr_Format(PyExc_ValueError, "profile JSON: expected an object, got %s",
                 json_kind(obj.get()));
    return false;
  }
  Ref v;
  if (!dict_get(obj.get(), "max_text_chars", v)) return false;
  if (v && v.get() != Py_None &&
      !read_count(v.get(), "max_text_chars", 0, "a non-negative integer",
                  p.max_chars)) {
    return false;
  }
  if (!dict_get(obj.get(), "min_token_len", v)) return false;
  if (v) {
    Py_ssize_t n = 0;
    if (!read_count(v.get(), "min_token_len", 1, "a positive integer", n)) {
      return false;
    }
    p.min_token_len = static_cast<std::size_t>(n);
  }
  if (!dict_get(obj.get(), "code_pretokenize", v)) return false;
  if (v) {
    int truth = PyObject_IsTrue(v.get());
    if (truth < 0) return false;
    p.pretokenize = truth != 0;
  }
  return true;
}

// Copies the used prefix of a str; reading by kind keeps lone surrogates.
void copy_text(PyObject* s, const Profile& p, Item& out) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  const Py_ssize_t used = (p.max_chars >= 0 && n > p.max_chars) ? p.max_chars : n;
  out.original_chars = n;
  out.truncated = used < n;
  out.text.resize(static_cast<std::size_t>(used));
  const void* data = PyUnicode_DATA(s);
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
      std::copy_n(static_cast<const Py_UCS1*>(data), used, out.text.begin());
      break;
    case PyUnicode_2BYTE_KIND:
      std::copy_n(static_cast<const Py_UCS2*>(data), used, out.text.begin());
      break;
    default:
      std::copy_n(static_cast<const Py_UCS4*>(data), used, out.text.begin());
      break;
  }
}

// ------------------------------------------------------ tokenise and weigh
// Everything below runs without the GIL and touches no Python object.

bool is_digit(char32_t c) { return c >= U'0' && c <= U'9'; }
bool is_upper(char32_t c) { return c >= U'A' && c <= U'Z'; }
bool is_lower(char32_t c) { return c >= U'a' && c <= U'z'; }

bool is_word(char32_t c) {
  if (c < 0x80) return is_digit(c) || is_upper(c) || is_lower(c) || c == U'_';
  if (c >= 0xD800 && c <= 0xDFFF) return false;
  if (c >= 0x2000 && c <= 0x200A) return false;
  switch (c) {
    case 0x0085: case 0x00A0: case 0x1680: case 0x2028: case 0x2029:
    case 0x202F: case 0x205F: case 0x3000:
      return false;
    default:
      return true;
  }
}

// FNV-1a over the lower-cased token as UTF-8; surrogates get 3 bytes.
std::uint32_t token_index(const char32_t* b, const char32_t* e) {
  std::uint32_t h = 2166136261u;
  auto feed = [&h](std::uint32_t byte) {
    h ^= byte;
    h *= 16777619u;
  };
  for (; b != e; ++b) {
    std::uint32_t c = *b;
    if (is_upper(c)) c += 32;
    if (c < 0x80) {
      feed(c);
    } else if (c < 0x800) {
      feed(0xC0 | (c >> 6));
      feed(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      feed(0xE0 | (c >> 12));
      feed(0x80 | ((c >> 6) & 0x3F));
      feed(0x80 | (c & 0x3F));
    } else {
      feed(0xF0 | (c >> 18));
      feed(0x80 | ((c >> 12) & 0x3F));
      feed(0x80 | ((c >> 6) & 0x3F));
      feed(0x80 | (c & 0x3F));
    }
  }
  return h & kIndexMask;
}

void tokenize(const std::u32string& t, const Profile& p,
              std::vector<std::uint32_t>& out) {
  const char32_t* s = t.data();
  auto emit = [&](std::size_t b, std::size_t e) {
    if (e - b >= p.min_token_len) out.push_back(token_index(s + b, s + e));
  };
  const std::size_t n = t.size();
  std::size_t i = 0;
  while (i < n) {
    while (i < n && !is_word(s[i])) ++i;
    const std::size_t run_begin = i;
    while (i < n && is_word(s[i])) ++i;
    const std::size_t run_end = i;
    if (run_begin == run_end) continue;
    if (!p.pretokenize) {
      emit(run_begin, run_end);
      continue;
    }
    std::size_t start = run_begin;
    for (std::size_t j = run_begin; j < run_end; ++j) {
      const char32_t c = s[j];
      if (c == U'_') {
        if (start < j) emit(start, j);
        start = j + 1;
        continue;
      }
      if (j == start) continue;
      const char32_t prev = s[j - 1];
      const bool camel = is_lower(prev) && is_upper(c);
      const bool digit_edge = is_digit(prev) != is_digit(c);
      const bool acronym_end = is_upper(prev) && is_upper(c) && j + 1 < run_end &&
                               is_lower(s[j + 1]);
      if (camel || digit_edge || acronym_end) {
        emit(start, j);
        start = j;
      }
    }
    if (start < run_end) emit(start, run_end);
  }
}

void append_int(std::string& out, long long v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

// Shortest round-trip form, always with a '.' or exponent so it reads back as float.
void append_double(std::string& out, double v) {
  char buf[40];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  std::string_view sv(buf, static_cast<std::size_t>(r.ptr - buf));
  out += sv;
  if (sv.find_first_of(".e") == std::string_view::npos) out += ".0";
}

void append_embedding(std::string& out, const Item& item, const Profile& p,
                      std::vector<std::uint32_t>& scratch) {
  scratch.clear();
  tokenize(item.text, p, scratch);
  std::sort(scratch.begin(), scratch.end());

  std::vector<std::pair<std::uint32_t, double>> weights;
  double sum_sq = 0.0;
  for (std::size_t i = 0; i < scratch.size();) {
    std::size_t j = i;
    while (j < scratch.size() && scratch[j] == scratch[i]) ++j;
    const double w = 1.0 + std::log(static_cast<double>(j - i));
    weights.emplace_back(scratch[i], w);
    sum_sq += w * w;
    i = j;
  }
  // Every weight is >= 1, so the norm is >= 1 whenever there is a weight.
  const double norm = std::sqrt(sum_sq);

  out += "{\"indices\": [";
  for (std::size_t i = 0; i < weights.size(); ++i) {
    if (i) out += ", ";
    append_int(out, weights[i].first);
  }
  out += "], \"values\": [";
  for (std::size_t i = 0; i < weights.size(); ++i) {
    if (i) out += ", ";
    append_double(out, weights[i].second / norm);
  }
  out += "], \"truncated\": ";
  out += item.truncated ? "true" : "false";
  out += ", \"original_chars\": ";
  append_int(out, item.original_chars);
  out += ", \"used_chars\": ";
  append_int(out, static_cast<long long>(item.text.size()));
  out += '}';
}

// Runs fn with the GIL released; C++ exceptions resurface once it is back.
template <typename F>
void without_gil(F&& fn) {
  std::exception_ptr err;
  Py_BEGIN_ALLOW_THREADS
  try {
    fn();
  } catch (...) {
    err = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (err) std::rethrow_exception(err);
}

// Turns a stray C++ exception into a Python one instead of terminating.
template <typename F>
PyObject* guarded(F&& fn) noexcept {
  try {
    return fn();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }
}

bool check_str_args(const char* fname, PyObject* const* args, Py_ssize_t nargs,
                    Py_ssize_t want) {
  if (nargs != want) {
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)",
                 fname, want, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    if (!PyUnicode_CheckExact(args[i])) {
      PyErr_Format(PyExc_TypeError, "%s() argument %zd must be str, not %s",
                   fname, i + 1, Py_TYPE(args[i])->tp_name);
      return false;
    }
  }
  return true;
}

Ref ascii_str(const std::string& s) {
  return Ref::steal(PyUnicode_DecodeASCII(s.data(), static_cast<Py_ssize_t>(s.size()),
                                          nullptr));
}

// ---------------------------------------------------------------- functions

PyObject* handshake(PyObject*, PyObject*) {
  return PyUnicode_FromStringAndSize(kHandshake.data(),
                                     static_cast<Py_ssize_t>(kHandshake.size()));
}

PyObject* sparse_embed_single(PyObject* module, PyObject* const* args,
                              Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (!check_str_args("sparse_embed_single", args, nargs, 2)) return nullptr;
    Profile profile;
    if (!parse_profile(state_of(module), args[1], profile)) return nullptr;
    Item item;
    copy_text(args[0], profile, item);
    std::string out;
    without_gil([&] {
      std::vector<std::uint32_t> scratch;
      append_embedding(out, item, profile, scratch);
    });
    return ascii_str(out).release();
  });
}

PyObject* sparse_embed_batch(PyObject* module, PyObject* const* args,
                             Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (!check_str_args("sparse_embed_batch", args, nargs, 2)) return nullptr;
    ModuleState* st = state_of(module);
    Profile profile;
    if (!parse_profile(st, args[1], profile)) return nullptr;
    Ref texts = decode_json(st, args[0], "texts");
    if (!texts) return nullptr;
    if (!PyList_Check(texts.get())) {
      PyErr_Format(PyExc_ValueError,
                   "texts JSON: expected an array of strings, got %s",
                   json_kind(texts.get()));
      return nullptr;
    }
    const Py_ssize_t n = PyList_GET_SIZE(texts.get());
    std::vector<Item> items(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* s = PyList_GET_ITEM(texts.get(), i);
      if (!PyUnicode_Check(s)) {
        PyErr_Format(PyExc_ValueError,
                     "texts JSON: item %zd must be a string, got %s", i,
                     json_kind(s));
        return nullptr;
      }
      copy_text(s, profile, items[static_cast<std::size_t>(i)]);
    }
    texts = Ref();
    std::string out;
    without_gil([&] {
      std::vector<std::uint32_t> scratch;
      out += "{\"embeddings\": [";
      for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += ", ";
        append_embedding(out, items[i], profile, scratch);
        std::u32string().swap(items[i].text);  // free early on big batches
      }
      out += "]}";
    });
    return ascii_str(out).release();
  });
}

// ------------------------------------------------------------------ module

int module_exec(PyObject* module) {
  Ref json = Ref::steal(PyImport_ImportModule("json"));
  if (!json) return -1;
  Ref loads = Ref::steal(PyObject_GetAttrString(json.get(), "loads"));
  if (!loads) return -1;
  state_of(module)->json_loads = loads.release();
  return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  Py_VISIT(state_of(module)->json_loads);
  return 0;
}

int module_clear(PyObject* module) {
  Ref::steal(std::exchange(state_of(module)->json_loads, nullptr));
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyDoc_STRVAR(module_doc,
             "Development and test stand-in for velmorrow's native core.\n\n"
             "Not the application's real core: a small deterministic sparse\n"
             "embedder with the same call surface, for development and tests.");

PyDoc_STRVAR(handshake_doc,
             "handshake($module, /)\n--\n\n"
             "Return a JSON text naming this core, its version and capabilities.");

PyDoc_STRVAR(single_doc,
             "sparse_embed_single($module, text, profile_json, /)\n--\n\n"
             "Embed one text; return the embedding object as JSON text.");

PyDoc_STRVAR(batch_doc,
             "sparse_embed_batch($module, texts_json, profile_json, /)\n--\n\n"
             "Embed a JSON array of texts; return {\"embeddings\": [...]} as JSON text.");

template <typename F>
PyCFunction as_cfunction(F* fn) {
  // Casting through void(*)(void) is the sanctioned way to store other signatures.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn));
}

PyMethodDef module_methods[] = {
    {"handshake", handshake, METH_NOARGS, handshake_doc},
    {"sparse_embed_single", as_cfunction(sparse_embed_single), METH_FASTCALL,
     single_doc},
    {"sparse_embed_batch", as_cfunction(sparse_embed_batch), METH_FASTCALL,
     batch_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velmorrow_core_py",
    module_doc,
    sizeof(ModuleState),
    module_methods,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

PyMODINIT_FUNC PyInit_velmorrow_core_py(void) {
  return PyModuleDef_Init(&module_def);
}
