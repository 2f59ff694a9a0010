// validate_package_spec runs before every install and the host calls it on every keystroke of
// a package field, so it is a hand-written matcher over the string's code points: one pass
// finds the forbidden characters and runs the pattern's automaton, and every possible answer
// is a tuple built once at import.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "manager/manager.h"
#include "runtime/arguments.h"
#include "runtime/module_state.h"

namespace quenlet::manager {

namespace {

constexpr Py_ssize_t max_length = 256;

// Searched in this order; the first of them that occurs anywhere is the one reported.
constexpr std::array<char, 13> forbidden = {';', '|', '&', '$', '`',  '(', ')',
                                            '{', '}', '<', '>', '\n', '\r'};

// pip installs from a local file, not from the index, when its argument (less a trailing
// "[extras]") ends in one of these extensions, in any case: its own list of archive extensions.
// A spec that the pattern accepts is refused when it, or its name, ends in one of them; the
// name too because, for pip, "pkg.zip" is then either a file or a project that is also
// reachable as "pkg-zip". At most one of them ends any text.
constexpr std::array<std::string_view, 12> archive_suffixes = {
    ".zip", ".whl",    ".tar.bz2", ".tbz", ".tar.gz", ".tgz",
    ".tar", ".tar.xz", ".txz",     ".tlz", ".tar.lz", ".tar.lzma"};

// The automaton of VALID_PACKAGE_PATTERN:
//   ^[a-zA-Z0-9][a-zA-Z0-9._-]*(\[[a-zA-Z0-9,._-]+\])?(==|>=|<=|>|<|!=|~=)?[a-zA-Z0-9._-]*$
// Each part is deterministic (no character can both continue a part and start the next), so
// no backtracking is needed. `$` would also accept a trailing line feed, but a line feed is a
// forbidden character and never reaches the pattern.
enum CharClass : std::uint8_t {
    other,
    alnum,
    punct,  // . _ -
    comma,
    open_bracket,
    close_bracket,
    equals,
    angle,      // < >
    bang_tilde  // ! ~ (only as the first half of != and ~=)
};

enum State : std::uint8_t {
    fail,
    start,
    name,
    extras_open,
    extras,
    after_extras,
    operator_needs_equals,
    operator_angle,
    version,
};

struct Tables {
    std::array<CharClass, 128> classes{};
    std::array<std::uint16_t, 128> forbidden_bits{};
    // The archive suffixes that end in a character: the one test most accepted specs need.
    std::array<std::uint16_t, 128> suffixes_ending_in{};
};

constexpr Tables make_tables() {
    Tables t;
    for (int c = 0; c < 128; ++c) {
        bool is_alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        t.classes[c] = is_alnum                             ? alnum
                       : (c == '.' || c == '_' || c == '-') ? punct
                       : c == ','                           ? comma
                       : c == '['                           ? open_bracket
                       : c == ']'                           ? close_bracket
                       : c == '='                           ? equals
                       : (c == '<' || c == '>')             ? angle
                       : (c == '!' || c == '~')             ? bang_tilde
                                                            : other;
    }
    for (std::size_t i = 0; i < forbidden.size(); ++i) {
        t.forbidden_bits[static_cast<unsigned char>(forbidden[i])] =
            static_cast<std::uint16_t>(1u << i);
    }
    for (std::size_t i = 0; i < archive_suffixes.size(); ++i) {
        unsigned char last = static_cast<unsigned char>(archive_suffixes[i].back());
        t.suffixes_ending_in[last] |= static_cast<std::uint16_t>(1u << i);
        if (last >= 'a' && last <= 'z') t.suffixes_ending_in[last - 'a' + 'A'] |= 1u << i;
    }
    return t;
}

constexpr Tables tables = make_tables();

State step(State state, CharClass c) {
    bool name_char = c == alnum || c == punct;
    switch (state) {
        case start:
            return c == alnum ? name : fail;
        case name:
            if (name_char) return name;
            if (c == open_bracket) return extras_open;
            break;  // an operator may start here
        case extras_open:
            return name_char || c == comma ? extras : fail;
        case extras:
            if (name_char || c == comma) return extras;
            return c == close_bracket ? after_extras : fail;
        case after_extras:
            if (name_char) return version;
            break;  // an operator may start here
        case operator_needs_equals:
            return c == equals ? version : fail;
        case operator_angle:
            return name_char || c == equals ? version : fail;
        case version:
            return name_char ? version : fail;
        case fail:
            return fail;
    }
    if (c == equals || c == bang_tilde) return operator_needs_equals;
    return c == angle ? operator_angle : fail;
}

bool accepting(State state) {
    return state == name || state == after_extras || state == operator_angle || state == version;
}

struct Scan {
    std::uint16_t forbidden_found = 0;
    State state = start;
    // Where the name ends: the name is the run of characters that keeps the automaton in `name`.
    Py_ssize_t name_length = 0;
};

template <class Char>
Scan scan(const Char* chars, Py_ssize_t length) {
    Scan result;
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = chars[i];
        if (c < 128) {
            result.forbidden_found |= tables.forbidden_bits[c];
            result.state = step(result.state, tables.classes[c]);
            result.name_length += result.state == name;
        } else {
            result.state = fail;
        }
    }
    return result;
}

// The archive suffix that chars[0, end) ends in, or -1. The characters are those the pattern
// accepted (ASCII letters, digits and ". _ - [ ] , = ! ~"), so setting 0x20 folds a letter to
// lower case and turns nothing else into a suffix character ('_' becomes DEL).
int archive_suffix(const Py_UCS1* chars, Py_ssize_t end) {
    if (end == 0) return -1;
    unsigned candidates = tables.suffixes_ending_in[chars[end - 1]];
    while (candidates != 0) {
        int index = __builtin_ctz(candidates);
        candidates &= candidates - 1;
        std::string_view suffix = archive_suffixes[index];
        auto size = static_cast<Py_ssize_t>(suffix.size());
        if (size > end) continue;
        const Py_UCS1* tail = chars + end - size;
        Py_ssize_t i = 0;
        while (i < size && (tail[i] | 0x20) == static_cast<unsigned char>(suffix[i])) ++i;
        if (i == size) return index;
    }
    return -1;
}

// Every answer the function can give, built once and kept in the module's state.
struct Results {
    nb::handle valid, empty, too_long, invalid_format;
    std::array<nb::handle, forbidden.size()> invalid_character;
    std::array<nb::handle, archive_suffixes.size()> archive_file;
};

Results results;

nb::handle result(bool valid, std::string_view message) {
    return rt::keep(nb::make_tuple(nb::bool_(valid), nb::str(message.data(), message.size())));
}

}  // namespace

