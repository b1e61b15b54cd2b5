// buffer_format.hpp: the format test of array views.
//
// A buffer's format string must describe exactly one element of the view's
// element type at offset 0; pad bytes may follow (the item-size test of
// array_view.hpp judges them).  Struct groups are read as if their items
// stood in their place.  Each refusal is one exact message.
#pragma once

#include "base.hpp"

#include <cstring>

namespace cadentia {

enum class element_kind : unsigned char {
    unsigned_int, signed_int, real, complex, character, object, pointer
};

// Per element type: how the format test names and matches it, and how an
// exported view reads and writes one element.
struct element_ops {
    const char* name;
    element_kind kind;
    size_t size;
    PyObject* (*get)(const void* p) noexcept;
    int (*set)(void* p, PyObject* value) noexcept;
};

constexpr const char* msg_big_endian = "Big-endian buffer not supported on little-endian compiler";
constexpr const char* msg_bad_char = "Does not understand character buffer dtype format string ('%c')";
constexpr const char* msg_bad_complex = "Unexpected format string character: '%c'";
constexpr const char* msg_brace_after_t = "Buffer acquisition: Expected '{' after 'T'";
constexpr const char* msg_standard_long_double =
    "Python does not define a standard format string size for long double ('g')..";
constexpr const char* msg_dtype_mismatch = "Buffer dtype mismatch, expected %s%s%s but got %s";
constexpr const char* msg_field_offset =
    "Buffer dtype mismatch; next field is at offset %zd but %zd expected";
constexpr const char* msg_subarray_dims = "Expected %d dimension(s), got %d";
constexpr const char* msg_expected_comma = "Expected a comma in format string, got '%c'";
constexpr const char* msg_open_subarray = "Unexpected end of format string, expected ')'";
constexpr const char* msg_repeated_subarray = "Cannot handle repeated arrays in format string";
constexpr const char* msg_trailing_subarray = "Buffer dtype mismatch, expected end but got a sub-array";

struct format_element {
    element_kind kind;
    size_t size;
    size_t align;
    const char* description;
};

[[gnu::cold, gnu::noinline]] static bool format_error(const char* message) noexcept {
    PyErr_SetString(PyExc_ValueError, message);
    return false;
}

[[gnu::cold, gnu::noinline]] static bool format_error_char(const char* message, char c) noexcept {
    PyErr_Format(PyExc_ValueError, message, static_cast<int>(static_cast<unsigned char>(c)));
    return false;
}

[[gnu::cold, gnu::noinline]] static bool dtype_mismatch(const char* expected, bool quoted,
                                                        const char* got) noexcept {
    const char* quote = quoted ? "'" : "";
    PyErr_Format(PyExc_ValueError, msg_dtype_mismatch, quote, expected, quote, got);
    return false;
}

static bool is_element_char(char c) noexcept {
    return c != '\0' && std::strchr("?BHILQbhilqspcfdgOP", c) != nullptr;
}

// Sizes under `@` and `^` are this platform's own; under `=` the standard
// ones, where `l`/`L` are 4 bytes and `g` has none.
static bool describe_element(char c, bool complex, bool standard, format_element& e) noexcept {
    using k = element_kind;
    switch (c) {
        case '?': e = {k::unsigned_int, 1, 1, "'bool'"}; break;
        case 'B': e = {k::unsigned_int, 1, 1, "'unsigned char'"}; break;
        case 'H': e = {k::unsigned_int, 2, 2, "'unsigned short'"}; break;
        case 'I': e = {k::unsigned_int, 4, 4, "'unsigned int'"}; break;
        case 'L':
            e = {k::unsigned_int, standard ? 4 : sizeof(unsigned long), alignof(unsigned long),
                 "'unsigned long'"};
            break;
        case 'Q': e = {k::unsigned_int, 8, alignof(unsigned long long), "'unsigned long long'"}; break;
        case 'b': e = {k::signed_int, 1, 1, "'signed char'"}; break;
        case 'h': e = {k::signed_int, 2, 2, "'short'"}; break;
        case 'i': e = {k::signed_int, 4, 4, "'int'"}; break;
        case 'l': e = {k::signed_int, standard ? 4 : sizeof(long), alignof(long), "'long'"}; break;
        case 'q': e = {k::signed_int, 8, alignof(long long), "'long long'"}; break;
        case 's':
        case 'p': e = {k::signed_int, 1, 1, "a string"}; break;
        case 'c': e = {k::character, 1, 1, "'char'"}; break;
        case 'f':
            e = complex ? format_element{k::complex, 8, 4, "'complex float'"}
                        : format_element{k::real, 4, 4, "'float'"};
            break;
        case 'd':
            e = complex ? format_element{k::complex, 16, alignof(double), "'complex double'"}
                        : format_element{k::real, 8, alignof(double), "'double'"};
            break;
        case 'g':
            if (standard) return format_error(msg_standard_long_double);
            e = complex ? format_element{k::complex, 2 * sizeof(long double), alignof(long double),
                                         "'complex long double'"}
                        : format_element{k::real, sizeof(long double), alignof(long double),
                                         "'long double'"};
            break;
        case 'O': e = {k::object, sizeof(PyObject*), alignof(PyObject*), "Python object"}; break;
        default: e = {k::pointer, sizeof(void*), alignof(void*), "a pointer"}; break;  // 'P'
    }
    return true;
}

static Py_ssize_t saturating_add(Py_ssize_t a, Py_ssize_t b) noexcept {
    return a > PY_SSIZE_T_MAX - b ? PY_SSIZE_T_MAX : a + b;
}

static Py_ssize_t saturating_mul(Py_ssize_t a, Py_ssize_t b) noexcept {
    return b != 0 && a > PY_SSIZE_T_MAX / b ? PY_SSIZE_T_MAX : a * b;
}

static Py_ssize_t read_count(const char*& p) noexcept {
    Py_ssize_t n = 0;
    while (*p >= '0' && *p <= '9') {
        n = saturating_add(saturating_mul(n, 10), *p - '0');
        ++p;
    }
    return n;
}

// The end of the struct group whose body starts at `p` (just after its `{`).
static const char* skip_group(const char* p) noexcept {
    int depth = 1;
    while (*p) {
        char c = *p++;
        if (c == ':') {
            const char* close = std::strchr(p, ':');
            p = close ? close + 1 : p + std::strlen(p);
        } else if (c == '{') {
            ++depth;
        } else if (c == '}' && --depth == 0) {
            return p;
        }
    }
    return p;
}

struct format_reader {
    const element_ops* want;
    bool standard = false;  // `=` in force (else native, with `@` aligning)
    bool aligned = true;
    Py_ssize_t offset = 0;
    bool matched = false;
    bool pending_subarray = false;  // a shape read after the matched element
    Py_ssize_t elements_seen = 0;

