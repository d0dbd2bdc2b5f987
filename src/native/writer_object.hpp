// The background cache writer as a Python object: hands a pickled value and its out-of-band
// buffers over in one call, and gives the done messages back as native data.
//
// Registered in the `_native` module as `CacheWriterCore` (the writer facade's `_core`); the
// pipeline engine casts the same object (py::cast<WriterObject&>) to queue, cancel and take in
// writes without building records.
//
// bytes objects (pickle streams, immutable payloads) are borrowed: referenced here, keyed by the
// task's ticket, for as long as the worker thread may read them, and released on the owner's
// thread (which holds the GIL) when the writer reports the ticket retired. Every other buffer
// may be changed by the user later, so it is copied into memory the task owns, without the GIL
// and while the worker already writes the part copied so far. The worker thread never touches
// a Python object, so it never needs the GIL and interpreter shutdown cannot deadlock on it.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/cache_writer.hpp"

namespace orvane {

namespace py = pybind11;

// One blob of a write: its name, its kind ("meta", "last_output" or "output") and the value
// pickled once (a SerializedValue: its `stream` bytes and its out-of-band `buffers`).
using PickledBlob = std::tuple<std::string, std::string, py::object>;

class WriterObject {
 public:
  ~WriterObject() {
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

  // Queues the write of `blobs` into `cache_dir`; false when refused (not open, closed, or the
  // thread has died).
  bool put(const std::string& component_id, std::int64_t success_count,
           const std::string& cache_dir, const std::vector<PickledBlob>& blobs) {
    collect();
    if (noting_) noted_.emplace_back("todo", component_id);
    WriteRequest request{component_id, success_count, cache_dir, {}};
    py::list held;
    std::vector<Copy> copies;
    request.blobs.reserve(blobs.size());
    for (const auto& [name, kind, value] : blobs) {
      if (kind != "meta" && kind != "last_output" && kind != "output") {
        throw py::value_error("unknown blob kind: " + kind);
      }
      BlobRef ref{name, kind, {}, {}};
      py::object stream = value.attr("stream");
      if (!PyBytes_Check(stream.ptr())) throw py::type_error("a blob's stream must be bytes");
      ref.stream = borrow(stream, held);
      for (py::handle buffer : value.attr("buffers")) {
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

  // Withdraws the queued or running write of this component and count; true when one matched.
  bool cancel(const std::string& component_id, std::int64_t success_count) {
    if (noting_) noted_.emplace_back("cancel", component_id);
    bool matched = writer_.cancel(component_id, success_count);
    collect();
    return matched;
  }

  // The writes finished or failed since the last call, and a stop report after a crash.
  std::vector<DoneMessage> drain() {
    collect();
    return std::exchange(pending_, {});
  }

  bool inject_fault(const std::string& name) { return writer_.inject_fault(name); }
  std::size_t held_tasks() const { return buffers_.size(); }
  // Test hook: from its first call on, every write and cancel handed over is noted as ("todo"
  // or "cancel", component id); each call takes what was noted since the last one.
  std::vector<std::pair<std::string, std::string>> take_noted() {
    noting_ = true;
    return std::exchange(noted_, {});
  }

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
    for (std::uint64_t ticket : drained.retired) buffers_.erase(ticket);
    pending_.insert(pending_.end(), drained.messages.begin(), drained.messages.end());
  }

  CacheWriter writer_;
  std::unordered_map<std::uint64_t, py::list> buffers_;
  std::vector<DoneMessage> pending_;
  bool noting_ = false;
  std::vector<std::pair<std::string, std::string>> noted_;
};

}  // namespace orvane
