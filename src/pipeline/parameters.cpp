// Pipeline members: the parameter store (values, their text view for the front end, and
// validated replacement of the whole set).
#include <string>

#include "common/pyclass.hpp"
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline {

namespace {

constexpr const char* kInvalidLiterals = "Parameter names/fields contain invalid Python literals";
constexpr const char* kUpdated = "Parameters have updated successfully.";

py::dict entries_of(const py::list& entries) { return py::dict(py::arg("entries") = entries); }

// Evaluates one record's value text (ast.literal_eval); false means it does not parse.
bool evaluate_value(const py::handle& record, py::object& value) {
  static py::handle literal_eval = py_values::lookup("ast:literal_eval").release();
  py::object text = record.attr("value");
  try {
    value = literal_eval(text);
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_SyntaxError)) return false;
    if (!e.matches(PyExc_ValueError)) throw;
    // Parses but is no literal (a bare word, a call): taken as the text itself. The view shows
    // non-finite floats as bare words, so a record typed float keeps them as floats.
    value = text;
    if (!py::isinstance<py::str>(text)) return true;
    if (auto number =
            model::parameter_word(py_values::utf8(record.attr("type")),
                                  py_values::utf8(text.attr("strip")().attr("lower")()))) {
      value = py::float_(*number);
    }
    return true;
  }
  // The view escapes characters outside the Basic Multilingual Plane as JSON surrogate pairs,
  // which evaluate to two lone surrogates; joined again, the text round-trips to the string it
  // showed. A lone surrogate that pairs with nothing stays as it is.
  if (!py::isinstance<py::str>(value)) return true;
  py_values::quietly([&] {
    value = value.attr("encode")("utf-16-le", "surrogatepass").attr("decode")("utf-16-le");
  });
  return true;
}

}  // namespace

py::list parameter_entries(const PipelineState& st, const py::handle& make) {
  static py::handle dumps = py_values::lookup("json:dumps").release();
  py::list entries;
  for (const auto& [name, value] : st.parameters) {
    py::str type_name = py::type::of(value).attr("__qualname__");
    py::object text = py::str(value);
    if (type_name.equal(py::str("str"))) text = dumps(text);
    entries.append(
        make(py::arg("name") = name, py::arg("type") = type_name, py::arg("value") = text));
  }
  return entries;
}

void set_parameters(const py::object& self, const py::object& new_parameters) {
  py::list failed;
  py::dict params;
  static py::handle keyword = py_values::lookup("keyword:iskeyword").release();

  for (py::handle record : new_parameters) {
    py::object name = record.attr("name");
    if (!py::isinstance<py::str>(name)) {
      throw py::type_error("Parameter name must be a string, not " +
                           text_of(py::type::of(name).attr("__name__")) + ".");
    }
    py::object value;
    if (PyUnicode_IsIdentifier(name.ptr()) != 1 || truthy(keyword(name)) ||
        !evaluate_value(record, value)) {
      failed.append(record.attr("dict")());
      continue;
    }
    params[name] = value;
  }

  PipelineState& st = state(self);
  if (failed.size() > 0) {
    run_callback(self, outcome_record(rt().procedure_parameters, false, py::str(kInvalidLiterals),
                                      entries_of(parameter_entries(st)), entries_of(failed)));
    throw py::value_error(kInvalidLiterals);
  }
  if (st.parameters.equal(params)) return;
  // The components are invalidated after the front end has seen the new values.
  const py::dict before = st.parameters.attr("copy")();
  PyDict_Clear(st.parameters.ptr());
  if (PyDict_Update(st.parameters.ptr(), params.ptr()) != 0) throw py::error_already_set();
  run_callback(self, outcome_record(rt().procedure_parameters, true, py::str(kUpdated),
                                    entries_of(parameter_entries(st))));
  // Caches a search set aside for these values come back first: their components stay current
  // (a load into a successful component counts no new success).
  invalidate_for_new_parameters(self, st, before, restore_paused(self, st));
  run_summary(self);
}

void register_parameters(py::module_& /*m*/, const py::object& cls) {
  pyclass::def_property_readonly(
      cls, "parameters", [](const PipelineState& st) { return st.parameters.attr("copy")(); },
      "Pipeline parameters.");
  pyclass::def_property_readonly(
      cls, "parameters_view",
      [](const PipelineState& st) { return parameter_entries(st, rt().parameter_record); },
      "Pipeline parameters as text records.");
  pyclass::def(cls, "set_parameters", &set_parameters, py::arg("new_parameters"),
               "Set pipeline parameters.");
}

}  // namespace orvane::pipeline
