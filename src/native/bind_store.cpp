// Bindings of the cache-directory format: checksums over Python buffers and layout constants.
#include <pybind11/pybind11.h>

#include <string>

#include "core/cache_store.hpp"
#include "core/hash.hpp"

namespace py = pybind11;

namespace orvane {

void bind_store(py::module_& m) {
  m.attr("CACHE_MANIFEST_NAME") = kManifestName;
  m.attr("CACHE_MANIFEST_FORMAT") = kManifestFormat;
  m.attr("CACHE_MANIFEST_VERSION") = kManifestVersion;
  m.attr("CACHE_PARTIAL_PREFIX") = kPartialPrefix;
  m.def(
      "checksum",
      [](py::buffer data) {
        // The blob may be a gigabyte-sized mapping: hash it without the GIL so unpickling can
        // proceed on the other core.
        py::buffer_info info = data.request();
        if (info.ndim > 1 && info.strides.back() != info.itemsize) {
          throw py::value_error("checksum needs a contiguous buffer");
        }
        const auto* ptr = static_cast<const char*>(info.ptr);
        const std::size_t size = static_cast<std::size_t>(info.size * info.itemsize);
        std::uint64_t value;
        {
          py::gil_scoped_release release;
          value = xxh64(ptr, size);
        }
        return checksum_hex(value);
      },
      py::arg("data"), "Checksum of a cache blob as sixteen hex digits.");
}

}  // namespace orvane
