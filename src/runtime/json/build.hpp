// The builder: the objects of the document made from the tape, with the lock held.
#pragma once

#include "../internals.hpp"
#include "tape.hpp"

namespace vmrt::json {

// ---- building the objects, with the lock held ---------------------------------------

// Escape-free keys already made in this document, by their source text, so that a
// repeated key costs no new string; the memo dict stays the authority on sharing.
class KeyCache {
public:
    PyObject* find(const void* text, std::size_t bytes, std::uint64_t hash) const noexcept
    {
        for (std::size_t k = 0, slot = hash & mask; k < slots; ++k, slot = (slot + 1) & mask) {
            const Item& item = items_[slot];
            if (item.key == nullptr) {
                return nullptr;
            }
            if (item.hash == hash && item.bytes == bytes && std::memcmp(item.text, text, bytes) == 0) {
                return item.key;
            }
        }
        return nullptr;
    }
    void add(const void* text, std::size_t bytes, std::uint64_t hash, PyObject* key) noexcept
    {
        if (used_ * 2 >= slots) {
            return;  // full enough; further keys simply go through the memo
        }
        std::size_t slot = hash & mask;
        while (items_[slot].key != nullptr) {
            slot = (slot + 1) & mask;
        }
        items_[slot] = {text, bytes, hash, key};
        taken_[used_++] = static_cast<unsigned char>(slot);
    }
    void clear() noexcept
    {
        for (std::size_t k = 0; k < used_; ++k) {
            items_[taken_[k]].key = nullptr;
        }
        used_ = 0;
    }
    static std::uint64_t hash_of(const void* text, std::size_t bytes) noexcept
    {
        std::uint64_t hash = 14695981039346656037ull;
        const auto* p = static_cast<const unsigned char*>(text);
        for (std::size_t k = 0; k < bytes; ++k) {
            hash = (hash ^ p[k]) * 1099511628211ull;
        }
        return hash ^ (hash >> 29);
    }

private:
    static constexpr std::size_t slots = 64;
    static constexpr std::size_t mask = slots - 1;
    struct Item {
        const void* text;
        std::size_t bytes;
        std::uint64_t hash;
        PyObject* key;  // borrowed from the memo
    };
    Item items_[slots] = {};
    unsigned char taken_[slots / 2];  // the slots in use, to clear them alone
    std::size_t used_ = 0;
};

template <class S>
class Builder {
    using Unit = typename S::unit;

public:
    Builder() noexcept = default;
    Builder(const Builder&) = delete;
    Builder& operator=(const Builder&) = delete;
    ~Builder() { finish(); }

    void start(PyObject* source, const Unit* text) noexcept
    {
        source_ = source;
        s_ = text;
    }
    // Lets go of everything the document left here, for the next one.
    void finish() noexcept
    {
        // The open containers and their pending keys are the builder's own references.
        for (int k = 0; k < depth_; ++k) {
            Py_XDECREF(frames_[k].container);
            Py_XDECREF(frames_[k].key);
        }
        depth_ = 0;
        made_ = 0;
        result_.reset();
        memo_.reset();
        keys_.clear();
        chars_.release();
        digits_.release();
    }

    enum class Fed { more, value, error };

