// Binding of the background cache writer (writer_object.hpp): its done messages become records
// for the writer facade in one step.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <vector>

#include "native/writer_object.hpp"

namespace orvane {

namespace {

// The done messages as OrvaneDiskCacheDoneModel records.
py::list drain_records(WriterObject& writer) {
  std::vector<DoneMessage> messages = writer.drain();
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

}  // namespace

void bind_writer(py::module_& m) {
  py::class_<WriterObject>(m, "CacheWriterCore",
                           "Native background writer of cache directories (one thread).")
      .def(py::init<>())
      .def("open", &WriterObject::open, "Accept tasks from now on (queued until start()).")
      .def("start", &WriterObject::start, "Launch the writer thread.")
      .def("close", &WriterObject::close,
           "Stop accepting, drop queued tasks, finish the write in progress, join the thread.")
      .def("is_alive", &WriterObject::is_alive)
      .def("put", &WriterObject::put, py::arg("component_id"), py::arg("success_count"),
           py::arg("cache_dir"), py::arg("blobs"))
      .def("cancel", &WriterObject::cancel, py::arg("component_id"), py::arg("success_count"))
      .def("drain", &drain_records)
      .def("_inject_fault", &WriterObject::inject_fault, py::arg("name"))
      .def("_held_tasks", &WriterObject::held_tasks)
      .def("_take_noted", &WriterObject::take_noted);
}

}  // namespace orvane
