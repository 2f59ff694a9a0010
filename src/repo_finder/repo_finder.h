// The index client module: what its concern files share. Each concern binds its methods onto the
// one class with a bind_<concern>() function; module.cpp calls them in the class's method order.
#pragma once

#include <string>
#include <string_view>

#include "runtime/class_functions.h"
#include "runtime/coroutine.h"
#include "runtime/errors.h"
#include "runtime/interned_name.h"
#include "runtime/module_globals.h"
#include "runtime/python.h"
#include "runtime/values.h"

namespace quenlet::repo_finder {

namespace rt = quenlet::rt;

inline constexpr const char* module_name = "quenlet_master.business_layer.packages.repo_finder";

// The fields the host sees (settings_manager, _session, the two caches) live in the instance
// __dict__, where the host and the tests may replace them. Beside them, a RepoFinder keeps what
// its own queries learnt, each a dict made by __init__ and never replaced (so threads that run
// with the GIL off share them safely), visited by the garbage collector and gone with the
// finder.
struct RepoFinder {
    nb::object distribution_facts;   // distribution_facts.cpp
    nb::object parsed_requirements;  // dependency_workers.cpp
    nb::object version_orders;       // version_workers.cpp
    nb::object session_loop;         // session.cpp
};
using Class = nb::class_<RepoFinder>;

// The class's garbage-collector slots, for its binding: they visit and clear the instance
// __dict__ and the state above.
extern const PyType_Slot finder_slots[];

// The state of `self`, or null when it has none: an object that is no RepoFinder, a subclass
// whose __init__ did not call RepoFinder's, or a finder the garbage collector has cleared. Its
// queries then answer without keeping anything.
RepoFinder* state_of(nb::handle self);

// Module set-up, in binding order: the standard and optional libraries, the flags and the
// logger; then the two stand-in types for standard-library modules.
void bind_module_names(nb::module_& module);
void bind_dummy_types(nb::module_& module);

// The class's concerns, in method order.
void bind_construction(Class& cls);   // __init__
void bind_pip_settings(Class& cls);   // _get_pip_settings, _get_pip_api_list
void bind_session(Class& cls);        // _get_session, close
void bind_resolution(Class& cls);     // _normalize_name, _normalize_url, _get_api_pattern_for_index
void bind_distributions(Class& cls);  // _get_current_distributions, clear_distributions_cache
void bind_specifier_check(Class& cls);      // check_specifier_in_dist
void bind_requirement_parsing(Class& cls);  // _parse_requirement
// find_repo_for_package, find_repo_for_package_version, get_versions, get_extras,
// get_dependencies
void bind_search(Class& cls);
// _package_exists_in_index, _package_exists_via_unearth, _package_version_exists_in_index,
// _package_version_exists_via_unearth
void bind_existence_workers(Class& cls);
void bind_version_workers(Class& cls);  // _get_versions_from_index, _get_versions_via_unearth
void bind_extras_workers(Class& cls);   // _get_extras_from_index, _get_extras_via_unearth
void bind_dependency_workers(
    Class& cls);  // _get_dependencies_from_index, _get_dependencies_via_unearth

// Module-level names that operations read when they run, never at import, so that a host (or a
// test) may replace them afterwards. Missing optional libraries are None, their flags false.
namespace global {
const rt::ModuleGlobal& asyncio();
const rt::ModuleGlobal& importlib();
const rt::ModuleGlobal& sys();
const rt::ModuleGlobal& aiohttp();
const rt::ModuleGlobal& package_finder();       // PackageFinder
const rt::ModuleGlobal& unearth_available();    // UNEARTH_AVAILABLE
const rt::ModuleGlobal& specifier_set();        // SpecifierSet
const rt::ModuleGlobal& version();              // Version
const rt::ModuleGlobal& packaging_available();  // PACKAGING_AVAILABLE
}  // namespace global

// `from module import name`: a missing name is an ImportError, as in Python.
nb::object import_from(const char* module, const char* name);

// _dummy_dist(name, version): the table entry that stands for a standard-library module.
nb::object make_dummy_dist(nb::handle name, nb::handle version);

// The str constants this module looks up on every query: attribute names and document keys.
using Interned = rt::InternedName;

// An attribute or method name. RepoFinder's methods call each other through Python, so that a
// subclass override or an instance attribute of the same name is honoured.
class Member {
  public:
    constexpr explicit Member(const char* name) noexcept : name_(name) {}

    nb::object get(nb::handle self) const {
        return rt::steal_or_throw(PyObject_GetAttr(self.ptr(), name_.get().ptr()));
    }
    void set(nb::handle self, nb::handle value) const {
        if (PyObject_SetAttr(self.ptr(), name_.get().ptr(), value.ptr()) != 0) rt::throw_pending();
    }
    nb::handle name() const { return name_.get(); }

