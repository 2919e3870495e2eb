// The document between the parser and the builder: the tape's entries, the source kinds
// they are read from, and the storage that needs no interpreter lock.
#pragma once

#include "traced_blocks.h"
#include "../json.hpp"

#include <cstdint>
#include <cstring>
#include <sys/mman.h>
#include <type_traits>
#include <utility>

namespace vmrt::json {

// A growable array of trivially copyable items on the raw allocator, which needs no lock
// and reports failure instead of throwing.
template <class T>
class RawArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    RawArray() noexcept = default;
    RawArray(const RawArray&) = delete;
    RawArray& operator=(const RawArray&) = delete;
    ~RawArray() { PyMem_RawFree(items_); }

    bool reserve(std::size_t capacity) noexcept
    {
        if (capacity <= capacity_) {
            return true;
        }
        if (capacity > PY_SSIZE_T_MAX / sizeof(T)) {
            return false;
        }
        void* grown = PyMem_RawRealloc(items_, capacity * sizeof(T));
        if (grown == nullptr) {
            return false;
        }
        items_ = static_cast<T*>(grown);
        capacity_ = capacity;
        return true;
    }
    bool push(const T& item) noexcept
    {
        if (size_ == capacity_ && !reserve(capacity_ < 64 ? 64 : capacity_ * 2)) {
            return false;
        }
        items_[size_++] = item;
        return true;
    }
    T* data() noexcept { return items_; }
    const T* data() const noexcept { return items_; }
    std::size_t size() const noexcept { return size_; }
    void clear() noexcept { size_ = 0; }
    void release() noexcept
    {
        PyMem_RawFree(std::exchange(items_, nullptr));
        size_ = capacity_ = 0;
    }

private:
    T* items_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// ---- the tape: the document, validated, in a compact form ---------------------------

enum class Tag : std::uint8_t {
    object,       // opens a dict
    array,        // opens a list
    end,          // closes the innermost container
    key,          // a dict key: offset and length in the source
    string,       // a string value: offset and length in the source
    small_int,    // payload: the value
    big_int,      // at most the digit limit's minimum; offset and length
    real,         // payload: the double's bits
    slow_real,    // out of range for the lock-free conversion; offset and length
    true_value,
    false_value,
    null_value,
};

// The fields are `unsigned long long`, a type distinct from the parser's `size_t`
// positions, so that the compiler need not assume a new entry overwrote them.
struct Entry {
    unsigned long long head;     // tag, escape flag, length
    unsigned long long payload;  // offset, value or bits

    Tag tag() const noexcept { return static_cast<Tag>(head & 0xff); }
    bool escaped() const noexcept { return (head >> 8) & 1; }
    std::size_t length() const noexcept { return static_cast<std::size_t>(head >> 16); }
};

inline Entry entry(Tag tag, unsigned long long payload = 0, std::size_t length = 0, bool escaped = false) noexcept
{
    return {static_cast<unsigned long long>(tag) | (static_cast<unsigned long long>(escaped) << 8) |
                (static_cast<unsigned long long>(length) << 16),
            payload};
}

enum class Outcome { ok, more, fallback, no_memory };

// The interpreter's smallest settable limit on integer string digits; longer runs go to
// json.loads, which applies whatever limit is in force.
constexpr std::size_t max_int_digits = 640;
// Nesting beyond this goes to json.loads, whatever the recursion budget.
constexpr int fixed_max_depth = 500;

// Source text: the code units of a str of one kind, or the bytes of UTF-8.
template <class Unit, bool Utf8>
struct Source {
    using unit = Unit;
    static constexpr bool utf8 = Utf8;
};
using Latin1Source = Source<Py_UCS1, false>;
using Ucs2Source = Source<Py_UCS2, false>;
using Ucs4Source = Source<Py_UCS4, false>;
using Utf8Source = Source<unsigned char, true>;

inline int hex_value(std::uint32_t c) noexcept
{
    if (c >= '0' && c <= '9') {
        return static_cast<int>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<int>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<int>(c - 'A' + 10);
    }
    return -1;
}

// The tape holds a part of the document at a time, sized to a fraction of what has been
// built so far: the working memory stays a small part of the result's own, whatever the
// document's shape (a long run of one repeated key builds almost nothing).
constexpr std::size_t min_chunk_entries = 64;
constexpr std::size_t max_chunk_entries = 64 * 1024;
constexpr std::size_t tape_fraction = 16;  // the tape's bytes are at most 1/16 of those built
// Parts at least this long of answers of at least json_unlocked_parse_bytes are parsed
// with the interpreter lock released; shorter ones cost more to hand over than to parse.
constexpr std::size_t unlocked_chunk_entries = 512;

// The part of the document between the parser and the builder. The first entries are
// part of the fixed state, which covers small answers; more come from the raw allocator,
// and large parts straight from the system.
class Tape {
public:
    Tape() noexcept = default;
    Tape(const Tape&) = delete;
    Tape& operator=(const Tape&) = delete;
    ~Tape() { release(); }

