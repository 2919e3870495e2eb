// The routes that stand in for json.loads and json.dumps: each captures the stdlib's
// function once, with what it relies on, and takes the native code only while all of it
// is unchanged and nothing could observe the difference.
#include "policy.hpp"
#include "watched.hpp"
#include "../calls.hpp"
#include "../json/native.hpp"

#include <new>

namespace vmrt {
namespace guards {

Name n_isinstance{"isinstance"}, n_str{"str"}, n_bytes{"bytes"}, n_bytearray{"bytearray"}, n_len{"len"},
    n_list{"list"}, n_tuple{"tuple"}, n_float{"float"}, n_id{"id"};
Name n_file{"__file__"}, n_module{"__module__"};

namespace {

Name n_name{"__name__"};
Name n_loads{"loads"}, n_dumps{"dumps"}, n_detect_encoding{"detect_encoding"}, n_codecs{"codecs"};
Name n_default_decoder{"_default_decoder"}, n_default_encoder{"_default_encoder"};
Name n_decoder_class{"JSONDecoder"}, n_encoder_class{"JSONEncoder"};
Name n_decode{"decode"}, n_raw_decode{"raw_decode"}, n_encode{"encode"}, n_iterencode{"iterencode"},
    n_default{"default"};
Name n_item_separator{"item_separator"}, n_key_separator{"key_separator"};
Name n_scan_once{"scan_once"}, n_object_hook{"object_hook"}, n_object_pairs_hook{"object_pairs_hook"},
    n_strict{"strict"}, n_parse_float{"parse_float"}, n_parse_int{"parse_int"};
Name n_skipkeys{"skipkeys"}, n_ensure_ascii{"ensure_ascii"}, n_check_circular{"check_circular"},
    n_allow_nan{"allow_nan"}, n_sort_keys{"sort_keys"}, n_indent{"indent"};
Name n_c_make_encoder{"c_make_encoder"}, n_encode_basestring_ascii{"encode_basestring_ascii"},
    n_infinity{"INFINITY"};

// A module that json has already imported, taken from sys.modules: importing it here
// would show an import that plain code never makes to import hooks.
Ref loaded_module(const char* name) noexcept
{
    Ref module_name = Ref::steal(PyUnicode_FromString(name));
    Ref module = module_name ? Ref::steal(PyImport_GetModule(module_name.get())) : Ref();
    if (module && !PyModule_Check(module.get())) {
        module.reset();
    }
    return module;
}

// The namespace of the json package when `candidate` is a Python function that json
// holds under `name`, else nullptr.
PyObject* json_function_globals(PyObject* candidate, const Name& name) noexcept
{
    PyObject* globals = PyFunction_Check(candidate) ? PyFunction_GET_GLOBALS(candidate) : nullptr;
    PyObject* module_name = globals ? entry(globals, n_name) : nullptr;
    if (module_name == nullptr || !PyUnicode_Check(module_name) ||
        PyUnicode_CompareWithASCIIString(module_name, "json") != 0 || entry(globals, name) != candidate) {
        return nullptr;
    }
    return globals;
}

// What both routes start from: json's function `name`, json's default instance of the
// class that does the work, the submodule that defines that class, and the C module.
struct JsonParts {
    PyObject* globals = nullptr;         // json's namespace
    PyObject* instance = nullptr;        // json's default decoder or encoder
    PyObject* type = nullptr;            // its class, as json and the submodule hold it
    PyObject* module_globals = nullptr;  // the submodule's namespace
    Ref module;
    Ref c_module;  // _json

    bool find(PyObject* candidate, const Name& name, const Name& instance_name, const Name& type_name,
              const char* module_name) noexcept
    {
        globals = json_function_globals(candidate, name);
        if (globals == nullptr) {
            return false;
        }
        instance = entry(globals, instance_name);
        type = instance ? entry(globals, type_name) : nullptr;
        if (type == nullptr) {
            return false;
        }
        module = loaded_module(module_name);
        c_module = module ? loaded_module("_json") : Ref();
        if (!c_module) {
            PyErr_Clear();
            return false;
        }
        module_globals = PyModule_GetDict(module.get());
        return entry(module_globals, type_name) == type;
    }
};

// The capture-once, look-again-now-and-then life of a route, shared by the decoder's and
// the encoder's: `Route::capture` examines a candidate function and its surroundings.
template <class Route>
struct CapturedRoute {
    bool ready = false;
    Refusal<> refusal;  // the last function that did not pass

    PyObject* captured_function = nullptr;  // held by the route's own references

