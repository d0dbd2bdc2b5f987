// A front end's follower of a run: takes the engine's summary records in one native step each.
#include <pybind11/pybind11.h>
#include <structmember.h>

#include <cstddef>
#include <cstring>
#include <ctime>
#include <vector>

namespace py = pybind11;

namespace orvane {
namespace {

// Ids of the components that finished in a record (owned references), kept off the Python heap:
// a list per record would be one more object for the garbage collector to count, thousands a run.
class Finished {
 public:
  Finished() = default;
  Finished(const Finished&) = delete;
  Finished& operator=(const Finished&) = delete;
  ~Finished() {
    for (PyObject* cid : ids_) Py_DECREF(cid);
  }
  void add(PyObject* cid) { ids_.push_back(Py_NewRef(cid)); }
  const std::vector<PyObject*>& ids() const { return ids_; }

 private:
  std::vector<PyObject*> ids_;
};

// The engine sends a summary after every change of state, two per component of a run, and the
// front end's callback takes each one. A plain type with a METH_O method: taking a record must
// cost far less than making it does.
struct Follower {
  PyObject_HEAD PyObject* summary;  // the latest summary taken (None before the first)
  PyObject* plan;                   // ids of the components of the run followed (a set)
  PyObject* running;                // ids seen running in it
  PyObject* since;                  // id -> start of a running component (time.monotonic()'s clock)
  PyObject* entries;                // the component list of the summary taken last
  PyObject* on_finished;  // called with each id of the run that finished; None: nothing followed
  PyObject* lock;         // held while on_finished runs (acquire / release)
  PyObject* updated;      // the record procedure of a summary
  PyObject* successful;   // the record status of a summary
  PyObject* running_status;
  PyObject* finished_statuses;  // a tuple
  Py_ssize_t records;           // records taken, summaries or not
  char dirty;                   // a summary came since the views were last drawn
};

PyObject** object_fields(Follower* f) {
  static_assert(offsetof(Follower, finished_statuses) - offsetof(Follower, summary) ==
                10 * sizeof(PyObject*));
  return &f->summary;
}
constexpr int kObjectFields = 11;

// One field of a summary entry (a dict, or any mapping): a new reference, or null with KeyError.
PyObject* field(PyObject* entry, PyObject* key) {
  if (PyDict_CheckExact(entry)) {
    PyObject* found = PyDict_GetItemWithError(entry, key);
    if (found != nullptr) return Py_NewRef(found);
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
  }
  return PyObject_GetItem(entry, key);
}

// Whether `status` equals one of the items of tuple `statuses` (-1 on error).
int status_in(PyObject* status, PyObject* statuses) {
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(statuses); ++k) {
    const int equal = PyObject_RichCompareBool(status, PyTuple_GET_ITEM(statuses, k), Py_EQ);
    if (equal != 0) return equal;
  }
  return 0;
}

// The containers of the run a record is followed in, held for the record: reading an entry that
// is no plain dict may run Python code, which may replace the follower's fields.
struct Run {
  PyObject* plan;
  PyObject* running;
  PyObject* since;
  PyObject* running_status;
  PyObject* finished_statuses;
};

// What one changed entry means for the run: a component of the plan that starts running joins
// `running` and gets its start time in `since`; one of `running` that leaves that status loses
// its start time and, when it finished, leaves `running` and is added to `out`.
int follow_entry(const Run* f, PyObject* entry, double clock, Finished* out) {
  static PyObject* const status_key = PyUnicode_InternFromString("execution_status");
  static PyObject* const id_key = PyUnicode_InternFromString("identifier");
  PyObject* status = field(entry, status_key);
  if (status == nullptr) return -1;
  PyObject* cid = field(entry, id_key);
  int ok = cid != nullptr ? 0 : -1;
  int is_running = ok == 0 ? PyObject_RichCompareBool(status, f->running_status, Py_EQ) : -1;
  if (is_running == 1) {
    int planned = PySet_Contains(f->plan, cid);
    if (planned == 1) {
      int known = PyDict_Contains(f->since, cid);
      ok = PySet_Add(f->running, cid);
      if (ok == 0 && known == 0) {
        PyObject* start = PyFloat_FromDouble(clock);
        ok = start != nullptr ? PyDict_SetItem(f->since, cid, start) : -1;
        Py_XDECREF(start);
      } else if (known < 0) {
        ok = -1;
      }
    } else if (planned < 0) {
      ok = -1;
    }
  } else if (is_running == 0) {
    int tracked = PySet_Contains(f->running, cid);
    if (tracked == 1) {
      if (PyDict_Contains(f->since, cid) == 1) ok = PyDict_DelItem(f->since, cid);
      int done = ok == 0 ? status_in(status, f->finished_statuses) : -1;
      if (done == 1) {
        ok = PySet_Discard(f->running, cid) >= 0 ? 0 : -1;
        if (ok == 0) out->add(cid);
      } else if (done < 0) {
        ok = -1;
      }
    } else if (tracked < 0) {
      ok = -1;
    }
  } else {
    ok = -1;
  }
  Py_DECREF(status);
  Py_XDECREF(cid);
  return ok;
}

// Looks at the entries of list `now` that are other objects than those of the list taken last
// at the same position (or past its end): summaries keep the entry objects of unchanged
// components, so this reads two pointer arrays and the few entries that changed. Returns 0 and
// the ids that finished added to `out`, or -1.
int follow_entries(const Run* run, PyObject* now, PyObject* before, Finished* out) {
  const Py_ssize_t n = PyList_GET_SIZE(now);
  const Py_ssize_t m = PyList_GET_SIZE(before);
  PyObject** a = PySequence_Fast_ITEMS(now);
  PyObject** b = PySequence_Fast_ITEMS(before);
  const Py_ssize_t common = n < m ? n : m;
  double clock = -1.0;  // when components started, read once per record
  // Blocks of pointers that are all equal are skipped with one memcmp: most entries are.
  constexpr Py_ssize_t kBlock = 64;
  for (Py_ssize_t start = 0; start < n; start += kBlock) {
    const Py_ssize_t end = start + kBlock < n ? start + kBlock : n;
    if (end <= common &&
        std::memcmp(a + start, b + start, (end - start) * sizeof(PyObject*)) == 0) {
      continue;
    }
    for (Py_ssize_t i = start; i < end; ++i) {
      if (i < common && a[i] == b[i]) continue;
      if (clock < 0) {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        clock = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
      }
      PyObject* entry = Py_NewRef(a[i]);
      const int ok = follow_entry(run, entry, clock, out);
      Py_DECREF(entry);
      if (ok < 0) return -1;
      // Reading an entry that is no plain dict may run Python code, which may edit the lists.
      if (PyList_GET_SIZE(now) != n || PyList_GET_SIZE(before) != m) {
        PyErr_SetString(PyExc_RuntimeError, "a summary list changed while it was read");
        return -1;
      }
      a = PySequence_Fast_ITEMS(now);
      b = PySequence_Fast_ITEMS(before);
    }
  }
  return 0;
}

// Calls on_finished with each id of `finished`, holding the lock (released on errors too).
int report_finished(PyObject* lock, PyObject* report, const Finished& finished) {
  static PyObject* const acquire = PyUnicode_InternFromString("acquire");
  static PyObject* const release = PyUnicode_InternFromString("release");
  PyObject* held = PyObject_CallMethodNoArgs(lock, acquire);
  if (held == nullptr) return -1;
  Py_DECREF(held);
  int ok = 0;
  for (std::size_t i = 0; ok == 0 && i < finished.ids().size(); ++i) {
    PyObject* done = PyObject_CallOneArg(report, finished.ids()[i]);
    ok = done != nullptr ? 0 : -1;
    Py_XDECREF(done);
  }
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);  // an error of on_finished is the one raised
  PyObject* released = PyObject_CallMethodNoArgs(lock, release);
  if (released == nullptr && type != nullptr) PyErr_Clear();
  Py_XDECREF(released);
  if (type != nullptr) PyErr_Restore(type, value, tb);
  return ok == 0 && released != nullptr ? 0 : -1;
}