    bool element(const format_element& e, Py_ssize_t count) noexcept {
        if (count == 0) return true;
        ++elements_seen;
        if (matched) return dtype_mismatch("end", false, e.description);
        if (aligned && e.align > 1) {
            Py_ssize_t a = static_cast<Py_ssize_t>(e.align);
            offset = saturating_mul(saturating_add(offset, a - 1) / a, a);
        }
        bool kind_ok = e.kind == want->kind || e.kind == element_kind::character;
        if (!kind_ok || e.size != want->size) return dtype_mismatch(want->name, true, e.description);
        if (offset != 0) {
            PyErr_Format(PyExc_ValueError, msg_field_offset, offset, Py_ssize_t{0});
            return false;
        }
        matched = true;
        offset = saturating_add(offset, static_cast<Py_ssize_t>(e.size));
        // A repeat count above 1 is a second element right after the first.
        if (count > 1) return dtype_mismatch("end", false, e.description);
        return true;
    }

    // Reads a sub-array shape; `p` is just after its `(`.
    bool subarray(const char*& p) noexcept {
        int dims = 0;
        for (;;) {
            if (*p == '\0') return format_error(msg_open_subarray);
            if (*p < '0' || *p > '9') return format_error_char(msg_bad_char, *p);
            read_count(p);
            ++dims;
            if (*p == ')') {
                ++p;
                break;
            }
            if (*p == '\0') return format_error(msg_open_subarray);
            if (*p != ',') return format_error_char(msg_expected_comma, *p);
            ++p;
        }
        if (!matched) {
            PyErr_Format(PyExc_ValueError, msg_subarray_dims, 0, dims);
            return false;
        }
        pending_subarray = true;
        return true;
    }