    bool reserve(std::size_t capacity) noexcept
    {
        if (capacity <= capacity_) {
            return true;
        }
        if (capacity > 0xffffffffu) {
            return false;
        }
        const std::size_t bytes = capacity * sizeof(Entry);
        void* grown;
        if (bytes >= mapped_bytes) {
            grown = grow_mapped(bytes);
        } else {
            grown = items_ == fixed_ ? PyMem_RawMalloc(bytes) : PyMem_RawRealloc(items_, bytes);
            if (grown != nullptr && items_ == fixed_) {
                std::memcpy(grown, fixed_, size_ * sizeof(Entry));
            }
        }
        if (grown == nullptr) {
            return false;
        }
        items_ = static_cast<Entry*>(grown);
        capacity_ = static_cast<std::uint32_t>(capacity);
        return true;
    }
    [[gnu::always_inline]] bool push(const Entry& item) noexcept
    {
        if (size_ == capacity_ && !reserve(capacity_ * 2)) [[unlikely]] {
            return false;
        }
        items_[size_++] = item;
        return true;
    }
    const Entry* data() const noexcept { return items_; }
    std::size_t size() const noexcept { return size_; }
    void clear() noexcept { size_ = 0; }
    void release() noexcept
    {
        if (mapped()) {
            vmrt_untrace_block(reinterpret_cast<std::uintptr_t>(items_));
            munmap(items_, capacity_ * sizeof(Entry));
        } else if (items_ != fixed_) {
            PyMem_RawFree(items_);
        }
        items_ = fixed_;
        size_ = 0;
        capacity_ = fixed_entries;
    }

private:
    // Large parts are mapped straight from the system. On the heap they would sit beside
    // the list being built, which then can no longer grow in place and is copied whole,
    // both copies resident at once. Tracked for tracemalloc as the raw allocator would be.
    static constexpr std::size_t mapped_bytes = 64 * 1024;

    bool mapped() const noexcept { return capacity_ * sizeof(Entry) >= mapped_bytes; }
    void* grow_mapped(std::size_t bytes) noexcept
    {
        const bool was_mapped = mapped();
        void* grown = was_mapped ? mremap(items_, capacity_ * sizeof(Entry), bytes, MREMAP_MAYMOVE)
                                 : mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (grown == MAP_FAILED) {
            return nullptr;
        }
        if (was_mapped) {
            vmrt_untrace_block(reinterpret_cast<std::uintptr_t>(items_));
        } else {
            std::memcpy(grown, items_, size_ * sizeof(Entry));
            if (items_ != fixed_) {
                PyMem_RawFree(items_);
            }
        }
        if (vmrt_trace_block(reinterpret_cast<std::uintptr_t>(grown), bytes) == -1) {
            // As the raw allocator under tracemalloc: a block that cannot be traced is not given.
            items_ = static_cast<Entry*>(grown);
            capacity_ = static_cast<std::uint32_t>(bytes / sizeof(Entry));
            release();
            return nullptr;
        }
        return grown;
    }

    static constexpr std::uint32_t fixed_entries = min_chunk_entries + 2;
    Entry fixed_[fixed_entries];
    Entry* items_ = fixed_;
    // Counts of a type other than the parser's positions, which a write here then
    // cannot be taken to change; a part is far shorter than 2**32 entries.
    std::uint32_t size_ = 0;
    std::uint32_t capacity_ = fixed_entries;
};

}  // namespace vmrt::json