// Whether every field is set (a member can be deleted from Python); raises when not.
bool complete(Follower* f) {
  PyObject** fields = object_fields(f);
  for (int i = 0; i < kObjectFields; ++i) {
    if (fields[i] == nullptr) {
      PyErr_SetString(PyExc_AttributeError, "a RunFollower field was deleted or never set");
      return false;
    }
  }
  return true;
}

// take(record): counts the record; a summary (procedure `updated`, status `successful`) becomes
// the latest one and, while a run is followed, its changed entries are followed. True when the
// record was a summary; other records are left to the caller.
PyObject* take(PyObject* self, PyObject* record) {
  static PyObject* const procedure_name = PyUnicode_InternFromString("procedure");
  static PyObject* const status_name = PyUnicode_InternFromString("status");
  static PyObject* const successful_name = PyUnicode_InternFromString("successful");
  static PyObject* const components_key = PyUnicode_InternFromString("components");
  auto* f = reinterpret_cast<Follower*>(self);
  if (!complete(f)) return nullptr;
  ++f->records;
  PyObject* procedure = PyObject_GetAttr(record, procedure_name);
  if (procedure == nullptr) return nullptr;
  Py_DECREF(procedure);  // compared by identity only
  if (procedure != f->updated) Py_RETURN_FALSE;
  PyObject* status = PyObject_GetAttr(record, status_name);
  if (status == nullptr) return nullptr;
  Py_DECREF(status);
  if (status != f->successful) Py_RETURN_FALSE;
  PyObject* summary = PyObject_GetAttr(record, successful_name);
  if (summary == nullptr) return nullptr;
  Py_XSETREF(f->summary, summary);
  f->dirty = 1;
  if (f->on_finished == Py_None) Py_RETURN_TRUE;
  // Each record is looked at, not only drawn ones: the engine may drop a component's results
  // from memory soon after it finishes.
  PyObject* found = PyDict_Check(summary)
                        ? Py_XNewRef(PyDict_GetItemWithError(summary, components_key))
                        : PyObject_GetItem(summary, components_key);
  if (found == nullptr) {
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
    PyErr_Clear();
    found = PyList_New(0);
  } else if (!PyList_CheckExact(found)) {
    Py_SETREF(found, PySequence_List(found));
  }
  if (found == nullptr) return nullptr;
  if (!complete(f) || !PyAnySet_Check(f->plan) || !PySet_Check(f->running) ||
      !PyDict_Check(f->since) || !PyList_Check(f->entries) ||
      !PyTuple_Check(f->finished_statuses)) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_TypeError,
                      "plan, running, since, entries and finished_statuses must be a set, a set, "
                      "a dict, a list and a tuple");
    }
    Py_DECREF(found);
    return nullptr;
  }
  // Strong references for the record: the fields may be replaced while it is followed.
  PyObject* held[] = {
      Py_NewRef(f->plan),           Py_NewRef(f->running),           Py_NewRef(f->since),
      Py_NewRef(f->running_status), Py_NewRef(f->finished_statuses), Py_NewRef(f->entries),
      Py_NewRef(f->lock),           Py_NewRef(f->on_finished)};
  const Run run{held[0], held[1], held[2], held[3], held[4]};
  Finished finished;
  int ok = follow_entries(&run, found, held[5], &finished);
  if (ok == 0) {
    Py_XSETREF(f->entries, Py_NewRef(found));
    if (!finished.ids().empty()) ok = report_finished(held[6], held[7], finished);
  }
  Py_DECREF(found);
  for (PyObject* h : held) Py_DECREF(h);
  if (ok < 0) return nullptr;
  Py_RETURN_TRUE;
}