    bool group(const char*& p, Py_ssize_t count) noexcept {
        const char* body = p;
        if (count == 0) {
            p = skip_group(body);
            return true;
        }
        for (Py_ssize_t done = 0; done < count;) {
            const char* q = body;
            Py_ssize_t before = offset;
            Py_ssize_t seen = elements_seen;
            if (!items(q, true)) return false;
            p = q;
            ++done;
            // A second pass without elements means every further pass only
            // moves the offset by the same amount.
            if (done >= 2 && elements_seen == seen) {
                offset = saturating_add(offset, saturating_mul(offset - before, count - done));
                break;
            }
        }
        return true;
    }

    bool items(const char*& p, bool in_group) noexcept {
        Py_ssize_t count = 1;
        bool counted = false;
        for (;;) {
            char c = *p;
            switch (c) {
                case '\0':  // also ends a group left open
                    return true;
                case '}':
                    if (!in_group) return format_error_char(msg_bad_char, c);
                    ++p;
                    return true;
                case ' ':
                case '\r':
                case '\n':
                    ++p;
                    continue;
                case '@':
                case '^':
                case '=':
                case '<':
                    standard = c == '=' || c == '<';
                    aligned = c == '@';
                    ++p;
                    continue;
                case '>':
                case '!':
                    return format_error(msg_big_endian);
                case ':': {
                    const char* close = std::strchr(p + 1, ':');
                    p = close ? close + 1 : p + std::strlen(p);
                    continue;
                }
                case 'x':
                    offset = saturating_add(offset, count);
                    ++p;
                    break;
                case 'T':
                    if (p[1] != '{') return format_error(msg_brace_after_t);
                    p += 2;
                    if (!group(p, count)) return false;
                    break;
                case '(':
                    if ((counted && count != 1) || pending_subarray)
                        return format_error(msg_repeated_subarray);
                    ++p;
                    if (!subarray(p)) return false;
                    continue;
                case 'Z': {
                    char next = p[1];
                    if (next != 'f' && next != 'd' && next != 'g')
                        return format_error_char(msg_bad_complex, 'Z');
                    format_element e;
                    if (!describe_element(next, true, standard, e) || !element(e, count)) return false;
                    p += 2;
                    break;
                }
                default: {
                    if (c >= '0' && c <= '9') {
                        count = read_count(p);
                        counted = true;
                        continue;
                    }
                    if (!is_element_char(c)) return format_error_char(msg_bad_char, c);
                    format_element e;
                    if (!describe_element(c, false, standard, e) || !element(e, count)) return false;
                    ++p;
                    break;
                }
            }
            // An item was read: the repeat count and any shape were its own.
            count = 1;
            counted = false;
        }
    }

    bool finish() noexcept {
        if (!matched) return dtype_mismatch(want->name, true, "end");
        if (pending_subarray) return format_error(msg_trailing_subarray);
        return true;
    }
};

static bool format_test(const char* format, const element_ops& want) noexcept {
    format_reader reader{&want};
    const char* p = format ? format : "B";  // the buffer protocol's default
    return reader.items(p, false) && reader.finish();
}

}  // namespace cadentia
