// Code-point access to a Python str, for the hand-written text rules of this module: they must
// agree with Python's own string methods and regular expressions on every input, so they work
// on code points, not on an encoding.
#pragma once

#include <utility>

#include "runtime/errors.h"
#include "runtime/python.h"

namespace quenlet::repo_finder {

class Text {
  public:
    // `str` must be a str and outlive the view.
    explicit Text(nb::handle str) noexcept
        : str_(str),
          kind_(PyUnicode_KIND(str.ptr())),
          data_(PyUnicode_DATA(str.ptr())),
          size_(PyUnicode_GET_LENGTH(str.ptr())) {}

    Py_ssize_t size() const noexcept { return size_; }
    Py_UCS4 operator[](Py_ssize_t index) const noexcept {
        return PyUnicode_READ(kind_, data_, index);
    }

    // Position of the first `needle` in [from, to), or `to`.
    Py_ssize_t find(Py_UCS4 needle, Py_ssize_t from, Py_ssize_t to) const noexcept {
        while (from < to && (*this)[from] != needle) ++from;
        return from;
    }

    // [start, end) without leading and trailing whitespace, as str.strip() sees whitespace.
    std::pair<Py_ssize_t, Py_ssize_t> strip(Py_ssize_t start, Py_ssize_t end) const noexcept {
        while (start < end && Py_UNICODE_ISSPACE((*this)[start])) ++start;
        while (end > start && Py_UNICODE_ISSPACE((*this)[end - 1])) --end;
        return {start, end};
    }

    nb::object slice(Py_ssize_t start, Py_ssize_t end) const {
        return rt::steal_or_throw(PyUnicode_Substring(str_.ptr(), start, end));
    }
    nb::object slice(std::pair<Py_ssize_t, Py_ssize_t> range) const {
        return slice(range.first, range.second);
    }

  private:
    nb::handle str_;
    int kind_;
    const void* data_;
    Py_ssize_t size_;
};

}  // namespace quenlet::repo_finder
