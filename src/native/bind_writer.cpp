// Binding of the background cache writer: adapts Python bytes objects to borrowed buffers.
//
// The bytes objects of a task are referenced here, keyed by the task's ticket, for as long as
// the worker thread may read them; they are released on the owner's thread (which holds the
// GIL) when the writer reports the ticket retired. The worker thread itself never touches a
// Python object, so it never needs the GIL and interpreter shutdown cannot deadlock on it.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <unordered_map>
#include <utility>

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

  bool put(const std::string& component_id, std::int64_t success_count,
           const std::string& cache_dir, const py::list& blobs) {
    collect();
    WriteRequest request{component_id, success_count, cache_dir, {}};
    py::list held;
    request.blobs.reserve(blobs.size());
    for (py::handle item : blobs) {
      auto entry = py::reinterpret_borrow<py::tuple>(item);
      if (entry.size() != 3) throw py::value_error("a blob is a (name, kind, bytes) triple");
      py::object data = entry[2];
      if (!PyBytes_Check(data.ptr())) throw py::type_error("blob data must be bytes");
      BlobRef ref;
      ref.name = entry[0].cast<std::string>();
      ref.kind = entry[1].cast<std::string>();
      if (ref.kind != "meta" && ref.kind != "last_output" && ref.kind != "output") {
        throw py::value_error("unknown blob kind: " + ref.kind);
      }
      // bytes are immutable and `held` keeps them alive: the pointer stays valid, no copy.
      ref.data = PyBytes_AS_STRING(data.ptr());
      ref.size = static_cast<std::size_t>(PyBytes_GET_SIZE(data.ptr()));
      request.blobs.push_back(std::move(ref));
      held.append(data);
    }
    std::uint64_t ticket = writer_.put(std::move(request));
    if (ticket == 0) return false;
    buffers_.emplace(ticket, std::move(held));
    return true;
  }

  bool cancel(const std::string& component_id, std::int64_t success_count) {
    bool matched = writer_.cancel(component_id, success_count);
    collect();
    return matched;
  }

  py::list drain() {
    collect();
    std::vector<DoneMessage> messages;
    messages.swap(pending_);
    py::list out;
    for (const DoneMessage& m : messages) {
      py::dict d;
      d["is_stopped"] = m.is_stopped;
      d["component_id"] = m.component_id;
      d["success_count"] = m.success_count;
      d["cache_dir"] = m.cache_dir;
      d["is_successful"] = m.is_successful;
      d["msg"] = m.msg;
      out.append(std::move(d));
    }
    return out;
  }

  bool inject_fault(const std::string& name) { return writer_.inject_fault(name); }
  std::size_t held_tasks() const { return buffers_.size(); }

 private:
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