    bool captured(PyObject* function) noexcept
    {
        if (ready && function == captured_function) {
            return true;
        }
        // What made a function fail (a patched decoder, say) may have been put back
        // meanwhile, which nothing here could see but a fresh look.
        if (refusal.stands(function, {})) {
            return false;
        }
        // Another function, or one refused a while ago: json's own again after a reload
        // of json, say. The route in use stays until the new one has passed.
        Route fresh;
        if (!fresh.capture(function)) {
            PyErr_Clear();
            refusal.refuse(function, {});
            return false;
        }
        static_cast<Route&>(*this) = std::move(fresh);  // the refusal lifted with the rest
        ready = true;
        captured_function = function;
        return true;
    }

    // `function` is the one captured, and all it relies on is as it was then.
    bool allows(PyObject* function) noexcept { return captured(function) && static_cast<Route&>(*this).unchanged(); }
};

// The defaults a function of json's must have: none at all, or exactly these.
bool defaults_are(PyObject* function, std::initializer_list<PyObject*> positional,
                  std::initializer_list<std::pair<const char*, PyObject*>> keyword) noexcept
{
    PyObject* defaults = PyFunction_GET_DEFAULTS(function);
    PyObject* kwdefaults = PyFunction_GET_KW_DEFAULTS(function);
    if (positional.size() == 0 ? defaults != nullptr
                               : defaults == nullptr || !PyTuple_CheckExact(defaults) ||
                                     PyTuple_GET_SIZE(defaults) != static_cast<Py_ssize_t>(positional.size())) {
        return false;
    }
    Py_ssize_t k = 0;
    for (PyObject* expected : positional) {
        if (!same_constant(PyTuple_GET_ITEM(defaults, k++), expected)) {
            return false;
        }
    }
    return keyword.size() == 0 ? kwdefaults == nullptr : holds_exactly(kwdefaults, keyword);
}

struct DecoderRoute : CapturedRoute<DecoderRoute> {
    WatchedFunction loads;
    WatchedFunction detect_encoding;  // run by json.loads for bytes
    WatchedModule json_module;
    WatchedModule decoder_module;
    WatchedBuiltins builtins;
    WatchedInstance decoder;

    // The stdlib's json.loads with its default decoder and the C scanner, or nothing.
    bool capture(PyObject* candidate) noexcept
    {
        JsonParts parts;
        if (!parts.find(candidate, n_loads, n_default_decoder, n_decoder_class, "json.decoder")) {
            return false;
        }
        if (!loads.capture(candidate, n_loads, parts.globals, "loads") ||
            !decoder.capture(parts.instance, parts.type) ||
            !decoder.add_method(n_decode, "JSONDecoder.decode") ||
            !decoder.add_method(n_raw_decode, "JSONDecoder.raw_decode") ||
            !detect_encoding.capture(entry(parts.globals, n_detect_encoding), n_detect_encoding, parts.globals,
                                     "detect_encoding")) {
            return false;
        }
        // The stdlib's defaults, as they were before anyone could change them.
        Ref zero = Ref::steal(PyLong_FromLong(0));
        if (!zero ||
            !defaults_are(candidate, {},
                          {{"cls", Py_None}, {"object_hook", Py_None}, {"parse_float", Py_None},
                           {"parse_int", Py_None}, {"parse_constant", Py_None}, {"object_pairs_hook", Py_None}}) ||
            !defaults_are(detect_encoding.function, {}, {}) ||
            !defaults_are(decoder.methods[1].function, {zero.get()}, {}) ||
            PyFunction_GET_KW_DEFAULTS(decoder.methods[0].function) != nullptr) {
            PyErr_Clear();
            return false;
        }
        // Default options only, and the C scanner made from them.
        Ref scanner_type = Ref::steal(PyObject_GetAttrString(parts.c_module.get(), "make_scanner"));
        PyObject* scanner = scanner_type ? decoder.attribute(n_scan_once) : nullptr;
        if (scanner == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(scanner)) != scanner_type.get() ||
            decoder.attribute(n_object_hook) != Py_None || decoder.attribute(n_object_pairs_hook) != Py_None ||
            decoder.attribute(n_strict) != Py_True ||
            decoder.attribute(n_parse_float) != reinterpret_cast<PyObject*>(&PyFloat_Type) ||
            decoder.attribute(n_parse_int) != reinterpret_cast<PyObject*>(&PyLong_Type)) {
            PyErr_Clear();
            return false;
        }
        const std::pair<const char*, PyObject*> members[] = {
            {"strict", Py_True},
            {"object_hook", Py_None},
            {"object_pairs_hook", Py_None},
            {"parse_float", reinterpret_cast<PyObject*>(&PyFloat_Type)},
            {"parse_int", reinterpret_cast<PyObject*>(&PyLong_Type)},
        };
        for (const auto& [member, expected] : members) {
            Ref value = Ref::steal(PyObject_GetAttrString(scanner, member));
            if (value.get() != expected) {
                PyErr_Clear();
                return false;
            }
        }
        // decode's whitespace matcher must be the one for [ \t\n\r]*.
        PyObject* defaults = decoder.methods[0].defaults;
        if (defaults == nullptr || !PyTuple_CheckExact(defaults) || PyTuple_GET_SIZE(defaults) != 1) {
            return false;
        }
        Ref pattern_object = Ref::steal(PyObject_GetAttrString(PyTuple_GET_ITEM(defaults, 0), "__self__"));
        Ref pattern = pattern_object ? Ref::steal(PyObject_GetAttrString(pattern_object.get(), "pattern")) : Ref();
        Ref method_name = Ref::steal(PyObject_GetAttrString(PyTuple_GET_ITEM(defaults, 0), "__name__"));
        if (!pattern || !method_name || !PyUnicode_Check(pattern.get()) || !PyUnicode_Check(method_name.get()) ||
            PyUnicode_CompareWithASCIIString(pattern.get(), "[ \\t\\n\\r]*") != 0 ||
            PyUnicode_CompareWithASCIIString(method_name.get(), "match") != 0) {
            PyErr_Clear();
            return false;
        }
        if (!json_module.globals.hold(parts.globals) || !decoder_module.globals.hold(parts.module_globals) ||
            !builtins.dict.hold(function_builtins(candidate))) {
            return false;
        }
        if (!json_module.pin(n_default_decoder) || !json_module.pin(n_detect_encoding) ||
            !json_module.pin(n_codecs) ||
            function_builtins(decoder.methods[0].function) != builtins.dict.dict) {
            return false;
        }
        // Force the full checks once, so that whatever was patched before now shows.
        json_module.globals.recheck();
        decoder_module.globals.recheck();
        builtins.dict.recheck();
        return decoder.class_unchanged() && json_module.unchanged() && decoder_module.unchanged() &&
               builtins.unchanged();
    }

