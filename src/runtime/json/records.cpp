// Records straight from the tape, without the dicts that no one else would see.
#include "decoding.hpp"

namespace vmrt::json {

template <class S>
typename Decoding<S>::Walk Decoding<S>::records(const RecordRequest& request, Ref& out) noexcept
{
    const auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(request.field_names));
    if (count > max_record_fields || !request.allows(request.context)) {
        return Walk::general;
    }
    const bool single = request.list_key == nullptr;
    const char* field_keys[max_record_fields];
    std::size_t field_lengths[max_record_fields];
    for (std::size_t f = 0; f < count; ++f) {
        PyObject* name = PyTuple_GET_ITEM(request.field_names, f);
        if (!PyUnicode_IS_COMPACT_ASCII(name)) {
            return Walk::general;
        }
        field_keys[f] = static_cast<const char*>(PyUnicode_DATA(name));
        field_lengths[f] = static_cast<std::size_t>(PyUnicode_GET_LENGTH(name));
    }
    const std::size_t list_key_length = single ? 0 : std::strlen(request.list_key);
    enum class At { start, top_key, list, element, field_key, field_value, skip, done };
    At at = At::start;
    At after_skip = At::start;
    std::size_t skip_depth = 0;
    std::size_t field = 0;
    Ref fields[max_record_fields];
    Ref results;  // the records of the last array under the list key
    for (;;) {
        const Outcome outcome = next();
        if (outcome == Outcome::no_memory) {
            return Walk::error;
        }
        if (outcome == Outcome::fallback) {
            return Walk::fallback;
        }
        // Other threads ran meanwhile: the record class may have changed.
        if (released_ && !request.allows(request.context)) {
            return Walk::general;
        }
        const Entry* item = tape_.data();
        const Entry* const last = item + tape_.size();
        while (item != last) {
            switch (at) {
            case At::start:
                if (item->tag() != Tag::object) {
                    return Walk::general;
                }
                ++item;
                at = single ? At::field_key : At::top_key;
                break;
            case At::top_key:
                if (item->tag() == Tag::end) {
                    ++item;
                    at = At::done;
                    break;
                }
                // An escaped key might name the list too; a dict keeps the last one.
                if (item->escaped()) {
                    return Walk::general;
                }
                if (builder_.key_is(*item, request.list_key, list_key_length)) {
                    at = At::list;
                } else {
                    at = At::skip;
                    after_skip = At::top_key;
                }
                ++item;
                break;
            case At::list:
                if (item->tag() != Tag::array) {
                    return Walk::general;
                }
                results = Ref::steal(PyList_New(0));
                if (!results) {
                    return Walk::error;
                }
                ++item;
                at = At::element;
                break;
            case At::element:
                if (item->tag() == Tag::end) {
                    ++item;
                    at = At::top_key;
                    break;
                }
                if (item->tag() != Tag::object) {
                    return Walk::general;
                }
                ++item;
                at = At::field_key;
                break;
            case At::field_key: {
                if (item->tag() != Tag::end) {
                    if (item->escaped()) {
                        return Walk::general;
                    }
                    field = count;
                    for (std::size_t f = 0; f < count; ++f) {
                        if (builder_.key_is(*item, field_keys[f], field_lengths[f])) {
                            field = f;
                            break;
                        }
                    }
                    at = field < count ? At::field_value : At::skip;
                    after_skip = At::field_key;
                    ++item;
                    break;
                }
                ++item;
                PyObject* objects[max_record_fields];
                for (std::size_t f = 0; f < count; ++f) {
                    if (!fields[f] && f < request.required) {
                        return Walk::general;
                    }
                    objects[f] = fields[f] ? fields[f].get() : Py_None;
                }
                Ref record = request.make(request.context, objects);
                for (Ref& value : fields) {
                    value.reset();
                }
                if (!record) {
                    return Walk::error;
                }
                builder_.add_made(record_bytes);
                if (single) {
                    results = std::move(record);
                    at = At::done;
                } else {
                    if (PyList_Append(results.get(), record.get()) < 0) {
                        return Walk::error;
                    }
                    at = At::element;
                }
                break;
            }
            case At::field_value: {
                const auto fed = builder_.feed(item, last);
                if (fed == Builder<S>::Fed::error) {
                    return Walk::error;
                }
                if (fed == Builder<S>::Fed::value) {
                    fields[field] = builder_.take();  // the last one, as a dict keeps it
                    at = At::field_key;
                }
                break;
            }
            case At::skip: {
                const Tag tag = item->tag();
                ++item;
                if (tag == Tag::object || tag == Tag::array) {
                    ++skip_depth;
                } else if (tag == Tag::end) {
                    --skip_depth;
                }
                if (skip_depth == 0) {
                    at = after_skip;
                }
                break;
            }
            case At::done:
                ++item;  // nothing follows the document's end
                break;
            }
        }
        if (outcome == Outcome::ok) {
            if (at != At::done || !results) {
                return Walk::general;
            }
            out = std::move(results);
            return Walk::made;
        }
    }
}

template Decoding<Latin1Source>::Walk Decoding<Latin1Source>::records(const RecordRequest&, Ref&) noexcept;
template Decoding<Ucs2Source>::Walk Decoding<Ucs2Source>::records(const RecordRequest&, Ref&) noexcept;
template Decoding<Ucs4Source>::Walk Decoding<Ucs4Source>::records(const RecordRequest&, Ref&) noexcept;
template Decoding<Utf8Source>::Walk Decoding<Utf8Source>::records(const RecordRequest&, Ref&) noexcept;

}  // namespace vmrt::json
