// The stdlib's json functions as data: their source, compiled once, against which the
// functions found are compared.
#include "watched.hpp"

namespace vmrt::guards {
namespace {

// The standard library's own json functions that the routes stand in for, as CPython
// 3.12 writes them (Lib/json/__init__.py, decoder.py, encoder.py), docstrings left out.
// Compiled once and compared with the functions found, so that code replaced before the
// first use (same name, same file, other behaviour) is not taken for json's own.
constexpr const char stdlib_json_source[] = R"py(
def detect_encoding(b):
    bstartswith = b.startswith
    if bstartswith((codecs.BOM_UTF32_BE, codecs.BOM_UTF32_LE)):
        return 'utf-32'
    if bstartswith((codecs.BOM_UTF16_BE, codecs.BOM_UTF16_LE)):
        return 'utf-16'
    if bstartswith(codecs.BOM_UTF8):
        return 'utf-8-sig'
    if len(b) >= 4:
        if not b[0]:
            return 'utf-16-be' if b[1] else 'utf-32-be'
        if not b[1]:
            return 'utf-16-le' if b[2] or b[3] else 'utf-32-le'
    elif len(b) == 2:
        if not b[0]:
            return 'utf-16-be'
        if not b[1]:
            return 'utf-16-le'
    return 'utf-8'

def dumps(obj, *, skipkeys=False, ensure_ascii=True, check_circular=True,
        allow_nan=True, cls=None, indent=None, separators=None,
        default=None, sort_keys=False, **kw):
    """-"""
    if (not skipkeys and ensure_ascii and
        check_circular and allow_nan and
        cls is None and indent is None and separators is None and
        default is None and not sort_keys and not kw):
        return _default_encoder.encode(obj)
    if cls is None:
        cls = JSONEncoder
    return cls(
        skipkeys=skipkeys, ensure_ascii=ensure_ascii,
        check_circular=check_circular, allow_nan=allow_nan, indent=indent,
        separators=separators, default=default, sort_keys=sort_keys,
        **kw).encode(obj)

def loads(s, *, cls=None, object_hook=None, parse_float=None,
        parse_int=None, parse_constant=None, object_pairs_hook=None, **kw):
    """-"""
    if isinstance(s, str):
        if s.startswith('\ufeff'):
            raise JSONDecodeError("Unexpected UTF-8 BOM (decode using utf-8-sig)",
                                  s, 0)
    else:
        if not isinstance(s, (bytes, bytearray)):
            raise TypeError(f'the JSON object must be str, bytes or bytearray, '
                            f'not {s.__class__.__name__}')
        s = s.decode(detect_encoding(s), 'surrogatepass')

    if (cls is None and object_hook is None and
            parse_int is None and parse_float is None and
            parse_constant is None and object_pairs_hook is None and not kw):
        return _default_decoder.decode(s)
    if cls is None:
        cls = JSONDecoder
    if object_hook is not None:
        kw['object_hook'] = object_hook
    if object_pairs_hook is not None:
        kw['object_pairs_hook'] = object_pairs_hook
    if parse_float is not None:
        kw['parse_float'] = parse_float
    if parse_int is not None:
        kw['parse_int'] = parse_int
    if parse_constant is not None:
        kw['parse_constant'] = parse_constant
    return cls(**kw).decode(s)

class JSONDecoder:
    def decode(self, s, _w=WHITESPACE.match):
        """-"""
        obj, end = self.raw_decode(s, idx=_w(s, 0).end())
        end = _w(s, end).end()
        if end != len(s):
            raise JSONDecodeError("Extra data", s, end)
        return obj

    def raw_decode(self, s, idx=0):
        """-"""
        try:
            obj, end = self.scan_once(s, idx)
        except StopIteration as err:
            raise JSONDecodeError("Expecting value", s, err.value) from None
        return obj, end

class JSONEncoder:
    def encode(self, o):
        """-"""
        if isinstance(o, str):
            if self.ensure_ascii:
                return encode_basestring_ascii(o)
            else:
                return encode_basestring(o)
        chunks = self.iterencode(o, _one_shot=True)
        if not isinstance(chunks, (list, tuple)):
            chunks = list(chunks)
        return ''.join(chunks)

    def iterencode(self, o, _one_shot=False):
        """-"""
        if self.check_circular:
            markers = {}
        else:
            markers = None
        if self.ensure_ascii:
            _encoder = encode_basestring_ascii
        else:
            _encoder = encode_basestring

        def floatstr(o, allow_nan=self.allow_nan,
                _repr=float.__repr__, _inf=INFINITY, _neginf=-INFINITY):
            if o != o:
                text = 'NaN'
            elif o == _inf:
                text = 'Infinity'
            elif o == _neginf:
                text = '-Infinity'
            else:
                return _repr(o)

            if not allow_nan:
                raise ValueError(
                    "Out of range float values are not JSON compliant: " +
                    repr(o))

            return text

        if (_one_shot and c_make_encoder is not None
                and self.indent is None):
            _iterencode = c_make_encoder(
                markers, self.default, _encoder, self.indent,
                self.key_separator, self.item_separator, self.sort_keys,
                self.skipkeys, self.allow_nan)
        else:
            _iterencode = _make_iterencode(
                markers, self.default, _encoder, self.indent, floatstr,
                self.key_separator, self.item_separator, self.sort_keys,
                self.skipkeys, _one_shot)
        return _iterencode(o, 0)
)py";

// The compiled code of `qualname` in the source above; nullptr when it cannot be had.
ProcessRef stdlib_json_code;

PyObject* find_code(PyObject* code, const char* qualname) noexcept
{
    PyObject* constants = reinterpret_cast<PyCodeObject*>(code)->co_consts;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(constants); ++k) {
        PyObject* constant = PyTuple_GET_ITEM(constants, k);
        if (!PyCode_Check(constant)) {
            continue;
        }
        if (PyUnicode_CompareWithASCIIString(reinterpret_cast<PyCodeObject*>(constant)->co_qualname, qualname) == 0) {
            return constant;
        }
        if (PyObject* inner = find_code(constant, qualname)) {
            return inner;
        }
    }
    return nullptr;
}

}  // namespace

PyObject* stdlib_code(const char* qualname) noexcept
{
    if (!stdlib_json_code) {
        Ref module = Ref::steal(Py_CompileString(stdlib_json_source, "<json>", Py_file_input));
        if (!module) {
            PyErr_Clear();
            return nullptr;
        }
        stdlib_json_code.hold(module.get());
    }
    return find_code(stdlib_json_code.get(), qualname);
}

}  // namespace vmrt::guards