    // Everything as captured; json.loads itself is the function captured.
    bool unchanged() noexcept
    {
        return loads.unchanged() && detect_encoding.unchanged() && json_module.unchanged() &&
               decoder_module.unchanged() && builtins.unchanged() && decoder.unchanged();
    }
    bool unobserved_for(PyObject* text) noexcept
    {
        PyObject* decode = decoder.methods[0].code;
        PyObject* raw_decode = decoder.methods[1].code;
        return PyBytes_CheckExact(text)
                   ? unobserved({loads.code, detect_encoding.code, decode, raw_decode}, recursion_margin)
                   : unobserved({loads.code, decode, raw_decode}, recursion_margin);
    }
};

struct EncoderRoute : CapturedRoute<EncoderRoute> {
    WatchedFunction dumps;
    WatchedModule json_module;
    WatchedModule encoder_module;
    WatchedBuiltins builtins;
    WatchedInstance encoder;

    bool capture(PyObject* candidate) noexcept
    {
        JsonParts parts;
        if (!parts.find(candidate, n_dumps, n_default_encoder, n_encoder_class, "json.encoder")) {
            return false;
        }
        if (!dumps.capture(candidate, n_dumps, parts.globals, "dumps") ||
            !encoder.capture(parts.instance, parts.type) || !encoder.add_method(n_encode, "JSONEncoder.encode") ||
            !encoder.add_method(n_iterencode, "JSONEncoder.iterencode") || !encoder.add_method(n_default, nullptr) ||
            !encoder.add_class_value(n_item_separator) || !encoder.add_class_value(n_key_separator)) {
            return false;
        }
        if (!defaults_are(candidate, {},
                          {{"skipkeys", Py_False}, {"ensure_ascii", Py_True}, {"check_circular", Py_True},
                           {"allow_nan", Py_True}, {"cls", Py_None}, {"indent", Py_None}, {"separators", Py_None},
                           {"default", Py_None}, {"sort_keys", Py_False}}) ||
            !defaults_are(encoder.methods[0].function, {}, {}) ||
            !defaults_are(encoder.methods[1].function, {Py_False}, {})) {
            return false;
        }
        // Default options: the instance holds exactly these six.
        const std::pair<const Name*, PyObject*> options[] = {
            {&n_skipkeys, Py_False}, {&n_ensure_ascii, Py_True}, {&n_check_circular, Py_True},
            {&n_allow_nan, Py_True}, {&n_sort_keys, Py_False},   {&n_indent, Py_None},
        };
        if (PyDict_GET_SIZE(encoder.attributes.dict) != 6) {
            return false;
        }
        for (const auto& [option, expected] : options) {
            if (encoder.attribute(*option) != expected) {
                return false;
            }
        }
        if (PyUnicode_CompareWithASCIIString(encoder.class_values[0], ", ") != 0 ||
            PyUnicode_CompareWithASCIIString(encoder.class_values[1], ": ") != 0) {
            return false;
        }
        // The C encoder and its ASCII string escaper.
        if (!json_module.globals.hold(parts.globals) || !encoder_module.globals.hold(parts.module_globals) ||
            !builtins.dict.hold(function_builtins(candidate))) {
            return false;
        }
        Ref c_encoder = Ref::steal(PyObject_GetAttrString(parts.c_module.get(), "make_encoder"));
        Ref c_escape = Ref::steal(PyObject_GetAttrString(parts.c_module.get(), "encode_basestring_ascii"));
        if (!c_encoder || !c_escape || !json_module.pin(n_default_encoder) ||
            !encoder_module.pin(n_c_make_encoder) || !encoder_module.pin(n_encode_basestring_ascii) ||
            !encoder_module.pin(n_infinity) || encoder_module.get(n_c_make_encoder) != c_encoder.get() ||
            encoder_module.get(n_encode_basestring_ascii) != c_escape.get() ||
            !PyFloat_CheckExact(encoder_module.get(n_infinity)) ||
            function_builtins(encoder.methods[0].function) != builtins.dict.dict) {
            PyErr_Clear();
            return false;
        }
        json_module.globals.recheck();
        encoder_module.globals.recheck();
        builtins.dict.recheck();
        return encoder.class_unchanged() && json_module.unchanged() && encoder_module.unchanged() &&
               builtins.unchanged();
    }