int init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"lock",           "updated",           "successful",
                                "running_status", "finished_statuses", nullptr};
  PyObject *lock, *updated, *successful, *running_status, *finished_statuses;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO!", const_cast<char**>(names), &lock,
                                   &updated, &successful, &running_status, &PyTuple_Type,
                                   &finished_statuses)) {
    return -1;
  }
  auto* f = reinterpret_cast<Follower*>(self);
  PyObject* made[] = {Py_NewRef(Py_None),
                      PySet_New(nullptr),
                      PySet_New(nullptr),
                      PyDict_New(),
                      PyList_New(0),
                      Py_NewRef(Py_None),
                      Py_NewRef(lock),
                      Py_NewRef(updated),
                      Py_NewRef(successful),
                      Py_NewRef(running_status),
                      Py_NewRef(finished_statuses)};
  static_assert(sizeof(made) / sizeof(made[0]) == kObjectFields);
  PyObject** fields = object_fields(f);
  bool failed = false;
  for (int i = 0; i < kObjectFields; ++i) {
    failed |= made[i] == nullptr;
    Py_XSETREF(fields[i], made[i]);
  }
  f->records = 0;
  f->dirty = 0;
  return failed ? -1 : 0;
}

int traverse(PyObject* self, visitproc visit, void* arg) {
  PyObject** fields = object_fields(reinterpret_cast<Follower*>(self));
  for (int i = 0; i < kObjectFields; ++i) Py_VISIT(fields[i]);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int clear(PyObject* self) {
  PyObject** fields = object_fields(reinterpret_cast<Follower*>(self));
  for (int i = 0; i < kObjectFields; ++i) Py_CLEAR(fields[i]);
  return 0;
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"take", take, METH_O,
     "take(record) -> bool\n--\n\nCounts the record; a summary becomes `summary` (and sets "
     "`dirty`) and, while `on_finished` is set, the components of `plan` that started (into "
     "`running` and `since`) or finished (on_finished(id), holding `lock`) in it are followed. "
     "True for a summary."},
    {nullptr, nullptr, 0, nullptr}};

#define FIELD(name, doc) {#name, T_OBJECT_EX, offsetof(Follower, name), 0, doc}
PyMemberDef members[] = {
    FIELD(summary, "The latest summary taken."),
    FIELD(plan, "Ids of the components of the run followed."),
    FIELD(running, "Ids of the run's components seen running."),
    FIELD(since, "Start of each running component of the run (time.monotonic()'s clock), by id."),
    FIELD(entries, "The component list of the summary taken last."),
    FIELD(on_finished, "Called with each id of the run that finished; None: no run followed."),
    {"records", T_PYSSIZET, offsetof(Follower, records), READONLY, "Records taken."},
    {"dirty", T_BOOL, offsetof(Follower, dirty), 0, "A summary came since the last draw."},
    {nullptr, 0, 0, 0, nullptr}};
#undef FIELD

PyType_Slot slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(init)},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_methods, methods},
    {Py_tp_members, members},
    {Py_tp_doc, const_cast<char*>("RunFollower(lock, updated, successful, running_status, "
                                  "finished_statuses): a front end's state of the run it "
                                  "follows, taken from the engine's records.")},
    {0, nullptr}};

PyType_Spec follower_type = {"orvane_core._native.RunFollower", sizeof(Follower), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};

}  // namespace

void bind_follow(py::module_& m) {
  PyObject* type = PyType_FromSpec(&follower_type);
  if (type == nullptr) throw py::error_already_set();
  m.add_object("RunFollower", py::reinterpret_steal<py::object>(type));
}

}  // namespace orvane
