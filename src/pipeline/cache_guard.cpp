// Cache misses instead of errors, and writes that complete at once; see cache_guard.hpp.
#include "pipeline/cache_guard.hpp"

#include <map>
#include <string>

#include "common/py_paths.hpp"
#include "pipeline/component_access.hpp"
#include "pipeline/diskcache_support.hpp"

namespace orvane::pipeline::guard {

using namespace pybind11::literals;

namespace {

std::string type_name(const py::handle& value) {
  py::object type = py::type::of(value);
  std::string module = py::str(py::getattr(type, "__module__", py::str("")));
  std::string name = py::str(py::getattr(type, "__qualname__", type.attr("__name__")));
  return module.empty() || module == "builtins" ? name : module + "." + name;
}

// Runs `f`; the text ("Kind: message") of an ordinary Python error it raises, or nothing. Kept as
// Python text: an error's message may hold lone surrogates.
template <typename F>
std::optional<py::str> error_of(F&& f) {
  try {
    f();
    return std::nullopt;
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    py::str kind = py::type::of(e.value()).attr("__name__");
    py::str text(e.value());
    return py::len(text) == 0 ? kind : py::str("{}: {}").format(kind, text);
  }
}

}  // namespace

py::object diskcache_record(bool ok, const py::handle& msg, const py::handle& component_id) {
  py::dict entry("component_id"_a = component_id), empty;
  return outcome_record(rt().procedure_diskcache, ok, msg, ok ? entry : empty, ok ? empty : entry);
}

void report_failure(const py::object& self, const py::handle& component_id,
                    const py::handle& reason) {
  comp::mark_disk_failed(component(state(self), component_id));
  run_callback(self, diskcache_record(false, reason, component_id));
}

bool serve_or_miss(const py::object& self, const py::object& component_id,
                   const py::object& component) {
  py::object cache = comp::attached_diskcache(component);
  if (cache.is_none()) return true;
  // Everything the component serves, read once: what is pushed into the shell and handed to
  // children afterwards comes from what was read here.
  const std::optional<py::str> error = error_of([&] {
    for (const char* field : {"module_statements", "captured", "exception_msg", "last_output"}) {
      py::object value = cache.attr(field);
    }
    py::object outputs = cache.attr("non_module_outputs");
    for (py::handle name : outputs) py::object value = outputs[name];
  });
  if (!error) return true;
  vostrel::unload_diskcache(comp::native(component));
  report_failure(self, component_id,
                 py::str("The disk cache of component [{}] cannot be read ({}); it runs again.")
                     .format(comp::name(component), *error));
  return false;
}

namespace {

// The walk over the graph's nodes: code from the components, parameter text per component.
model::FingerprintWalk new_walk(PipelineState& st, const GraphObject& graph) {
  PipelineState* owner = &st;
  const GraphObject* g = &graph;
  return model::FingerprintWalk(
      graph.dag,
      [owner, g](std::size_t node) {
        return text_of(comp::cell_code(component(*owner, g->id(node))));
      },
      [owner, g](std::size_t node) { return parameter_text(*owner, g->id(node)); });
}

}  // namespace

std::string fingerprint(PipelineState& st, const py::handle& component_id) {
  const GraphObject& graph = pipeline::graph(st);
  const std::size_t node = node_of(graph, component_id);
  if (!st.fingerprints.active) return new_walk(st, graph).of(node);
  // Any change of a parameter value changes the text and so resets the walk.
  return st.fingerprints
      .walk_for(&graph, st.graph_version, parameter_text(st, py::none()),
                [&] { return new_walk(st, graph); })
      .of(node);
}

namespace {

// The inputs behind the component's fingerprint now.
model::Sources sources(PipelineState& st, const py::handle& component_id) {
  const GraphObject& graph = pipeline::graph(st);
  model::Sources out;
  out.code = model::digest(text_of(comp::cell_code(component(st, component_id))));
  out.parameters = parameter_sources(st, component_id);
  for (std::size_t parent : graph.dag.predecessors(node_of(graph, component_id))) {
    const py::object& id = graph.id(parent);
    out.parents[text_of(id)] = fingerprint(st, id);
  }
  return out;
}

}  // namespace

bool pickle_results(const py::object& self, PipelineState& st, const py::object& component_id,
                    const py::object& component, std::vector<PickledBlob>& blobs) {
  py::object last_output = component.attr("last_output");
  if (!support::quietly([&] { last_output = rt().serialize_value(last_output); })) {
    component.attr("last_output") = py::none();
    last_output = rt().serialize_value(py::none());
  }
  py::object outputs = component.attr("non_module_outputs");
  for (py::handle name : outputs) {
    py::object value = outputs[name];
    const std::optional<py::str> error =
        error_of([&] { blobs.emplace_back(text_of(name), "output", rt().serialize_value(value)); });
    if (!error) continue;
    report_failure(self, component_id,
                   py::str("Output '{}' of component [{}] (type {}) cannot be stored in the disk "
                           "cache: {}")
                       .format(name, comp::name(component), type_name(value), *error));
    return false;
  }
  py::dict meta;
  for (const char* name : {"module_statements", "captured", "exception_msg", "outputs_summary"}) {
    meta[name] = component.attr(name);
  }
  // What the result was computed from, and the inputs behind it: an adoption tells a stale cache
  // from a current one, and why it is stale.
  meta["fingerprint"] = fingerprint(st, component_id);
  const model::Sources now = sources(st, component_id);
  meta["sources"] =
      py::dict("code"_a = now.code, "parameters"_a = now.parameters, "parents"_a = now.parents);
  blobs.insert(blobs.begin(), {{"__meta__", "meta", rt().serialize_value(meta)},
                               {"__last_output__", "last_output", last_output}});
  return true;
}

std::optional<model::Reason> stale_reason(PipelineState& st, const py::handle& component_id,
                                          const std::string& path, std::string& recorded) {
  py::object cache;
  // Unreadable: loading it fails and is handled as any failed load. A handle on the folder reads
  // only the fields asked for.
  if (!support::quietly([&] {
        cache = py_values::lookup("orvane_core.cache:OrvaneDiskCache")(py::arg("cache_dir") =
                                                                           py_paths::str(path));
        recorded = py::str(cache.attr("fingerprint"));
      }) ||
      recorded.empty() || recorded == fingerprint(st, component_id)) {
    return std::nullopt;
  }
  // A record written by pickle_results; anything else reads as unknown.
  using Digests = std::map<std::string, std::string>;
  model::Sources before;
  try {
    py::object record = cache.attr("sources");
    before = {record["code"].cast<std::string>(), record["parameters"].cast<Digests>(),
              record["parents"].cast<Digests>()};
  } catch (const py::cast_error&) {
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
  return model::what_changed(before, sources(st, component_id));
}

}  // namespace orvane::pipeline::guard