void init_validation() {
    results.valid = result(true, "");
    results.empty = result(false, "Package spec cannot be empty");
    results.too_long = result(false, "Package spec too long (max 256 characters)");
    results.invalid_format = result(false, "Package spec contains invalid format");
    for (std::size_t i = 0; i < forbidden.size(); ++i) {
        std::string message = "Package spec contains invalid character: ";
        results.invalid_character[i] = result(false, message + forbidden[i]);
    }
    for (std::size_t i = 0; i < archive_suffixes.size(); ++i) {
        std::string message = "Package spec looks like an archive file: ";
        results.archive_file[i] = result(false, message.append(archive_suffixes[i]));
    }
}

nb::object validate_package_spec(nb::handle package_spec) {
    rt::require_str(package_spec, "package_spec");
    PyObject* text = package_spec.ptr();
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length == 0) return nb::borrow(results.empty);
    if (length > max_length) return nb::borrow(results.too_long);
    const void* data = PyUnicode_DATA(text);
    const int kind = PyUnicode_KIND(text);
    const Scan found =
        kind == PyUnicode_1BYTE_KIND   ? scan(static_cast<const Py_UCS1*>(data), length)
        : kind == PyUnicode_2BYTE_KIND ? scan(static_cast<const Py_UCS2*>(data), length)
                                       : scan(static_cast<const Py_UCS4*>(data), length);
    if (found.forbidden_found != 0) {
        return nb::borrow(results.invalid_character[__builtin_ctz(found.forbidden_found)]);
    }
    if (!accepting(found.state)) return nb::borrow(results.invalid_format);
    // The pattern accepts ASCII only, which the interpreter stores one byte per character.
    const auto* chars = static_cast<const Py_UCS1*>(data);
    int suffix = archive_suffix(chars, length);
    if (suffix < 0 && found.name_length < length) suffix = archive_suffix(chars, found.name_length);
    return nb::borrow(suffix < 0 ? results.valid : results.archive_file[suffix]);
}

}  // namespace quenlet::manager
