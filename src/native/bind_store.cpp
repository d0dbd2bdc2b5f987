// Bindings of the cache-directory format: the manifest, and reading a blob file straight into
// the objects the unpickler will use.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/cache_format.hpp"

namespace py = pybind11;

namespace orvane {
namespace {

py::object new_bytes(std::size_t size, bool is_bytes, char** data) {
  const auto n = static_cast<Py_ssize_t>(size);
  auto obj = py::reinterpret_steal<py::object>(
      is_bytes ? PyBytes_FromStringAndSize(nullptr, n) : PyByteArray_FromStringAndSize(nullptr, n));
  if (!obj) throw py::error_already_set();
  *data = is_bytes ? PyBytes_AS_STRING(obj.ptr()) : PyByteArray_AS_STRING(obj.ptr());
  return obj;
}

class PyManifest {
 public:
  explicit PyManifest(std::string dir) : dir_(std::move(dir)) {
    py::gil_scoped_release release;
    manifest_ = read_manifest(dir_);
  }

  py::list blobs() const {
    py::list out;
    for (const BlobRecord& b : manifest_.blobs) out.append(py::make_tuple(b.name, b.kind));
    return out;
  }

  py::object missing_or_truncated() const {
    std::string problem = find_missing_or_truncated(dir_, manifest_);
    return problem.empty() ? py::object(py::none()) : py::object(py::str(problem));
  }

  // (stream, buffers) for pickle.loads(stream, buffers=buffers). The objects are filled before
  // anything else can see them, so the read runs without the GIL.
  py::tuple read_blob_at(std::size_t index) const {
    if (index >= manifest_.blobs.size()) throw py::index_error("no such blob");
    const BlobRecord& blob = manifest_.blobs[index];
    char* stream_data = nullptr;
    py::object stream = new_bytes(static_cast<std::size_t>(blob.stream_size), true, &stream_data);
    py::list buffers;
    std::vector<char*> destinations;
    for (const BufferRecord& r : blob.buffers) {
      char* data = nullptr;
      buffers.append(new_bytes(static_cast<std::size_t>(r.size), r.is_bytes, &data));
      destinations.push_back(data);
    }
    {
      py::gil_scoped_release release;
      read_blob(dir_, blob, stream_data, destinations);
    }
    return py::make_tuple(stream, buffers);
  }

  const std::string& dir() const { return dir_; }
  const Manifest& manifest() const { return manifest_; }

 private:
  std::string dir_;
  Manifest manifest_;
};

}  // namespace

void bind_store(py::module_& m) {
  m.attr("CACHE_MANIFEST_NAME") = kManifestName;
  m.attr("CACHE_MANIFEST_VERSION") = kManifestVersion;
  m.attr("CACHE_PARTIAL_PREFIX") = kPartialPrefix;
  py::register_exception<CacheFormatError>(m, "OrvaneDiskCacheError", PyExc_RuntimeError);
  py::class_<PyManifest>(m, "CacheManifest",
                         "The manifest of a cache directory, validated; blobs read on request.")
      .def(py::init<std::string>(), py::arg("cache_dir"))
      .def_property_readonly("cache_dir", &PyManifest::dir)
      .def_property_readonly("version", [](const PyManifest& p) { return p.manifest().version; })
      .def_property_readonly("component_id",
                             [](const PyManifest& p) { return p.manifest().component_id; })
      .def_property_readonly("success_count",
                             [](const PyManifest& p) { return p.manifest().success_count; })
      .def_property_readonly("created",
                             [](const PyManifest& p) -> py::object {
                               if (!p.manifest().has_created) return py::none();
                               return py::float_(p.manifest().created);
                             })
      .def("blobs", &PyManifest::blobs, "(name, kind) of each blob, in manifest order.")
      .def(
          "files",
          [](const PyManifest& p) {
            py::list out;
            for (const BlobRecord& b : p.manifest().blobs) out.append(b.file);
            return out;
          },
          "The blob file names, in manifest order.")
      .def("missing_or_truncated", &PyManifest::missing_or_truncated,
           "The first blob file that is missing or has the wrong size, as text, or None.")
      .def("read_blob", &PyManifest::read_blob_at, py::arg("index"),
           "Read and verify a blob: (pickle stream, out-of-band buffers).");
}

}  // namespace orvane