    bool unchanged() noexcept
    {
        return dumps.unchanged() && json_module.unchanged() && encoder_module.unchanged() && builtins.unchanged() &&
               encoder.unchanged();
    }
    bool unobserved_for(PyObject*) noexcept
    {
        return unobserved({dumps.code, encoder.methods[0].code, encoder.methods[1].code}, recursion_margin);
    }
};

// One of each per shared object, as each module links its own runtime; never freed, as
// the interpreter outlives every use.
DecoderRoute* decoder_route = nullptr;
EncoderRoute* encoder_route = nullptr;

template <class Route>
Route* route(Route*& slot) noexcept
{
    if (slot == nullptr) {
        slot = new (std::nothrow) Route();
    }
    return slot;
}

}  // namespace
}  // namespace guards

bool json_decode_still_unobserved(PyObject* text, bool lock_was_released) noexcept
{
    guards::DecoderRoute* loads_route = guards::decoder_route;
    if (loads_route == nullptr || !loads_route->ready) {
        return true;  // the decoder alone, for a caller without json.loads
    }
    // Held throughout, the lock let nothing run but the C signal handler.
    if (!lock_was_released) {
        return !internals::interrupt_pending(PyThreadState_Get());
    }
    return loads_route->unchanged() && loads_route->unobserved_for(text);
}

namespace guards {
namespace {

Ref loads_with(const Ref& loads, PyObject* text, const RecordRequest* request, bool& made_records) noexcept
{
    made_records = false;
    if (PyUnicode_CheckExact(text) || PyBytes_CheckExact(text)) {
        DecoderRoute* loads_route = route(decoder_route);
        // The stdlib enters one C recursion level per container; leave a margin besides.
        const int budget = internals::c_recursion_remaining(PyThreadState_Get()) - recursion_margin;
        if (loads_route != nullptr && budget > 0 && loads_route->allows(loads.get()) &&
            loads_route->unobserved_for(text)) {
            Ref value = json::decode_text(text, budget, request, made_records);
            if (value || PyErr_Occurred()) {
                return value;
            }
        }
    }
    return call(loads, text);
}

}  // namespace
}  // namespace guards

Ref json_loads(const Ref& loads, PyObject* text) noexcept
{
    bool made_records = false;
    return guards::loads_with(loads, text, nullptr, made_records);
}

Ref json_loads_records(const Ref& loads, PyObject* text, const RecordRequest& request, bool& made_records) noexcept
{
    return guards::loads_with(loads, text, &request, made_records);
}

Ref json_dumps(const Ref& dumps, PyObject* value) noexcept
{
    if (PyList_CheckExact(value)) {
        guards::EncoderRoute* dumps_route = guards::route(guards::encoder_route);
        if (dumps_route != nullptr && dumps_route->allows(dumps.get()) && dumps_route->unobserved_for(value)) {
            Ref text = json::encode_str_list(value);
            if (text || PyErr_Occurred()) {
                return text;
            }
        }
    }
    return call(dumps, value);
}

}  // namespace vmrt
