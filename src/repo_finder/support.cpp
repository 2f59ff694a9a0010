#include "repo_finder/repo_finder.h"
#include "runtime/text.h"

namespace quenlet::repo_finder {

void Method::remember(Class& cls) {
    bound_ = nb::object(cls.attr(name())).release().ptr();
}

rt::Task Method::awaiting(nb::object awaitable) {
    co_return co_await rt::awaited(std::move(awaitable));
}

nb::object get_or(nb::handle mapping, nb::handle key, nb::handle fallback) {
    if (PyDict_CheckExact(mapping.ptr())) {
        nb::object found = rt::dict_item(mapping, key);
        return found.is_valid() ? found : nb::borrow(fallback);
    }
    static const Interned get("get");
    PyObject* args[] = {mapping.ptr(), key.ptr(), fallback.ptr()};
    return rt::steal_or_throw(PyObject_VectorcallMethod(get.get().ptr(), args, 3, nullptr));
}

nb::object texts_key(nb::handle list) {
    if (!PyList_CheckExact(list.ptr())) return {};
    nb::object texts = rt::steal_or_throw(PyList_AsTuple(list.ptr()));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(texts.ptr()); ++i) {
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(texts.ptr(), i))) return {};
    }
    return texts;
}

void keep_within(nb::handle kept, nb::handle key, nb::handle value, Py_ssize_t budget) {
    Py_ssize_t texts = PyTuple_GET_SIZE(key.ptr());
    if (texts > budget) return;
    // The texts the keys hold, counted under None, which no tuple key equals.
    nb::object counted = rt::dict_item(kept, Py_None);
    Py_ssize_t held = counted.is_valid() ? PyLong_AsSsize_t(counted.ptr()) : 0;
    if (held + texts > budget) {
        PyDict_Clear(kept.ptr());
        held = 0;
    }
    nb::object count = rt::steal_or_throw(PyLong_FromSsize_t(held + texts));
    if (PyDict_SetItem(kept.ptr(), key.ptr(), value.ptr()) != 0 ||
        PyDict_SetItem(kept.ptr(), Py_None, count.ptr()) != 0) {
        rt::throw_pending();
    }
}

std::string text_of(nb::handle value) {
    return rt::utf8_text(rt::steal_or_throw(PyObject_Str(value.ptr())));
}

}  // namespace quenlet::repo_finder
