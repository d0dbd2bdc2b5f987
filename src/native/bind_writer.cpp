// Binding of the background cache writer: hands a pickled value and its out-of-band buffers
// over in one call, and turns done messages into records in one step.
//
// bytes objects (pickle streams, immutable payloads) are borrowed: referenced here, keyed by the
// task's ticket, for as long as the worker thread may read them, and released on the owner's
// thread (which holds the GIL) when the writer reports the ticket retired. Every other buffer
// may be changed by the user later, so it is copied into memory the task owns, without the GIL
// and while the worker already writes the part copied so far. The worker thread never touches
// a Python object, so it never needs the GIL and interpreter shutdown cannot deadlock on it.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/cache_writer.hpp"

namespace py = pybind11;

namespace orvane {
namespace {

class PyCacheWriter {
 public:
  ~PyCacheWriter() {
    // Runs with the GIL held; the worker never asks for it, so joining here is safe.
    writer_.close();
    buffers_.clear();
  }

  void open() { writer_.open(); }
  void start() { writer_.start(); }
  bool is_alive() const { return writer_.is_alive(); }

  void close() {
    {
      py::gil_scoped_release release;
      writer_.close();
    }
    collect();
  }

  // `blobs`: (name, kind, stream bytes, [buffer, ...]) per blob.
  bool put(const std::string& component_id, std::int64_t success_count,
           const std::string& cache_dir, const py::list& blobs) {
    collect();
    WriteRequest request{component_id, success_count, cache_dir, {}};
    py::list held;
    std::vector<Copy> copies;
    request.blobs.reserve(blobs.size());
    for (py::handle item : blobs) {
      auto entry = py::reinterpret_borrow<py::tuple>(item);
      if (entry.size() != 4) {
        throw py::value_error("a blob is a (name, kind, stream, buffers) tuple");
      }
      BlobRef ref;
      ref.name = entry[0].cast<std::string>();
      ref.kind = entry[1].cast<std::string>();
      if (ref.kind != "meta" && ref.kind != "last_output" && ref.kind != "output") {
        throw py::value_error("unknown blob kind: " + ref.kind);
      }
      py::object stream = entry[2];
      if (!PyBytes_Check(stream.ptr())) throw py::type_error("a blob's stream must be bytes");
      ref.stream = borrow(stream, held);
      for (py::handle buffer : entry[3].cast<py::list>()) {
        if (PyBytes_Check(buffer.ptr())) {
          ref.buffers.push_back(borrow(py::reinterpret_borrow<py::object>(buffer), held));
          continue;
        }
        Copy copy{std::make_unique<Py_buffer>(), nullptr};
        if (PyObject_GetBuffer(buffer.ptr(), copy.view.get(), PyBUF_ANY_CONTIGUOUS) != 0) {
          throw py::error_already_set();
        }
        copy.pages = std::make_shared<PageBuffer>(static_cast<std::size_t>(copy.view->len));
        Segment segment;
        segment.data = copy.pages->data();
        segment.size = copy.pages->size();
        segment.pages = copy.pages;
        ref.buffers.push_back(std::move(segment));
        copies.push_back(std::move(copy));
      }
      request.blobs.push_back(std::move(ref));
    }
    std::uint64_t ticket = writer_.put(std::move(request));
    if (ticket == 0) return false;
    buffers_.emplace(ticket, std::move(held));
    {
      // The writer starts on the first pages while the rest is copied.
      py::gil_scoped_release release;
      for (Copy& copy : copies) copy.pages->fill_from(copy.view->buf);
    }
    return true;
  }

  bool cancel(const std::string& component_id, std::int64_t success_count) {
    bool matched = writer_.cancel(component_id, success_count);
    collect();
    return matched;
  }

  // The done messages as OrvaneDiskCacheDoneModel records.
  py::list drain() {
    collect();
    std::vector<DoneMessage> messages;
    messages.swap(pending_);
    py::list out;
    if (messages.empty()) return out;
    py::object record =
        py::module_::import("orvane_core.misc.models").attr("OrvaneDiskCacheDoneModel");
    for (const DoneMessage& m : messages) {
      out.append(
          record(py::arg("is_stopped") = m.is_stopped, py::arg("component_id") = m.component_id,
                 py::arg("is_successful") = m.is_successful, py::arg("msg") = m.msg,
                 py::arg("success_count") = m.success_count, py::arg("cache_dir") = m.cache_dir));
    }
    return out;
  }

  bool inject_fault(const std::string& name) { return writer_.inject_fault(name); }
  std::size_t held_tasks() const { return buffers_.size(); }

 private:
  struct ReleaseView {
    void operator()(Py_buffer* view) const {
      PyBuffer_Release(view);
      delete view;
    }
  };
  struct Copy {
    std::unique_ptr<Py_buffer, ReleaseView> view;
    std::shared_ptr<PageBuffer> pages;
    Copy(std::unique_ptr<Py_buffer> v, std::shared_ptr<PageBuffer> p)
        : view(v.release()), pages(std::move(p)) {}
  };

  // bytes are immutable and `held` keeps them alive: the pointer stays valid, no copy.
  static Segment borrow(const py::object& data, py::list& held) {
    Segment segment;
    segment.data = PyBytes_AS_STRING(data.ptr());
    segment.size = static_cast<std::size_t>(PyBytes_GET_SIZE(data.ptr()));
    segment.is_bytes = true;
    held.append(data);
    return segment;
  }

  // Releases buffers of retired tasks but keeps their messages for drain().
  void collect() {
    Drained drained = writer_.drain();
    release(drained.retired);
    pending_.insert(pending_.end(), drained.messages.begin(), drained.messages.end());
  }

  void release(const std::vector<std::uint64_t>& retired) {
    for (std::uint64_t ticket : retired) buffers_.erase(ticket);
  }

  CacheWriter writer_;
  std::unordered_map<std::uint64_t, py::list> buffers_;
  std::vector<DoneMessage> pending_;
};

}  // namespace

void bind_writer(py::module_& m) {
  py::class_<PyCacheWriter>(m, "CacheWriterCore",
                            "Native background writer of cache directories (one thread).")
      .def(py::init<>())
      .def("open", &PyCacheWriter::open, "Accept tasks from now on (queued until start()).")
      .def("start", &PyCacheWriter::start, "Launch the writer thread.")
      .def("close", &PyCacheWriter::close,
           "Stop accepting, drop queued tasks, finish the write in progress, join the thread.")
      .def("is_alive", &PyCacheWriter::is_alive)
      .def("put", &PyCacheWriter::put, py::arg("component_id"), py::arg("success_count"),
           py::arg("cache_dir"), py::arg("blobs"))
      .def("cancel", &PyCacheWriter::cancel, py::arg("component_id"), py::arg("success_count"))
      .def("drain", &PyCacheWriter::drain)
      .def("_inject_fault", &PyCacheWriter::inject_fault, py::arg("name"))
      .def("_held_tasks", &PyCacheWriter::held_tasks);
}

}  // namespace orvane
