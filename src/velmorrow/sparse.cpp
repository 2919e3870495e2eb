// velmorrow.sparse: sparse, BM25-style term vectors from the native core, wrapped in
// plain `SparseResult` records. The source follows the module body: the record class,
// the service class and its members, the singleton functions, then the body itself.
#include "json.hpp"
#include "loader.hpp"
#include "record.hpp"

#include <iterator>

namespace {

using vmrt::attribute;
using vmrt::call;
using vmrt::Function;
using vmrt::global;
using vmrt::Name;
using vmrt::Ref;

constexpr vmrt::ModuleInfo module_info{"sparse", "velmorrow.sparse", "src/velmorrow/sparse"};

constexpr const char module_doc[] =
    "\nSparse embedding service using Rust velmorrow-core for BM25-style sparse vectors.\n\n"
    "This module provides deterministic, bounded-latency sparse embeddings with\n"
    "code-aware tokenization (camelCase/snake_case splitting) implemented in Rust.\n";

// Module-level names and the strings the functions use at run time.
Name n_json{"json"};
Name n_logging{"logging"};
Name n_dataclasses{"dataclasses"};
Name n_dataclass{"dataclass"};
Name n_core{"velmorrow_core_py"};
Name n_config{"velmorrow.config"};
Name n_settings{"settings"};
Name n_logger{"logger"};
Name n_property{"property"};
Name n_sparse_result{"SparseResult"};
Name n_service_class{"SparseEmbeddingService"};
Name n_sparse_service{"_sparse_service"};
Name n_get_sparse_service{"get_sparse_service"};
Name n_reset_sparse_service{"reset_sparse_service"};
Name n_dunder_annotations{"__annotations__"};

Name n_dumps{"dumps"};
Name n_loads{"loads"};
Name n_info{"info"};
Name n_get{"get"};
Name n_profile_version_setting{"sparse_profile_version"};
Name n_max_text_chars_setting{"sparse_max_text_chars"};
Name n_code_pretokenize_setting{"code_pretokenize"};
Name n_version{"version"};
Name n_max_text_chars{"max_text_chars"};
Name n_code_pretokenize{"code_pretokenize"};
Name n_min_token_len{"min_token_len"};
Name n_profile_json{"_profile_json"};
Name n_embed_single_core{"sparse_embed_single"};
Name n_embed_batch_core{"sparse_embed_batch"};
Name n_embed_batch{"embed_batch"};
Name n_embeddings{"embeddings"};
Name n_indices{"indices"};
Name n_values{"values"};
Name n_truncated{"truncated"};
Name n_original_chars{"original_chars"};
Name n_used_chars{"used_chars"};
Name n_log_format{"Sparse embedding: using Rust backend (profile=%s)"};

// ---- SparseResult -------------------------------------------------------------------

constexpr const char sparse_result_doc[] = "Sparse embedding result with plain Python lists.";

struct Field {
    const Name& name;
    const char* annotation;
};

// The record's fields in order: its annotations, the keys of an answer's embedding
// object, and the keywords of every record construction.
const Field sparse_result_fields[] = {
    {n_indices, "list[int]"},
    {n_values, "list[float]"},
    {n_truncated, "bool | None"},
    {n_original_chars, "int | None"},
    {n_used_chars, "int | None"},
};

// The names of sparse_result_fields, in order.
vmrt::ProcessRef record_keywords;

bool create_constants() noexcept
{
    if (!record_keywords) {
        Ref keywords = Ref::steal(PyTuple_New(std::size(sparse_result_fields)));
        if (!keywords) {
            return false;
        }
        Py_ssize_t k = 0;
        for (const Field& field : sparse_result_fields) {
            PyTuple_SET_ITEM(keywords.get(), k++, Py_NewRef(field.name.get()));
        }
        record_keywords.hold(keywords.get());
    }
    return true;
}

// `key` of a decoded JSON object, read by subscription.
Ref subscript(PyObject* mapping, const Name& key) noexcept
{
    if (PyDict_CheckExact(mapping)) {
        PyObject* value = PyDict_GetItemWithError(mapping, key.get());
        if (value != nullptr || PyErr_Occurred()) {
            return Ref::borrow(value);
        }
    }
    // Any other mapping, and the KeyError of a missing key, as `mapping[key]` gives them.
    return Ref::steal(PyObject_GetItem(mapping, key.get()));
}

// `mapping.get(key)`: None for a missing key of a plain dict.
Ref optional_item(PyObject* mapping, const Name& key) noexcept
{
    if (PyDict_CheckExact(mapping)) {
        PyObject* value = PyDict_GetItemWithError(mapping, key.get());
        if (value != nullptr || !PyErr_Occurred()) {
            return Ref::borrow(value != nullptr ? value : Py_None);
        }
        return {};
    }
    return vmrt::call_method(mapping, n_get, key);
}

// One record from one embedding object, constructed with keywords in field order.
Ref make_record(Function* function, PyObject* embedding) noexcept
{
    Ref record_class = global(function, n_sparse_result);
    if (!record_class) {
        return {};
    }
    Ref indices = subscript(embedding, n_indices);
    Ref values = indices ? subscript(embedding, n_values) : Ref();
    Ref truncated = values ? optional_item(embedding, n_truncated) : Ref();
    Ref original_chars = truncated ? optional_item(embedding, n_original_chars) : Ref();
    Ref used_chars = original_chars ? optional_item(embedding, n_used_chars) : Ref();
    if (!used_chars) {
        return {};
    }
    PyObject* args[] = {indices.get(), values.get(), truncated.get(), original_chars.get(),
                        used_chars.get()};
    return vmrt::construct_record(record_class.get(), args, record_keywords.get());
}

// ---- SparseEmbeddingService ---------------------------------------------------------

constexpr const char service_doc[] =
    "\n    Sparse embeddings via Rust velmorrow-core.\n\n"
    "    Uses deterministic tokenization and log-TF weighting. The Rust backend\n"
    "    releases the GIL during computation, so it's safe to call from async\n"
    "    executor contexts.\n    ";

constexpr vmrt::Param self_only[] = {{"self", nullptr}};

// __init__(self) -> None: builds the profile JSON once and announces the backend.
PyObject* service_init(Function* function, PyObject* const* args) noexcept
{
    PyObject* self = args[0];
    Ref json = global(function, n_json);
    Ref dumps = json ? attribute(json, n_dumps) : Ref();
    Ref profile = dumps ? Ref::steal(PyDict_New()) : Ref();
    if (!profile) {
        return nullptr;
    }
    const std::pair<const Name&, const Name&> profile_settings[] = {
        {n_version, n_profile_version_setting},
        {n_max_text_chars, n_max_text_chars_setting},
        {n_code_pretokenize, n_code_pretokenize_setting},
    };
    for (const auto& [key, setting] : profile_settings) {
        Ref settings = global(function, n_settings);
        Ref value = settings ? attribute(settings, setting) : Ref();
        if (!value || PyDict_SetItem(profile.get(), key.get(), value.get()) < 0) {
            return nullptr;
        }
    }
    Ref min_token_len = Ref::steal(PyLong_FromLong(2));
    if (!min_token_len || PyDict_SetItem(profile.get(), n_min_token_len.get(), min_token_len.get()) < 0) {
        return nullptr;
    }
    Ref profile_json = call(dumps, profile);
    if (!profile_json || PyObject_SetAttr(self, n_profile_json.get(), profile_json.get()) < 0) {
        return nullptr;
    }

    Ref logger = global(function, n_logger);
    Ref info = logger ? attribute(logger, n_info) : Ref();
    Ref settings = info ? global(function, n_settings) : Ref();
    Ref version = settings ? attribute(settings, n_profile_version_setting) : Ref();
    if (!version) {
        return nullptr;
    }
    Ref logged = call(info, n_log_format, version);
    return logged ? Py_NewRef(Py_None) : nullptr;
}

const vmrt::FunctionSpec service_init_spec{
    module_info, "__init__", "SparseEmbeddingService.__init__", nullptr, self_only, "None",
    {}, 0, __LINE__, service_init,
};

// profile_version(self) -> str: the setting as it is now, not as it was at construction.
PyObject* service_profile_version(Function* function, PyObject* const*) noexcept
{
    Ref settings = global(function, n_settings);
    Ref version = settings ? attribute(settings, n_profile_version_setting) : Ref();
    return vmrt::checked_return(std::move(version), &PyUnicode_Type);
}

const vmrt::FunctionSpec service_profile_version_spec{
    module_info, "profile_version", "SparseEmbeddingService.profile_version",
    "Return the profile version string for cache tagging.", self_only, "str",
    {}, 0, __LINE__, service_profile_version,
};

// One record from the five field values, for the decoder's own walk over a batch answer.
Ref make_record_from_fields(void* context, PyObject* const* fields) noexcept
{
    Ref record_class = global(static_cast<Function*>(context), n_sparse_result);
    return record_class ? vmrt::construct_record(record_class.get(), fields, record_keywords.get()) : Ref();
}

// Whether the records can be made without running Python code: the record class is
// known without a lookup that could run any (the per-record lookups still happen, as on
// the general route), and calling it runs none.
bool records_allowed(void* context) noexcept
{
    PyObject* record_class = vmrt::known_global(static_cast<Function*>(context), n_sparse_result);
    return record_class != nullptr &&
           vmrt::record_route_allows(record_class, record_keywords.get());
}

// embed_single(self, text: str) -> SparseResult
PyObject* service_embed_single(Function* function, PyObject* const* args) noexcept
{
    PyObject* self = args[0];
    PyObject* text = args[1];
    Ref core = global(function, n_core);
    Ref embed = core ? attribute(core, n_embed_single_core) : Ref();
    Ref profile_json = embed ? attribute(self, n_profile_json) : Ref();
    if (!profile_json) {
        return nullptr;
    }
    Ref result_json = call(embed, text, profile_json);
    Ref json = result_json ? global(function, n_json) : Ref();
    Ref loads = json ? attribute(json, n_loads) : Ref();
    // The record straight from the answer where nothing could tell; else json.loads's
    // dict, read as plain code reads it.
    const vmrt::RecordRequest request{nullptr, record_keywords.get(), 2, make_record_from_fields,
                                      records_allowed, function};
    bool made_record = false;
    Ref result = loads ? vmrt::json_loads_records(loads, result_json.get(), request, made_record) : Ref();
    if (made_record) {
        return result.release();
    }
    return result ? make_record(function, result.get()).release() : nullptr;
}

constexpr vmrt::Param embed_single_params[] = {
    {"self", nullptr},
    {"text", "str", vmrt::ArgRule::exact_str},
};
constexpr const char* embed_single_locals[] = {"result_json", "result"};

const vmrt::FunctionSpec service_embed_single_spec{
    module_info, "embed_single", "SparseEmbeddingService.embed_single",
    "Embed a single text into a sparse vector.", embed_single_params, "SparseResult",
    embed_single_locals, 0, __LINE__, service_embed_single,
};

// Appends one record per element, walking the array as a `for` statement would.
bool append_records(Function* function, PyObject* embeddings, PyObject* results) noexcept
{
    const auto append = [&](PyObject* embedding) {
        Ref record = make_record(function, embedding);
        return record && PyList_Append(results, record.get()) == 0;
    };
    if (PyList_CheckExact(embeddings) || PyTuple_CheckExact(embeddings)) {
        // The length is read again at every step, as the list iterator does.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(embeddings); ++i) {
            Ref embedding = Ref::borrow(PySequence_Fast_GET_ITEM(embeddings, i));
            if (!append(embedding.get())) {
                return false;
            }
        }
        return true;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(embeddings));
    if (!iterator) {
        return false;
    }
    while (Ref embedding = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!append(embedding.get())) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

// embed_batch(self, texts: list[str]) -> list[SparseResult]
PyObject* service_embed_batch(Function* function, PyObject* const* args) noexcept
{
    PyObject* self = args[0];
    PyObject* texts = args[1];
    if (PyList_GET_SIZE(texts) == 0) {
        return PyList_New(0);
    }
    Ref json = global(function, n_json);
    Ref dumps = json ? attribute(json, n_dumps) : Ref();
    Ref texts_json = dumps ? vmrt::json_dumps(dumps, texts) : Ref();
    Ref core = texts_json ? global(function, n_core) : Ref();
    Ref embed = core ? attribute(core, n_embed_batch_core) : Ref();
    Ref profile_json = embed ? attribute(self, n_profile_json) : Ref();
    if (!profile_json) {
        return nullptr;
    }
    Ref result_json = call(embed, texts_json, profile_json);
    json = result_json ? global(function, n_json) : Ref();
    Ref loads = json ? attribute(json, n_loads) : Ref();
    const vmrt::RecordRequest request{"embeddings", record_keywords.get(), 2, make_record_from_fields,
                                      records_allowed, function};
    bool made_records = false;
    Ref batch = loads ? vmrt::json_loads_records(loads, result_json.get(), request, made_records) : Ref();
    if (made_records) {
        return batch.release();
    }
    Ref results = batch ? Ref::steal(PyList_New(0)) : Ref();
    Ref embeddings = results ? subscript(batch.get(), n_embeddings) : Ref();
    if (!embeddings || !append_records(function, embeddings.get(), results.get())) {
        return nullptr;
    }
    return results.release();
}

constexpr vmrt::Param embed_batch_params[] = {
    {"self", nullptr},
    {"texts", "list[str]", vmrt::ArgRule::exact_list},
};
constexpr const char* embed_batch_locals[] = {"texts_json", "result_json", "batch", "results", "e"};

const vmrt::FunctionSpec service_embed_batch_spec{
    module_info, "embed_batch", "SparseEmbeddingService.embed_batch",
    "Embed a batch of texts into sparse vectors.", embed_batch_params, "list[SparseResult]",
    embed_batch_locals, 0, __LINE__, service_embed_batch,
};

// embed_batch_list(self, texts: list[str], batch_size: int | None = None)
PyObject* service_embed_batch_list(Function*, PyObject* const* args) noexcept
{
    // Looked up on the instance, so that an override is the one called.
    return vmrt::checked_return(vmrt::call_method(args[0], n_embed_batch, args[1]), &PyList_Type);
}

constexpr vmrt::Param embed_batch_list_params[] = {
    {"self", nullptr},
    {"texts", "list[str]", vmrt::ArgRule::exact_list},
    {"batch_size", "int | None", vmrt::ArgRule::int_or_none},
};

const vmrt::FunctionSpec service_embed_batch_list_spec{
    module_info, "embed_batch_list", "SparseEmbeddingService.embed_batch_list",
    "Embed a batch of texts and return as a list (batch_size ignored).", embed_batch_list_params,
    "list[SparseResult]", {}, 1, __LINE__, service_embed_batch_list,
};

// ---- the singleton ------------------------------------------------------------------

// get_sparse_service() -> SparseEmbeddingService
[[gnu::noinline]] PyObject* get_sparse_service_slow(Function* function) noexcept
{
    Ref current = global(function, n_sparse_service);
    if (!current) {
        return nullptr;
    }
    if (current.get() == Py_None) {
        // Constructing the service runs code: guarded.
        vmrt::RecursionGuard guard;
        if (!guard.enter()) {
            return nullptr;
        }
        Ref service_class = global(function, n_service_class);
        Ref service = service_class ? call(service_class) : Ref();
        if (!service || !vmrt::set_global(function, n_sparse_service, service.get())) {
            return nullptr;
        }
    }
    // Read again: the slot holds whatever was stored there last.
    return global(function, n_sparse_service).release();
}

PyObject* get_sparse_service(Function* function, PyObject* const*) noexcept
{
    // The warm singleton: where the lookup caches answer, no code runs between the two
    // reads, so both find this object.
    PyObject* current = vmrt::known_global(function, n_sparse_service);
    if (current != nullptr && current != Py_None) {
        return Py_NewRef(current);
    }
    return get_sparse_service_slow(function);
}

const vmrt::FunctionSpec get_sparse_service_spec{
    module_info, "get_sparse_service", "get_sparse_service",
    "Get or create the sparse embedding service singleton.", {}, "SparseEmbeddingService",
    {}, 0, __LINE__, get_sparse_service, true,
};

// reset_sparse_service() -> None
PyObject* reset_sparse_service(Function* function, PyObject* const*) noexcept
{
    return vmrt::set_global(function, n_sparse_service, Py_None) ? Py_NewRef(Py_None) : nullptr;
}

const vmrt::FunctionSpec reset_sparse_service_spec{
    module_info, "reset_sparse_service", "reset_sparse_service",
    "Reset the sparse service singleton (for testing).", {}, "None",
    {}, 0, __LINE__, reset_sparse_service,
};

// ---- the module body ----------------------------------------------------------------

Ref sparse_result_class(vmrt::ModuleBody& body) noexcept
{
    Ref namespace_dict = vmrt::class_namespace(module_info, n_sparse_result, sparse_result_doc);
    Ref annotations = namespace_dict ? Ref::steal(PyDict_New()) : Ref();
    if (!annotations) {
        return {};
    }
    for (const Field& field : sparse_result_fields) {
        Ref annotation = Ref::steal(PyUnicode_FromString(field.annotation));
        if (!annotation || PyDict_SetItem(annotations.get(), field.name.get(), annotation.get()) < 0) {
            return {};
        }
    }
    if (PyDict_SetItem(namespace_dict.get(), n_dunder_annotations.get(), annotations.get()) < 0 ||
        PyDict_SetItem(namespace_dict.get(), n_truncated.get(), Py_None) < 0 ||
        PyDict_SetItem(namespace_dict.get(), n_original_chars.get(), Py_None) < 0 ||
        PyDict_SetItem(namespace_dict.get(), n_used_chars.get(), Py_None) < 0) {
        return {};
    }
    Ref dataclass = body.global(n_dataclass);
    Ref record_class = dataclass ? vmrt::make_class(n_sparse_result.get(), namespace_dict.get()) : Ref();
    return record_class ? call(dataclass, record_class) : Ref();
}

Ref service_class(vmrt::ModuleBody& body, const Ref& property) noexcept
{
    Ref namespace_dict = vmrt::class_namespace(module_info, n_service_class, service_doc);
    if (!namespace_dict) {
        return {};
    }
    for (const vmrt::FunctionSpec* spec :
         {&service_init_spec, &service_profile_version_spec, &service_embed_single_spec,
          &service_embed_batch_spec, &service_embed_batch_list_spec}) {
        Ref member = vmrt::make_function(*spec, body.globals());
        if (member && spec == &service_profile_version_spec) {
            member = call(property, member);
        }
        if (!member || PyDict_SetItemString(namespace_dict.get(), spec->name, member.get()) < 0) {
            return {};
        }
    }
    return vmrt::make_class(n_service_class.get(), namespace_dict.get());
}

bool run_module_body(vmrt::ModuleBody& body) noexcept
{
    // Kept for the service class; a missing builtin fails before the body starts.
    Ref property = vmrt::lookup_builtin(n_property.get());
    if (!property) {
        return false;
    }
    PyObject* globals = body.globals();

    // import json
    if (!body.import_module(n_json)) {
        return false;
    }
    // import logging
    if (!body.import_module(n_logging)) {
        return false;
    }
    // from dataclasses import dataclass
    if (!body.import_from(n_dataclasses, n_dataclass)) {
        return false;
    }
    // import velmorrow_core_py
    if (!body.import_module(n_core)) {
        return false;
    }
    // from velmorrow.config import settings
    if (!body.import_from(n_config, n_settings)) {
        return false;
    }
    // logger = logging.getLogger(__name__)
    if (!body.bind_logger()) {
        return false;
    }
    // @dataclass class SparseResult: ...
    if (!body.bind(n_sparse_result, sparse_result_class(body))) {
        return false;
    }
    // class SparseEmbeddingService: ...
    if (!body.bind(n_service_class, service_class(body, property))) {
        return false;
    }
    // _sparse_service = None
    if (!body.bind(n_sparse_service, Ref::borrow(Py_None))) {
        return false;
    }
    // def get_sparse_service(): ...
    if (!body.bind(n_get_sparse_service, vmrt::make_function(get_sparse_service_spec, globals))) {
        return false;
    }
    // def reset_sparse_service(): ...
    if (!body.bind(n_reset_sparse_service, vmrt::make_function(reset_sparse_service_spec, globals))) {
        return false;
    }
    return true;
}

// ---- module definition --------------------------------------------------------------

vmrt::ModuleLoader loader{module_info, create_constants, run_module_body};

}  // namespace

PyMODINIT_FUNC PyInit_sparse(void)
{
    return vmrt::module_definition<loader>(module_info.short_name, module_doc);
}