    // Builds from the entries at `at` on, up to `last` or to the end of the value that
    // brings the depth back to zero (`value`, then taken with `take`); `at` is left after
    // the last entry used. A value may span several calls.
    Fed feed(const Entry*& at, const Entry* const last) noexcept
    {
        const Entry* item = at;
        Fed fed = Fed::more;
        for (; item != last; ++item) {
            Ref value;
            switch (item->tag()) {
            case Tag::object: {
                Ref container = Ref::steal(PyDict_New());
                if (!container) {
                    return Fed::error;
                }
                made_ += container_bytes;
                frames_[depth_++] = {container.release(), nullptr};
                continue;
            }
            case Tag::array: {
                Ref container = Ref::steal(PyList_New(0));
                if (!container) {
                    return Fed::error;
                }
                made_ += container_bytes;
                const Py_ssize_t scalars = scalars_to_end(item + 1, last);
                if (scalars < 0) {
                    frames_[depth_++] = {container.release(), nullptr};
                    continue;
                }
                if (!fill(container.get(), item + 1, scalars)) {
                    return Fed::error;
                }
                item += scalars + 1;  // on its end
                value = std::move(container);
                break;
            }
            case Tag::end:
                --depth_;
                value = Ref::steal(std::exchange(frames_[depth_].container, nullptr));
                break;
            case Tag::key: {
                Ref key = Ref::steal(make_key(*item));
                if (!key) {
                    return Fed::error;
                }
                frames_[depth_ - 1].key = key.release();
                continue;
            }
            default:
                value = scalar(*item);
                break;
            }
            if (!value) {
                return Fed::error;
            }
            if (depth_ == 0) {
                result_ = std::move(value);
                ++item;
                fed = Fed::value;
                break;
            }
            Frame& top = frames_[depth_ - 1];
            if (top.key != nullptr) {
                const Ref key = Ref::steal(std::exchange(top.key, nullptr));
                const Py_ssize_t size = PyDict_GET_SIZE(top.container);
                if (PyDict_SetItem(top.container, key.get(), value.get()) < 0) {
                    return Fed::error;
                }
                if (PyDict_GET_SIZE(top.container) != size) {
                    made_ += slot_bytes * 3;
                }
            } else {
                if (!append(top.container, std::move(value))) {
                    return Fed::error;
                }
                made_ += slot_bytes;
            }
        }
        at = item;
        return fed;
    }

    Ref take() noexcept { return std::move(result_); }

    // How many scalars there are from `item` to the end of their list, when that end is
    // already on the tape with no container before it; otherwise -1.
    static Py_ssize_t scalars_to_end(const Entry* item, const Entry* const last) noexcept
    {
        for (const Entry* first = item; item != last; ++item) {
            switch (item->tag()) {
            case Tag::end:
                return item - first;
            case Tag::object:
            case Tag::array:
                return -1;
            default:
                break;
            }
        }
        return -1;
    }

    // Fills an empty list with the scalars at `item` on, given at once the room that
    // appending them one by one would leave it with.
    bool fill(PyObject* list, const Entry* item, const Py_ssize_t count) noexcept
    {
        if (!internals::give_list_room(list, internals::appended_slots(count))) {
            return false;
        }
        auto* items = reinterpret_cast<PyListObject*>(list);
        for (Py_ssize_t k = 0; k < count; ++k, ++item) {
            PyObject* value = scalar(*item).release();
            if (value == nullptr) {
                return false;
            }
            items->ob_item[k] = value;
            Py_SET_SIZE(items, k + 1);
        }
        made_ += slot_bytes * static_cast<std::size_t>(count);
        return true;
    }

    // A value that is no container.
    [[gnu::always_inline]] Ref scalar(const Entry& item) noexcept
    {
        switch (item.tag()) {
        case Tag::string:
            made_ += object_bytes + item.length() * sizeof(Unit);
            return make_string(item);
        case Tag::small_int:
            return small_int(static_cast<long long>(item.payload));
        case Tag::big_int:
            made_ += object_bytes + item.length() / 2;
            return big_int(item);
        case Tag::real: {
            double real;
            std::memcpy(&real, &item.payload, sizeof real);
            made_ += object_bytes;
            return Ref::steal(PyFloat_FromDouble(real));
        }
        case Tag::slow_real:
            made_ += object_bytes;
            return slow_real(item);
        case Tag::true_value:
            return Ref::borrow(Py_True);
        case Tag::false_value:
            return Ref::borrow(Py_False);
        case Tag::null_value:
            return Ref::borrow(Py_None);
        default:
            return {};  // containers, ends and keys are no scalars
        }
    }

