// One document being decoded: the parser and the builder taking turns over the tape.
#pragma once

#include "build.hpp"
#include "parse.hpp"
#include "../observed.hpp"

namespace vmrt::json {

constexpr std::size_t max_record_fields = 8;

// One document being decoded: the parser and the builder take turns over the tape.
template <class S>
class Decoding {
    using Unit = typename S::unit;

public:
    void start(PyObject* source, const Unit* text, std::size_t length, int max_depth) noexcept
    {
        source_ = source;
        parser_.start(text, length, max_depth);
        builder_.start(source, text);
        unlocked_ = length * sizeof(Unit) >= json_unlocked_parse_bytes;
        released_ = false;
    }
    // Drops whatever the document left behind; only the fixed-size state stays.
    void finish() noexcept
    {
        parser_.finish();
        builder_.finish();
        tape_.release();
    }

    // The whole document, built: empty with no error set when it must go to json.loads.
    Ref build() noexcept
    {
        for (;;) {
            const Outcome outcome = next();
            if (outcome == Outcome::fallback || outcome == Outcome::no_memory) {
                return {};
            }
            const Entry* item = tape_.data();
            const Entry* const last = item + tape_.size();
            while (item != last) {
                if (builder_.feed(item, last) == Builder<S>::Fed::error) {
                    return {};
                }
            }
            if (outcome == Outcome::ok) {
                return builder_.take();
            }
        }
    }

    enum class Walk { made, error, fallback, general };

    // The records of `request` straight from the document, without the dicts that no one
    // else would see. `general` when the document is not of the usual shape, or the
    // records could not be made without running Python code: then nothing made here
    // counts, and the document is built as json.loads builds it.
    Walk records(const RecordRequest& request, Ref& out) noexcept;  // in records.cpp

private:
    // The next part of the document on the tape.
    Outcome next() noexcept
    {
        tape_.clear();
        std::size_t limit = builder_.made() / (tape_fraction * sizeof(Entry));
        limit = limit < min_chunk_entries ? min_chunk_entries : limit > max_chunk_entries ? max_chunk_entries : limit;
        Outcome outcome;
        released_ = unlocked_ && limit >= unlocked_chunk_entries;
        if (released_) {
            Py_BEGIN_ALLOW_THREADS
            outcome = parser_.run(tape_, limit);
            Py_END_ALLOW_THREADS
        } else {
            outcome = parser_.run(tape_, limit);
        }
        if (outcome == Outcome::no_memory) {
            PyErr_NoMemory();
            return outcome;
        }
        // A signal that arrived, or, after the lock was released, a tracer, a profiler,
        // monitoring or a changed json module, is for json.loads itself to meet.
        if (outcome != Outcome::fallback && !json_decode_still_unobserved(source_, released_)) {
            return Outcome::fallback;
        }
        return outcome;
    }

    static constexpr std::size_t record_bytes = 160;

    Parser<S> parser_;
    Builder<S> builder_;
    Tape tape_;
    PyObject* source_ = nullptr;  // the document's str or bytes, which the caller holds
    bool unlocked_ = false;
    bool released_ = false;
};

}  // namespace vmrt::json
