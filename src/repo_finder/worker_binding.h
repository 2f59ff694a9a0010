// The per-index worker coroutines: bound as RepoFinder methods, every argument a str checked in
// the call itself, before a coroutine is created; and started by the search.
#pragma once

#include <variant>

#include "repo_finder/repo_finder.h"
#include "runtime/coroutine.h"

namespace quenlet::repo_finder {

// cls.<name>(package_name, index_url)
using PackageWorker = rt::Task (*)(nb::object self, nb::object package_name, nb::object index_url);
// cls.<name>(package_name, version, index_url)
using VersionWorker = rt::Task (*)(nb::object self, nb::object package_name, nb::object version,
                                   nb::object index_url);

class Worker {
  public:
    // `qualname` names the coroutine objects (static storage).
    constexpr Worker(Method& method, const char* qualname, PackageWorker run) noexcept
        : method_(method), qualname_(qualname), run_(run) {}
    constexpr Worker(Method& method, const char* qualname, VersionWorker run) noexcept
        : method_(method), qualname_(qualname), run_(run) {}

    // Binds the method onto the class.
    void bind(Class& cls);

    // self.<name>(*arguments, index_url), to be awaited; the native worker itself while the
    // method is the class's own (the search asks a worker for every index it tries).
    rt::Task start(nb::handle self, nb::handle arguments, nb::handle index_url) const;

  private:
    Method& method_;
    const char* qualname_;
    std::variant<PackageWorker, VersionWorker> run_;
};

namespace worker {
extern Worker package_exists_in_index;
extern Worker package_version_exists_in_index;
extern Worker get_versions_from_index;
extern Worker get_extras_from_index;
extern Worker get_dependencies_from_index;
}  // namespace worker

}  // namespace quenlet::repo_finder
