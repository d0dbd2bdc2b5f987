// Running a component: in the shell, in a worker pool or remotely, and recording its errors.
#include <string>

#include "common/error_banner.hpp"
#include "core/component_state.hpp"
#include "vostrel/component.hpp"

namespace orvane::vostrel {

using namespace pybind11::literals;

namespace {

py::dict stderr_entry(py::handle text) {
  return py::dict("type"_a = "stream", "name"_a = "<stderr>", "text"_a = text);
}

// Marks the component FAILED with its error banner and the text its stderr shows; the status
// last, as for every outcome.
void set_failed(ComponentNative& c, py::handle banner, py::handle text) {
  cache_set(c, Field::ExceptionMsg, banner);
  cache_set(c, Field::Captured,
            captured_io()("outputs"_a = py::list(py::make_tuple(stderr_entry(text)))));
  set_status(c, Status::Failed);
}

// Enters RUNNING, records what flows in (None: nothing) and builds the executor's request;
// shared by both execution paths.
py::object begin_run(ComponentNative& c, py::object module_statements, py::object non_module_inputs,
                     py::handle parameters) {
  if (module_statements.is_none()) module_statements = py::dict();
  if (non_module_inputs.is_none()) non_module_inputs = py::dict();
  set_status(c, Status::Running);
  py::list imports;
  add_imports(imports, module_statements);
  set_in_and_out(c,
                 in_out_model()("inputs"_a = list_copy(non_module_inputs), "imports"_a = imports));
  return kept("orvane_core.misc.models:OrvaneExecutionRequestModel")(
      "identifier"_a = c.id, "name"_a = c.name, "cell_code"_a = c.cell_code,
      "module_statements"_a = module_statements, "non_module_inputs"_a = non_module_inputs,
      "parameters"_a = parameters);
}

// Records an executor's response (an OrvaneExecutionResponseModel): its result (an
// OrvaneCacheModel) and its stderr text. The status is written last: a completion on the pool's
// result thread must not show a final status before the rest of the record is in place.
py::object apply_response(ComponentNative& c, py::handle response) {
  // A status code that is not an integer, or too large for a long, is a failure.
  py::object code = response.attr("status");
  const long value = PyLong_Check(code.ptr()) ? PyLong_AsLong(code.ptr()) : -1;
  if (value == -1) PyErr_Clear();
  const component::RunOutcome outcome = component::run_outcome(value);
  py::object message = response.attr("message"), result = response.attr("result");
  if (outcome == component::RunOutcome::Failed) {
    c.clear_memory_cache();
    set_failed(c, result.attr("exception_msg"), message);
    return py::none();
  }
  load_in_memory_cache(c, in_memory_cache()("cache"_a = result));
  if (outcome == component::RunOutcome::Partial) {
    py::object captured = cache_get(c, Field::Captured);
    if (!truthy(captured)) {
      captured = captured_io()("outputs"_a = py::list());
      cache_set(c, Field::Captured, captured);
    }
    captured.attr("outputs").attr("append")(stderr_entry(message));
  }
  c.in_and_out.attr("outputs") = list_copy(cache_get(c, Field::NonModuleOutputs));
  c.in_and_out.attr("summary") = outputs_summary(c);
  c.touch();
  set_status(c, Status::Successful);
  return cache_get(c, Field::LastOutput);
}

// The traceback from its first frame outside this package's own modules: the frames of the
// executor that ran the cell (an interrupt passes through them) mean nothing to the user. A
// traceback made only of such frames (a fault of the package itself) is kept whole.
py::object skip_package_frames(py::object trace) {
  static const std::string package = [] {
    const std::string init = utf8(kept("orvane_core:__file__"));  // the package's __init__.py
    return init.substr(0, init.rfind('/') + 1);
  }();
  py::object tb = trace;
  while (PyTraceBack_Check(tb.ptr())) {
    const std::string file = utf8(tb.attr("tb_frame").attr("f_code").attr("co_filename"));
    if (file.compare(0, package.size(), package) != 0) return tb;
    tb = tb.attr("tb_next");
  }
  return trace;
}

// Records an error: its banner and captured output, and the component FAILED, dropping the
// results first when `drop_results`. `use_handled` follows the exception being handled in this
// thread when there is one; without one (pool callbacks, a failed ping outside a handler) the
// exception object itself is used, with `raised_trace` when it carries no traceback (an error
// fetched from C holds it apart). Never raises: when even recording the error fails, the
// component must still end FAILED.
void fail_with(ComponentNative& c, py::handle exc, bool use_handled, bool drop_results,
               py::handle raised_trace = py::handle()) {
  try {
    if (drop_results) c.clear_memory_cache();
    py::object value = use_handled ? kept("sys:exception")() : py::object(py::none());
    if (value.is_none()) value = py::reinterpret_borrow<py::object>(exc);
    if (!PyExceptionInstance_Check(value.ptr())) return set_status(c, Status::Failed);
    py::object trace = py::getattr(value, "__traceback__", py::none());
    if (trace.is_none() && raised_trace) trace = py::reinterpret_borrow<py::object>(raised_trace);
    trace = skip_package_frames(trace);
    const bool interrupt = PyErr_GivenExceptionMatches(exc.ptr(), PyExc_KeyboardInterrupt);
    const std::string interrupted = "Interrupted at component '" + utf8(c.name) + "'";
    py::list banner = error_banner::lines(value, trace, interrupt ? &interrupted : nullptr);
    set_failed(c, banner, py::str("\n").attr("join")(banner));
  } catch (py::error_already_set&) {
    try {
      set_status(c, Status::Failed);
    } catch (py::error_already_set&) {
      c.assign_status(Status::Failed);
      c.touch();
    }
  }
}

// The executor that runs the component: the remote one when it has a remote configuration
// (`remote`), the local one otherwise. An unreachable remote one fails the component: for a pool
// (`pooled`) by raising the error, otherwise by recording it and returning None.
py::object executor(ComponentNative& c, bool remote, bool pooled) {
  py::handle executors = kept("orvane_core.executors");
  if (!remote) return executors.attr(pc::intern("OrvaneComponentExecutor"))(c.id, c.name);
  py::object config = c.remote_config();
  py::object made = executors.attr("OrvaneRemoteComponentExecutor")(
      "identifier"_a = c.id, "name"_a = c.name, "backend"_a = config.attr("backend"),
      "broker"_a = config.attr("broker"));
  auto [reachable, message] = unpack2(made.attr("ping")());
  if (truthy(reachable)) return made;
  const std::string error = "An error occurred creating OrvaneRemoteComponentExecutor: " +
                            utf8(py::str("{}").format(message));
  if (pooled) {
    set_status(c, Status::Failed);
    raise(PyExc_RuntimeError, error);
  }
  fail_with(c, py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(from_utf8(error)), true,
            false);
  return py::none();
}

// An executor's pickled answer as its response. A worker of a run's own pool answers in the
// executor's short form, read where it is made.
py::object read_reply(py::handle reply) {
  py::object loaded = kept("cloudpickle:loads")(reply);
  if (!PyTuple_Check(loaded.ptr())) return loaded;
  return kept("orvane_core.executors.component_executors.local:read_answer")(loaded);
}

// Runs on the pool's result thread: an exception escaping here would kill that thread and
// leave every later task of the pool without completion, so failures are recorded instead.
py::object execute_async_result(ComponentNative& c, py::object response) {
  try {
    return apply_response(c, read_reply(response));
  } catch (py::error_already_set& e) {
    fail(c, e, true);
    return py::none();
  }
}

}  // namespace

py::object execute(ComponentNative& c, py::object module_statements, py::object non_module_inputs,
                   py::object parameters, py::object shell) {
  py::object request = begin_run(c, module_statements, non_module_inputs, parameters);
  const bool remote = truthy(c.remote_config());
  py::object runner = executor(c, remote, false);
  if (runner.is_none()) return py::none();
  if (remote) {
    return apply_response(
        c, read_reply(runner.attr("execute")("request"_a = kept("cloudpickle:dumps")(request))));
  }
  return apply_response(c,
                        runner.attr("execute")("request"_a = request, "ipython_shell"_a = shell));
}

std::pair<py::object, py::object> pool_task(ComponentNative& c, py::object module_statements,
                                            py::object non_module_inputs, py::object parameters) {
  py::object request = kept("orvane_core.executors.process_pool:dumps")(
      begin_run(c, module_statements, non_module_inputs, parameters));
  const bool remote = truthy(c.remote_config());
  py::object runner = executor(c, remote, true);
  return {runner.attr(pc::intern(remote ? "execute" : "execute_with_serialized")), request};
}

py::object execute_async(py::object self, py::object process_pool, py::object module_statements,
                         py::object non_module_inputs, py::object parameters) {
  auto [func, request] = pool_task(native(self), module_statements, non_module_inputs, parameters);
  return process_pool.attr(pc::intern("apply_async"))(
      "func"_a = func, "args"_a = py::make_tuple(request),
      "callback"_a = self.attr(pc::intern("_execute_async_result")),
      "error_callback"_a = self.attr(pc::intern("handle_error")));
}

void fail(ComponentNative& c, py::error_already_set& error, bool drop_results) {
  fail_with(c, error.value(), false, drop_results, error.trace());
}

void complete(ComponentNative& c, bool ok, py::object value) {
  if (!ok) return fail_with(c, value, false, false);
  execute_async_result(c, value);
}

void register_execution(const py::object& cls) {
  pc::def(cls, "execute", &execute, py::arg("module_statements") = py::none(),
          py::arg("non_module_inputs") = py::none(), py::arg("parameters") = py::none(),
          py::arg("shell") = py::none(), "Execute synchronously.");
  pc::def(
      cls, "handle_error",
      [](ComponentNative& c, py::object exc) { fail_with(c, exc, true, false); }, py::arg("exc"),
      "Called when an error occurs in asynchronous execution.");
  pc::def(cls, "execute_async", &execute_async, py::arg("process_pool"),
          py::arg("module_statements") = py::none(), py::arg("non_module_inputs") = py::none(),
          py::arg("parameters") = py::none(), "Execute asynchronously.");
  pc::def(cls, "_execute_async_result", &execute_async_result, py::arg("response"),
          "Callback when asynchronous execution is complete.");
}

}  // namespace orvane::vostrel
