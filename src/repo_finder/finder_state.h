// What a RepoFinder holds. The fields the host sees live in the instance __dict__, where the host
// and the tests may replace them. Beside them the finder keeps what its own queries learnt: plain
// members, each a dict made by __init__ and never replaced (so threads that run with the GIL off
// share them safely), visited by the garbage collector and gone with the finder.
#pragma once

#include <atomic>

#include "repo_finder/module.h"
#include "runtime/interned_name.h"

namespace quenlet::repo_finder {

namespace field {
inline const rt::InternedName settings_manager{"settings_manager"};
inline const rt::InternedName session{"_session"};
inline const rt::InternedName metadata_cache{"_metadata_cache"};
inline const rt::InternedName distributions_cache{"_distributions_cache"};
}  // namespace field

// Answers worked out from a list of texts (the release texts of a document, the requirement
// strings of a version), kept under the tuple of those texts: a host asks about the same packages
// over and over. Bounded by the texts its keys hold, not only by their count: it starts over when
// they would exceed its budget, and a list larger than the whole budget is not kept.
class KeptByTexts {
  public:
    explicit KeptByTexts(Py_ssize_t budget) : budget_(budget) {}

    // The key for `list`: the tuple of its items when it is an exact list of exact strs (whose
    // equality and hash nothing can redefine); else an empty object, and nothing is kept for it.
    static nb::object key_of(nb::handle list);

    // What is kept under `key`, or an empty object.
    nb::object find(nb::handle key) const;
    void keep(nb::handle key, nb::handle value);
    void clear();

    int traverse(visitproc visit, void* arg) const noexcept {
        Py_VISIT(kept_.ptr());
        return 0;
    }
    // Moves the dict out, for the garbage collector's clear.
    nb::object take() noexcept { return std::move(kept_); }

  private:
    nb::object kept_ = nb::dict();
    const Py_ssize_t budget_;
    std::atomic<Py_ssize_t> held_{0};  // texts in the keys; threads may keep at once
};

struct RepoFinder {
    nb::object distribution_facts = nb::dict();  // specifier_check.cpp
    KeptByTexts parsed_requirements{8192};       // dependency_workers.cpp
    KeptByTexts version_orders{32768};           // version_workers.cpp
    nb::object session_loop = nb::dict();        // session.cpp
};

// The state of `self`, or null when it has none: an object that is no RepoFinder, a subclass
// whose __init__ did not call RepoFinder's, or a finder the garbage collector has cleared. Its
// queries then answer without keeping anything.
RepoFinder* state_of(nb::handle self);

// The class's garbage-collector slots, for its binding: they visit and clear the instance
// __dict__ and the state above.
extern const PyType_Slot finder_slots[];

}  // namespace quenlet::repo_finder
