#include "repo_finder/distribution_facts.h"

#include <unordered_map>

namespace quenlet::repo_finder {

namespace {

Interned version_key{"Version"};
Member metadata{"metadata"};
Member get{"get"};

struct Entry {
    nb::object entry;  // held, so that its address names no other object while it is here
    DistributionFacts facts;
};

// The facts of one table: the one most recently checked against. A host keeps one table, so
// one is enough; another table in between only costs a fresh read.
struct TableFacts {
    nb::object table;  // held for the same reason as the entries
    std::unordered_map<PyObject*, Entry> entries;
};

// Kept for the life of the process (its Python references must not be released at exit).
TableFacts& current = *new TableFacts;

PyObject* forget_at_exit(PyObject*, PyObject*) {
    forget_distribution_facts();
    Py_RETURN_NONE;
}

PyMethodDef forget_at_exit_method = {"_forget_distribution_facts", forget_at_exit, METH_NOARGS,
                                     nullptr};

// The facts hold Python objects (nanobind instances among them) that must go while the
// interpreter still runs, like every other object of the host's: at its exit, not after it.
void release_at_exit() {
    static bool registered = false;
    if (registered) return;
    nb::object callback = rt::steal_or_throw(PyCFunction_New(&forget_at_exit_method, nullptr));
    nb::module_::import_("atexit").attr("register")(callback);
    registered = true;
}

void start_over(nb::handle table) {
    release_at_exit();
    // Moved out first: releasing the old objects may run host code that checks again.
    TableFacts previous = std::move(current);
    current = TableFacts{nb::borrow(table), {}};
}

}  // namespace

DistributionFacts distribution_facts(nb::handle table, nb::handle entry) {
    if (!current.table.is(table)) start_over(table);
    auto found = current.entries.find(entry.ptr());
    if (found != current.entries.end()) return found->second.facts;
    nb::object entry_metadata = metadata.get(entry);
    DistributionFacts facts{get.call(entry_metadata, version_key.get()), {}, entry_metadata};
    // Reading ran host code: keep the facts only if their table is still the current one.
    if (current.table.is(table)) current.entries[entry.ptr()] = Entry{nb::borrow(entry), facts};
    return facts;
}

void remember_offered_extras(nb::handle table, nb::handle entry, nb::handle offered) {
    if (!current.table.is(table)) return;
    auto found = current.entries.find(entry.ptr());
    if (found == current.entries.end()) return;
    found->second.facts.offered_extras = nb::borrow(offered);
    found->second.facts.metadata.reset();
}

void forget_distribution_facts() {
    TableFacts previous = std::move(current);
    current = TableFacts{};
}

}  // namespace quenlet::repo_finder
