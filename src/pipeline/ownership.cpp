// Ownership of pipeline cache directories; see ownership.hpp.
#include "pipeline/ownership.hpp"

#include <unistd.h>

#include <string>

#include "common/fork_guard.hpp"
#include "core/cache_paths.hpp"
#include "core/cache_store.hpp"
#include "core/dir_lock.hpp"
#include "pipeline/component_access.hpp"
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline::ownership {

namespace {

// id -> token of the owning pipeline. Tokens are (creator pid, lock path, unique object).
py::dict& owner_tokens() {
  static py::dict* tokens = new py::dict();  // leaked on purpose: used during shutdown
  return *tokens;
}

py::object& owners() {
  static py::object* live =
      new py::object(py::module_::import("weakref").attr("WeakValueDictionary")());
  return *live;
}

py::object token_of(const py::object& self) {
  return py::isinstance<PipelineState>(self) ? state(self).owner_token : py::object(py::none());
}

}  // namespace

Claim claim_directory(const py::object& self, const py::object& app_root) {
  const std::string id = py::str(state(self).id).cast<std::string>();
  py::object os = py::module_::import("os");
  const std::string root = os.attr("fspath")(app_root).cast<std::string>();
  // The shared default location may not be a link (another user could point it elsewhere); a
  // location the user chose may.
  py::object utils = py::module_::import("orvane_core.common.utils");
  const bool allow_link = py::bool_(utils.attr("root_allows_link")(app_root));
  PipelineDirectory claimed;
  try {
    py::gil_scoped_release release;
    claimed = claim_pipeline_directory(root, id, allow_link, kManifestName);
  } catch (const UnsafeDirectoryError& e) {
    throw std::runtime_error(std::string(e.what()) +
                             " Set ORVANE_TEMP_DIR to a private directory.");
  }
  Claim out;
  out.path = py::str(claimed.path);
  out.adopt = claimed.existed;
  out.lock_path = claimed.lock_path;
  return out;
}

void become_owner(const py::object& self, const Claim& claim) {
  PipelineState& st = state(self);
  py::object id = st.id;
  py::object previous = owners().attr("get")(id);
  py::object token = py::make_tuple(static_cast<long>(::getpid()), claim.lock_path,
                                    py::module_::import("builtins").attr("object")());
  st.owner_token = token;
  owner_tokens()[id] = token;
  owners()[id] = self;
  if (!previous.is_none() && !previous.is(self)) let_go_of_caches(previous);
}

bool is_owner(const py::object& self) {
  if (fork_guard::in_forked_child()) return false;
  py::object token = token_of(self);
  if (token.is_none()) return false;
  py::object id = state(self).id;
  py::dict& tokens = owner_tokens();
  if (!tokens.contains(id) || !py::object(tokens[id]).is(token)) return false;
  return py::tuple(token)[0].cast<long>() == static_cast<long>(::getpid());
}

void give_up(const py::object& self) {
  if (!is_owner(self)) return;
  py::tuple token = token_of(self);
  py::object id = state(self).id;
  PyDict_DelItem(owner_tokens().ptr(), id.ptr());
  release_dir_lock(token[1].cast<std::string>());
}

void let_go_of_caches(const py::object& self) {
  if (!py::isinstance<PipelineState>(self)) return;
  py::dict nodes = state(self).nodes;
  for (const auto& item : nodes) comp::detach_diskcache(item.second);
}

py::list live_owners() {
  if (fork_guard::in_forked_child()) return py::list();
  return py::list(owners().attr("values")());
}

}  // namespace orvane::pipeline::ownership
