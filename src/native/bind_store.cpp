// Bindings of the cache-directory format: checksums over Python buffers and layout constants.
#include <fcntl.h>
#include <pybind11/pybind11.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/cache_store.hpp"
#include "core/hash.hpp"
#include "core/pickle_scan.hpp"

namespace py = pybind11;

namespace orvane {
namespace {

[[noreturn]] void raise_os_error(int err, const std::string& path) {
  errno = err;
  PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
  throw py::error_already_set();
}

// Large fresh allocations are backed by huge pages where the kernel allows it on request: a
// gigabyte then costs hundreds of page faults instead of a quarter million.
void advise_huge_pages(char* ptr, std::size_t size) {
  constexpr std::uintptr_t kHuge = 2u << 20;
  auto begin = (reinterpret_cast<std::uintptr_t>(ptr) + kHuge - 1) & ~(kHuge - 1);
  auto end = (reinterpret_cast<std::uintptr_t>(ptr) + size) & ~(kHuge - 1);
#ifdef MADV_HUGEPAGE
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)begin;
  (void)end;
#endif
}

// Reads a pickled blob with its large payloads placed straight into their final bytes or
// bytearray objects. Returns (checksum hex, stream, buffers) for pickle.loads(stream,
// buffers=buffers); the caller compares the checksum before unpickling.
py::tuple read_pickle_blob(const std::string& path, std::uint64_t threshold) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);  // never through a link
  if (fd < 0) raise_os_error(errno, path);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    raise_os_error(err, path);
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  std::optional<std::vector<PicklePayload>> found;
  {
    py::gil_scoped_release release;
    found = scan_pickle_payloads(fd, size, threshold);
  }
  std::vector<PicklePayload> payloads = found ? std::move(*found) : std::vector<PicklePayload>{};

  py::list buffers;
  std::vector<char*> destinations;
  for (const PicklePayload& p : payloads) {
    const auto n = static_cast<Py_ssize_t>(p.size);
    py::object obj =
        p.bytearray ? py::reinterpret_steal<py::object>(PyByteArray_FromStringAndSize(nullptr, n))
                    : py::reinterpret_steal<py::object>(PyBytes_FromStringAndSize(nullptr, n));
    if (!obj) {
      ::close(fd);
      throw py::error_already_set();
    }
    char* ptr = p.bytearray ? PyByteArray_AS_STRING(obj.ptr()) : PyBytes_AS_STRING(obj.ptr());
    advise_huge_pages(ptr, p.size);
    destinations.push_back(ptr);
    buffers.append(obj);
  }
  const auto stream_size = static_cast<Py_ssize_t>(split_stream_size(size, payloads));
  auto stream = py::reinterpret_steal<py::object>(PyBytes_FromStringAndSize(nullptr, stream_size));
  if (!stream) {
    ::close(fd);
    throw py::error_already_set();
  }
  char* stream_ptr = PyBytes_AS_STRING(stream.ptr());
  std::uint64_t digest;
  int err = 0;
  {
    // Only raw memory is touched here: the objects are referenced above and nothing else can
    // see them yet.
    py::gil_scoped_release release;
    digest = read_pickle_split(fd, size, payloads, destinations, stream_ptr, &err);
  }
  ::close(fd);
  if (err != 0) raise_os_error(err, path);
  return py::make_tuple(checksum_hex(digest), stream, buffers);
}

}  // namespace

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
  m.def("read_pickle_blob", &read_pickle_blob, py::arg("path"), py::arg("threshold") = 1u << 20,
        "Read a pickled blob: (checksum hex, stream, out-of-band buffers) for pickle.loads.");
}

}  // namespace orvane
