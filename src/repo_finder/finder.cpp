// The per-index workers' finder path: a PackageFinder for one index, and the requirements of the
// file it picks for one version. A finder that can read a file's metadata itself (a
// get_metadata(link) method) is asked; the installed unearth has no such method, so otherwise the
// metadata comes from the index: the file's PEP 658 metadata file when the index offers one,
// else, for a wheel, the METADATA inside the wheel. An sdist would have to be built to learn its
// requirements, so it gives none.
#include "repo_finder/module.h"
#include "repo_finder/module_names.h"
#include "repo_finder/worker_parts.h"
#include "runtime/errors.h"
#include "runtime/module_state.h"
#include "runtime/values.h"

namespace quenlet::repo_finder {

using namespace nb::literals;

namespace {

const rt::InternedName requires_dist_key{"Requires-Dist"};
const rt::InternedName sha256_key{"sha256"};

// re.compile(r"[^/]+\.dist-info/METADATA").fullmatch, made at module initialisation: a metadata
// file of a dist-info folder at a wheel's top.
nb::handle match_top_level_metadata;

// unearth gives each finder an HTTP client of its own and registers the client's close() to run
// at exit; the registration keeps the client, and its open connections, alive until then. A
// finder serves one query here, so without this every finder query would leave a connection
// open for the life of the process. Closing is clean-up: its failure is no failure of the query.
void release_connections(nb::handle finder) {
    try {
        nb::object session = nb::getattr(finder, "session", nb::none());
        nb::object close = nb::getattr(session, "close", nb::none());
        if (close.is_none()) return;
        close();
        nb::module_::import_("atexit").attr("unregister")(close);
    } catch (nb::python_error& error) {
        if (!rt::is_ordinary(error)) throw;
    }
}

// The sha256 digest in a hash mapping such as {"sha256": "..."}, or None.
nb::object sha256_in(nb::handle hashes) {
    if (!PyDict_Check(hashes.ptr())) return nb::none();
    nb::object digest = rt::dict_item(hashes, sha256_key.get());
    if (digest.is_valid()) return digest;
    return nb::none();
}

// The sha256 digest the index gives for a file: from its hash list, or its URL's fragment.
nb::object file_sha256(nb::handle link) {
    nb::object digest = sha256_in(nb::getattr(link, "hashes", nb::none()));
    if (!digest.is_none()) return digest;
    nb::object hash_name = nb::getattr(link, "hash_name", nb::none());
    if (hash_name.equal(sha256_key.get())) return link.attr("hash");
    return nb::none();
}

// The body at `url`, fetched with the finder's own session (its authentication and trusted
// hosts apply); checked against `sha256` when the index gave one, since a file that does not
// match is not the file the index described.
nb::object download(nb::handle finder, nb::handle url, nb::handle sha256) {
    nb::object response = finder.attr("session").attr("get")(url);
    response.attr("raise_for_status")();
    nb::object content = response.attr("content");
    if (!sha256.is_none()) {
        nb::object digest =
            nb::module_::import_("hashlib").attr("sha256")(content).attr("hexdigest")();
        if (!digest.equal(sha256)) {
            rt::throw_error(PyExc_ValueError, "%S does not match the sha256 digest the index gives",
                            url.ptr());
        }
    }
    return content;
}

nb::object parse_metadata(nb::handle content) {
    nb::object text = content.attr("decode")("utf-8");
    nb::object parser = nb::module_::import_("email.parser").attr("Parser")();
    return parser.attr("parsestr")(text, "headersonly"_a = true);
}

// The METADATA of a wheel's one top-level dist-info folder. The archive lives in memory, so
// nothing needs closing on the way out.
nb::object wheel_metadata(nb::handle content, nb::handle filename) {
    nb::object buffer = nb::module_::import_("io").attr("BytesIO")(content);
    nb::object archive = nb::module_::import_("zipfile").attr("ZipFile")(buffer);
    nb::list found;
    for (nb::handle member : archive.attr("namelist")()) {
        if (PyUnicode_Check(member.ptr()) && !match_top_level_metadata(member).is_none()) {
            found.append(member);
        }
    }
    if (found.size() != 1) {
        rt::throw_error(PyExc_ValueError, "%S has %zd top-level .dist-info/METADATA files, not one",
                        filename.ptr(), static_cast<Py_ssize_t>(found.size()));
    }
    return archive.attr("read")(found[0]);
}

nb::object file_metadata(nb::handle finder, nb::handle link) {
    nb::object get_metadata = nb::getattr(finder, "get_metadata", nb::none());
    if (!get_metadata.is_none()) return get_metadata(link);
    nb::object metadata_link = nb::getattr(link, "dist_info_link", nb::none());
    if (rt::truthy(metadata_link)) {
        nb::object expected = sha256_in(link.attr("dist_info_metadata"));
        return parse_metadata(
            download(finder, metadata_link.attr("url_without_fragment"), expected));
    }
    if (rt::truthy(nb::getattr(link, "is_wheel", nb::bool_(false)))) {
        nb::object wheel = download(finder, link.attr("url_without_fragment"), file_sha256(link));
        return parse_metadata(wheel_metadata(wheel, link.attr("filename")));
    }
    return nb::none();
}

}  // namespace

nb::object with_finder(nb::handle index_url, rt::FunctionRef<nb::object(nb::handle finder)> work) {
    nb::list index_urls;
    index_urls.append(index_url);
    nb::object finder = global::package_finder.get()("index_urls"_a = index_urls);
    nb::object result;
    try {
        result = work(finder);
    } catch (...) {
        release_connections(finder);
        throw;
    }
    release_connections(finder);
    return result;
}

nb::object exact_requirement(nb::handle package_name, nb::handle version) {
    nb::object with_operator =
        rt::steal_or_throw(PyUnicode_Concat(package_name.ptr(), nb::str("==").ptr()));
    return rt::steal_or_throw(PyUnicode_Concat(with_operator.ptr(), version.ptr()));
}

nb::object best_file_requirements(const Query& query, nb::handle finder) {
    nb::object match =
        finder.attr("find_best_match")(exact_requirement(query.package_name, query.version));
    if (!rt::truthy(match)) return nb::list();
    nb::object best = match.attr("best");
    if (!rt::truthy(best)) return nb::list();
    nb::object link = best.attr("link");
    if (!rt::truthy(link)) return nb::list();
    nb::object metadata = file_metadata(finder, link);
    if (!rt::truthy(metadata)) return nb::list();
    nb::object requirements = metadata.attr("get_all")(requires_dist_key.get());
    if (!rt::truthy(requirements)) return nb::list();
    return requirements;
}

void init_finder() {
    match_top_level_metadata = rt::keep(nb::module_::import_("re")
                                            .attr("compile")(R"([^/]+\.dist-info/METADATA)")
                                            .attr("fullmatch"));
}

}  // namespace quenlet::repo_finder
