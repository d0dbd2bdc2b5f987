// Ownership of pipeline cache directories; see ownership.hpp.
#include "pipeline/ownership.hpp"

#include <unistd.h>

#include <cstdint>
#include <string>
#include <unordered_map>

#include "common/fork_guard.hpp"
#include "common/py_paths.hpp"
#include "core/cache_paths.hpp"
#include "core/cache_store.hpp"
#include "core/dir_lock.hpp"
#include "pipeline/component_access.hpp"
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline::ownership {

namespace {

// Pipeline id -> serial of the owning pipeline's token. Only touched with the GIL held; leaked
// on purpose, as it is used during shutdown.
std::unordered_map<std::string, std::uint64_t>& owner_serials() {
  static auto* serials = new std::unordered_map<std::string, std::uint64_t>();
  return *serials;
}

// Pipeline id -> weak reference to the owning pipeline: the registry keeps no pipeline alive.
std::unordered_map<std::string, py::weakref>& owners() {
  static auto* live = new std::unordered_map<std::string, py::weakref>();
  return *live;
}

std::uint64_t next_serial = 0;

std::string id_text(const PipelineState& st) { return py_values::text_of(st.id); }

}  // namespace

Claim claim_directory(const PipelineState& st, const py::object& app_root) {
  const std::string id = id_text(st);
  const std::string root = py_paths::text(app_root);
  // The shared default location may not be a link (another user could point it elsewhere); a
  // location the user chose may.
  const bool allow_link =
      truthy(py_values::lookup("orvane_core.common.utils:root_allows_link")(app_root));
  PipelineDirectory claimed;
  try {
    py::gil_scoped_release release;
    claimed = claim_pipeline_directory(root, id, allow_link, kManifestName);
  } catch (const UnsafeDirectoryError& e) {
    throw std::runtime_error(std::string(e.what()) +
                             " Set ORVANE_TEMP_DIR to a private directory.");
  }
  return {py_paths::str(claimed.path), claimed.existed, claimed.lock_path};
}

void become_owner(const py::object& self, const Claim& claim) {
  PipelineState& st = state(self);
  const std::string id = id_text(st);
  auto found = owners().find(id);
  py::object previous = found == owners().end() ? py::object(py::none()) : found->second();
  st.owner_token = {static_cast<long>(::getpid()), claim.lock_path, ++next_serial};
  owner_serials()[id] = st.owner_token.serial;
  owners().insert_or_assign(id, py::weakref(self));
  if (!previous.is_none() && !previous.is(self) && py::isinstance<PipelineState>(previous)) {
    hand_over(state(previous));
  }
}

void hand_over(PipelineState& st) {
  // The caches set aside are the newer pipeline's too: forgotten here, never deleted.
  st.paused.forget();
  py::dict nodes = st.nodes;
  for (const auto& item : nodes) {
    comp::ComponentNative& native = comp::native(item.second);
    const bool had_cache =
        native.has_diskcache() || native.stored_disk_status() == comp::DiskStatus::Cached;
    native.release_diskcache();
    // Its cache now belongs to the newer pipeline, which may replace or delete it at any time.
    const model::HandOver action = model::hand_over(comp::facts(item.second), had_cache);
    if (action.invalidate) comp::set_status(item.second, rt().status_invalid);
    if (action.uncache) native.mark_disk_status(comp::DiskStatus::Uncached);
  }
}

bool is_owner(const PipelineState& st) {
  if (fork_guard::in_forked_child() || st.owner_token.serial == 0) return false;
  auto found = owner_serials().find(id_text(st));
  if (found == owner_serials().end() || found->second != st.owner_token.serial) return false;
  return st.owner_token.pid == static_cast<long>(::getpid());
}

void give_up(const PipelineState& st) {
  if (!is_owner(st)) return;
  owner_serials().erase(id_text(st));
  release_dir_lock(st.owner_token.lock_path);
}

void let_go_of_caches(const PipelineState& st) {
  py::dict nodes = st.nodes;
  for (const auto& item : nodes) comp::detach_diskcache(item.second);
}

py::list live_owners() {
  py::list out;
  if (fork_guard::in_forked_child()) return out;
  for (auto it = owners().begin(); it != owners().end();) {
    py::object pipeline = it->second();
    if (pipeline.is_none()) {
      it = owners().erase(it);
      continue;
    }
    out.append(pipeline);
    ++it;
  }
  return out;
}

}  // namespace orvane::pipeline::ownership