    // list.append, taking the reference: into a free slot directly, as the interpreter's
    // own appends do (_PyList_AppendTakeRef); a full list grows through PyList_Append, so
    // its allocation follows the same steps as json.loads's lists.
    static bool append(PyObject* list, Ref value) noexcept
    {
        auto* items = reinterpret_cast<PyListObject*>(list);
        const Py_ssize_t size = Py_SIZE(items);
        if (size < items->allocated) {
            items->ob_item[size] = value.release();
            Py_SET_SIZE(items, size + 1);
            return true;
        }
        return PyList_Append(list, value.get()) == 0;
    }

    // A rough count of the bytes of the objects made so far, which bounds the tape.
    std::size_t made() const noexcept { return made_; }
    void add_made(std::size_t bytes) noexcept { made_ += bytes; }

    // Whether a key is exactly this ASCII text, escapes aside (an escaped key is not).
    bool key_is(const Entry& item, const char* ascii, std::size_t length) const noexcept
    {
        if (item.escaped() || item.length() != length) {
            return false;
        }
        if constexpr (sizeof(Unit) == 1) {
            return std::memcmp(s_ + item.payload, ascii, length) == 0;
        }
        for (std::size_t k = 0; k < length; ++k) {
            if (s_[item.payload + k] != static_cast<unsigned char>(ascii[k])) {
                return false;
            }
        }
        return true;
    }

private:
    // The text between the quotes with its escapes resolved, as the stdlib scanner joins
    // surrogate pairs: a high surrogate escape directly followed by a low one.
    Ref unescaped(const Entry& item) noexcept
    {
        const std::size_t start = static_cast<std::size_t>(item.payload);
        const std::size_t end = start + item.length();
        if (!chars_.reserve(item.length())) {
            PyErr_NoMemory();
            return {};
        }
        chars_.clear();
        for (std::size_t i = start; i < end;) {
            std::uint32_t c = s_[i];
            if (c == '\\') {
                const std::uint32_t e = s_[i + 1];
                if (e == 'u') {
                    c = hex4(i + 2);
                    i += 6;
                    if (c >= 0xd800 && c <= 0xdbff && end - i >= 6 && s_[i] == '\\' && s_[i + 1] == 'u') {
                        const std::uint32_t c2 = hex4(i + 2);
                        if (c2 >= 0xdc00 && c2 <= 0xdfff) {
                            c = 0x10000 + ((c - 0xd800) << 10) + (c2 - 0xdc00);
                            i += 6;
                        }
                    }
                } else {
                    c = e == 'b' ? '\b' : e == 'f' ? '\f' : e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e;
                    i += 2;
                }
            } else if constexpr (S::utf8) {
                if (c >= 0x80) {
                    if (c < 0xe0) {
                        c = ((c & 0x1f) << 6) | (s_[i + 1] & 0x3f);
                        i += 2;
                    } else if (c < 0xf0) {
                        c = ((c & 0x0f) << 12) | ((s_[i + 1] & 0x3f) << 6) | (s_[i + 2] & 0x3f);
                        i += 3;
                    } else {
                        c = ((c & 0x07) << 18) | ((s_[i + 1] & 0x3f) << 12) | ((s_[i + 2] & 0x3f) << 6) |
                            (s_[i + 3] & 0x3f);
                        i += 4;
                    }
                } else {
                    ++i;
                }
            } else {
                ++i;
            }
            chars_.push(c);  // capacity reserved above: the text is never shorter
        }
        return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, chars_.data(),
                                                    static_cast<Py_ssize_t>(chars_.size())));
    }

    std::uint32_t hex4(std::size_t at) const noexcept
    {
        std::uint32_t c = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            c = (c << 4) | static_cast<std::uint32_t>(hex_value(s_[at + k]));
        }
        return c;
    }

    Ref make_string(const Entry& item) noexcept
    {
        if (item.escaped()) {
            return unescaped(item);
        }
        const auto start = static_cast<Py_ssize_t>(item.payload);
        const auto length = static_cast<Py_ssize_t>(item.length());
        if constexpr (S::utf8) {
            return Ref::steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(s_) + start, length, nullptr));
        } else {
            return Ref::steal(PyUnicode_Substring(source_, start, start + length));
        }
    }

    // A new reference to the memo's key object.
    PyObject* make_key(const Entry& item) noexcept
    {
        const void* text = s_ + item.payload;
        const std::size_t bytes = item.length() * sizeof(Unit);
        std::uint64_t hash = 0;
        if (!item.escaped()) {
            hash = KeyCache::hash_of(text, bytes);
            if (PyObject* known = keys_.find(text, bytes, hash)) {
                return Py_NewRef(known);
            }
        }
        if (!memo_) {
            memo_ = Ref::steal(PyDict_New());
            if (!memo_) {
                return nullptr;
            }
        }
        Ref key = make_string(item);
        if (!key) {
            return nullptr;
        }
        PyObject* shared = PyDict_SetDefault(memo_.get(), key.get(), key.get());
        if (shared == nullptr) {
            return nullptr;
        }
        if (!item.escaped()) {
            keys_.add(text, bytes, hash, shared);
        }
        if (shared == key.get()) {
            made_ += object_bytes + bytes + slot_bytes * 3;
        }
        return Py_NewRef(shared);
    }

    // An int as json.loads makes it: one that fits a digit takes the allocation of one
    // digit, as the string conversion gives it, not the interpreter's rounded-up size
    // for such values, so that memory accounting sees the same objects.
    Ref small_int(long long number) noexcept
    {
        if (number <= 256 || number > static_cast<long long>(PyLong_MASK)) {
            if (number < -5 || number > 256) {
                made_ += object_bytes;
            }
            return Ref::steal(PyLong_FromLongLong(number));
        }
        made_ += object_bytes;
        PyLongObject* made = _PyLong_New(1);
        if (made == nullptr) {
            return {};
        }
        made->long_value.ob_digit[0] = static_cast<digit>(number);
        return Ref::steal(reinterpret_cast<PyObject*>(made));
    }

    // A NUL-terminated copy of a number's text, for the interpreter's own conversions.
    const char* number_text(const Entry& item) noexcept
    {
        digits_.clear();
        if (!digits_.reserve(item.length() + 1)) {
            PyErr_NoMemory();
            return nullptr;
        }
        for (std::size_t k = 0; k < item.length(); ++k) {
            digits_.push(static_cast<char>(s_[item.payload + k]));
        }
        digits_.push('\0');
        return digits_.data();
    }

    Ref big_int(const Entry& item) noexcept
    {
        const char* text = number_text(item);
        return text ? Ref::steal(PyLong_FromString(text, nullptr, 10)) : Ref();
    }

    Ref slow_real(const Entry& item) noexcept
    {
        const char* text = number_text(item);
        if (text == nullptr) {
            return {};
        }
        const double value = PyOS_string_to_double(text, nullptr, nullptr);
        if (value == -1.0 && PyErr_Occurred()) {
            return {};
        }
        return Ref::steal(PyFloat_FromDouble(value));
    }

    // An open container and, in a dict, the key whose value comes next. Plain pointers
    // (released by the destructor, for the open frames only): the array is sized for the
    // deepest document, and owning references there would cost a pass over all of it on
    // every decode.
    struct Frame {
        PyObject* container;
        PyObject* key;
    };

    static constexpr std::size_t object_bytes = 32;
    static constexpr std::size_t container_bytes = 64;
    static constexpr std::size_t slot_bytes = 8;

    PyObject* source_ = nullptr;
    const Unit* s_ = nullptr;
    Frame frames_[fixed_max_depth + 1];
    int depth_ = 0;
    std::size_t made_ = 0;
    Ref result_;
    Ref memo_;
    KeyCache keys_;
    RawArray<std::uint32_t> chars_;
    RawArray<char> digits_;
};

}  // namespace vmrt::json