    // self.<name>(args...)
    template <class... Args>
    nb::object call(nb::handle self, Args... args) const {
        PyObject* argv[] = {self.ptr(), nb::handle(args).ptr()...};
        return rt::steal_or_throw(
            PyObject_VectorcallMethod(name_.get().ptr(), argv, 1 + sizeof...(Args), nullptr));
    }

  private:
    Interned name_;
};

// A RepoFinder method. Methods call each other through Python, so that a subclass override or an
// instance attribute of the same name is honoured; but while `self.<name>` is still the class's
// own function, bound from a native one, that native function runs directly: the same checks and
// the same answer without a bound method, the binding's dispatch or a coroutine object.
class Method : public Member {
  public:
    using Member::Member;

    // Once the class holds the method: keeps the class's function for the life of the process,
    // so that its identity stays unique.
    void remember(Class& cls);
    nb::handle own() const { return bound_; }
    // Whether self.<name> is the function remembered.
    bool is_own(nb::handle self) const {
        return bound_ != nullptr && rt::is_class_function(self, name(), bound_, class_holds_own_);
    }

    // self.<name>(args...), where `native(self, args...)` is the function bound under the name.
    template <class Native, class... Args>
    nb::object run(nb::handle self, Native native, Args... args) const {
        if (is_own(self)) return native(self, args...);
        return call(self, args...);
    }
    // The same for a coroutine method, to be awaited.
    template <class Native, class... Args>
    rt::Task start(nb::handle self, Native native, Args... args) const {
        if (is_own(self)) return native(self, args...);
        return awaiting(call(self, args...));
    }

  private:
    static rt::Task awaiting(nb::object awaitable);

    PyObject* bound_ = nullptr;
    mutable rt::ClassFact class_holds_own_;
};

namespace field {
inline Member settings_manager{"settings_manager"};
inline Member session{"_session"};
inline Member metadata_cache{"_metadata_cache"};
inline Member distributions_cache{"_distributions_cache"};
}  // namespace field

namespace method {
inline Method get_pip_settings{"_get_pip_settings"};
inline Method get_pip_api_list{"_get_pip_api_list"};
inline Method get_session{"_get_session"};
inline Method normalize_name{"_normalize_name"};
inline Method normalize_url{"_normalize_url"};
inline Method get_api_pattern_for_index{"_get_api_pattern_for_index"};
inline Method get_current_distributions{"_get_current_distributions"};
inline Method parse_requirement{"_parse_requirement"};
inline Method package_exists_in_index{"_package_exists_in_index"};
inline Method package_exists_via_unearth{"_package_exists_via_unearth"};
inline Method package_version_exists_in_index{"_package_version_exists_in_index"};
inline Method package_version_exists_via_unearth{"_package_version_exists_via_unearth"};
inline Method get_versions_from_index{"_get_versions_from_index"};
inline Method get_versions_via_unearth{"_get_versions_via_unearth"};
inline Method get_extras_from_index{"_get_extras_from_index"};
inline Method get_extras_via_unearth{"_get_extras_via_unearth"};
inline Method get_dependencies_from_index{"_get_dependencies_from_index"};
inline Method get_dependencies_via_unearth{"_get_dependencies_via_unearth"};
}  // namespace method

// self._get_pip_api_list(), self._normalize_url(url), self._get_api_pattern_for_index(index_url)
// and self._get_session() (to be awaited), each run natively while it is the class's own.
nb::object pip_api_list_of(nb::handle self);
nb::object normalized_url(nb::handle self, nb::handle url);
nb::object api_pattern_of(nb::handle self, nb::handle index_url);
rt::Task session_of(nb::handle self);

// self._parse_requirement(requirement) for each of `requirements`, in order: the records that
// are true.
nb::list parse_requirements(nb::handle self, nb::handle requirements);

using rt::truthy;

// mapping.get(key, fallback); read straight from an exact dict, whose get nothing can redefine.
nb::object get_or(nb::handle mapping, nb::handle key, nb::handle fallback);

// The tuple of the items of `list` when it is an exact list of exact strs (whose equality and
// hash nothing can redefine), as the key of something a finder keeps for those texts; else none.
nb::object texts_key(nb::handle list);

// Keeps `value` in `kept`, one of a finder's caches, under `key` (a tuple of texts, as texts_key
// makes it). The cache starts over when its keys would hold more than `budget` texts in all, so
// that what a finder keeps is bounded in size, not only in count; a key larger than the whole
// budget is not kept.
void keep_within(nb::handle kept, nb::handle key, nb::handle value, Py_ssize_t budget);

// str(value) as UTF-8, for log messages that show a value of any type (a status, an address
// taken from the settings).
std::string text_of(nb::handle value);

// The extras that requirement strings are conditional on: from each string holding "extra ==",
// the first name in extra\s*==\s*["']([^"']+)["'], spelled as written. A non-string entry
// fails as the substring test and the search would fail on it in Python.
nb::set marker_extras(nb::handle requirements);

}  // namespace quenlet::repo_finder
