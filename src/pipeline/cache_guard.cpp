// Cache misses instead of errors, and writes that complete at once; see cache_guard.hpp.
#include "pipeline/cache_guard.hpp"

#include <string>
#include <utility>
#include <vector>

#include "common/py_paths.hpp"
#include "core/cache_fingerprint.hpp"
#include "core/cache_folders.hpp"
#include "pipeline/component_access.hpp"
#include "pipeline/diskcache_support.hpp"
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline::guard {

namespace {

namespace sup = support;

std::string type_name(const py::handle& value) {
  py::object type = py::type::of(value);
  std::string module = py::str(py::getattr(type, "__module__", py::str("")));
  std::string name = py::str(py::getattr(type, "__qualname__", type.attr("__name__")));
  return module.empty() || module == "builtins" ? name : module + "." + name;
}

// The text of the Python error being handled, which is then cleared.
std::string take_error_text(py::error_already_set& e) {
  std::string text = py::str(e.value());
  std::string kind = py::str(py::type::of(e.value()).attr("__name__"));
  e.restore();
  PyErr_Clear();
  return text.empty() ? kind : kind + ": " + text;
}

}  // namespace

void report_failure(const py::object& self, const py::object& component_id,
                    const py::object& component, const py::object& reason) {
  comp::mark_disk_failed(component);
  run_callback(self, outcome_record(rt().procedure_diskcache, false, reason, py::dict(),
                                    component_entry(component_id)));
}

bool serve_or_miss(const py::object& self, const py::object& component_id,
                   const py::object& component) {
  py::object cache = comp::attached_diskcache(component);
  if (cache.is_none()) return true;
  try {
    // Everything the component serves, read once: what is pushed into the shell and handed to
    // children afterwards comes from what was read here.
    for (const char* field : {"module_statements", "captured", "exception_msg", "last_output"}) {
      py::object value = cache.attr(field);
    }
    py::object outputs = cache.attr("non_module_outputs");
    for (py::handle name : outputs) py::object value = outputs[name];
    return true;
  } catch (py::error_already_set& e) {
    if (!sup::is_exception(e)) throw;
    py::str reason("The disk cache of component [{}] cannot be read ({}); it runs again.");
    reason = reason.format(comp::name(component), take_error_text(e));
    component.attr("unload_diskcache")();
    report_failure(self, component_id, component, reason);
    return false;
  }
}

py::object pickle_outputs(const py::object& self, const py::object& component_id,
                          const py::object& component) {
  py::dict serialized;
  py::object outputs = component.attr("non_module_outputs");
  for (py::handle name : outputs) {
    py::object value = outputs[name];
    try {
      serialized[name] = rt().serialize_value(value);
    } catch (py::error_already_set& e) {
      if (!sup::is_exception(e)) throw;
      py::str reason(
          "Output '{}' of component [{}] (type {}) cannot be stored in the disk cache: {}");
      reason = reason.format(name, comp::name(component), type_name(value), take_error_text(e));
      report_failure(self, component_id, component, reason);
      return py::none();
    }
  }
  return serialized;
}

bool complete_at_once(const py::object& self, const py::object& component_id,
                      const py::object& component, std::int64_t success_count) {
  PipelineState& st = state(self);
  if (st.reused.erase(text_of(component_id)) == 0) return false;
  py::object cache = comp::attached_diskcache(component);
  if (cache.is_none()) return false;
  py::object folder = cache.attr("cache_dir");
  if (!inspect(py_paths::text(folder), true).is_dir) return false;
  st.completed_writes.push_back({component_id, success_count, folder});
  return true;
}

namespace {

// The walk over the graph's nodes: code from the components, parameter text per component.
model::FingerprintWalk new_walk(PipelineState& st, const GraphObject& graph) {
  PipelineState* owner = &st;
  const GraphObject* g = &graph;
  return model::FingerprintWalk(
      graph.dag,
      [owner, g](std::size_t node) {
        return std::string(py::str(comp::cell_code(component(*owner, g->id(node)))));
      },
      [owner, g](std::size_t node) { return parameter_text(*owner, g->id(node)); });
}

}  // namespace

py::str fingerprint(const py::object& self, const py::object& component_id) {
  PipelineState& st = state(self);
  const GraphObject& graph = pipeline::graph(st);
  const std::size_t node = node_of(graph, component_id);
  PipelineState::Fingerprints& run = st.fingerprints;
  if (!run.active) return py::str(new_walk(st, graph).of(node));
  // Remembered for one graph, graph version and parameter set (any change of a value resets it).
  std::string parameters = parameter_text(st, py::none());
  if (!run.walk || run.graph != &graph || run.graph_version != st.graph_version ||
      run.parameters != parameters) {
    run.walk.emplace(new_walk(st, graph));
    run.graph = &graph;
    run.graph_version = st.graph_version;
    run.parameters = std::move(parameters);
  }
  return py::str(run.walk->of(node));
}

model::Sources sources(const py::object& self, const py::object& component_id) {
  PipelineState& st = state(self);
  const GraphObject& graph = pipeline::graph(st);
  model::Sources out;
  out.code = model::digest(py::str(comp::cell_code(component(st, component_id))));
  out.parameters = parameter_sources(st, component_id);
  for (std::size_t parent : graph.dag.predecessors(node_of(graph, component_id))) {
    const py::object& id = graph.id(parent);
    out.parents[text_of(id)] = std::string(fingerprint(self, id));
  }
  return out;
}

py::dict sources_record(const model::Sources& sources) {
  py::dict parameters, parents;
  for (const auto& [name, print] : sources.parameters) parameters[py::str(name)] = print;
  for (const auto& [id, print] : sources.parents) parents[py::str(id)] = print;
  py::dict out;
  out["code"] = sources.code;
  out["parameters"] = parameters;
  out["parents"] = parents;
  return out;
}

namespace {

// A record written by sources_record; anything else reads as unknown.
model::Sources sources_of_record(const py::handle& record) {
  model::Sources out;
  if (!py::isinstance<py::dict>(record)) return out;
  py::dict fields = py::reinterpret_borrow<py::dict>(record);
  auto text_map = [&](const char* field, std::map<std::string, std::string>& into) {
    py::object value = fields.attr("get")(field);
    if (!py::isinstance<py::dict>(value)) return;
    for (const auto& item : py::reinterpret_borrow<py::dict>(value)) {
      into[text_of(item.first)] = text_of(item.second);
    }
  };
  out.code = text_of(fields.attr("get")("code", py::str("")));
  text_map("parameters", out.parameters);
  text_map("parents", out.parents);
  return out;
}

}  // namespace

std::optional<model::Reason> stale_reason(const py::object& self, const py::object& component_id,
                                          const py::object& path, std::string* recorded_out) {
  std::string recorded;
  py::object record;
  try {
    py::object cache = sup::disk_cache_class()(py::arg("cache_dir") = path);
    recorded = py::str(py::getattr(cache, "fingerprint", py::str("")));
    if (!recorded.empty() && recorded != std::string(fingerprint(self, component_id))) {
      record = py::getattr(cache, "sources", py::none());
    }
    cache.attr("close")();
  } catch (py::error_already_set& e) {
    // Unreadable: loading it fails and is handled as any failed load.
    if (!sup::is_exception(e)) throw;
    return std::nullopt;
  }
  if (recorded_out != nullptr) *recorded_out = recorded;
  if (!record) return std::nullopt;
  return model::what_changed(sources_of_record(record), sources(self, component_id));
}

}  // namespace orvane::pipeline::guard
