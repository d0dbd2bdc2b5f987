// Ownership of pipeline cache directories; see ownership.hpp.
#include "pipeline/ownership.hpp"

#include <cstdint>
#include <string>
#include <unordered_map>

#include "common/fork_guard.hpp"
#include "common/py_paths.hpp"
#include "core/cache_store.hpp"
#include "core/dir_lock.hpp"
#include "pipeline/component_access.hpp"
#include "pipeline/diskcache_support.hpp"
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline::ownership {

namespace {

// The newest pipeline of an id in this process: the serial of its token (0 once it gave the
// directory up) and a weak reference, so that the registry keeps no pipeline alive. Only touched
// with the GIL held; leaked on purpose, as it is used during shutdown.
struct Owner {
  std::uint64_t serial = 0;
  py::weakref pipeline;
};
std::unordered_map<std::string, Owner>& owners() {
  static auto* live = new std::unordered_map<std::string, Owner>();
  return *live;
}

std::uint64_t next_serial = 0;

// A newer pipeline took the directory over: `st` lets go of its caches and treats them as gone,
// so that its next run reruns what it no longer holds instead of reusing nothing.
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
    if (action.invalidate) comp::set_status(item.second, comp::Status::Invalid);
    if (action.uncache) native.mark_disk_status(comp::DiskStatus::Uncached);
  }
}

}  // namespace

PipelineDirectory claim_directory(const PipelineState& st, const py::object& app_root) {
  // The shared default location may not be a link (another user could point it elsewhere); a
  // location the user chose may.
  const bool allow_link =
      truthy(py_values::lookup("orvane_core.common.utils:root_allows_link")(app_root));
  const std::string root = py_paths::text(app_root);
  const std::string id = text_of(st.id);
  py::gil_scoped_release release;
  return claim_pipeline_directory(root, id, allow_link, kManifestName);
}

void become_owner(const py::object& self, const PipelineDirectory& claim) {
  PipelineState& st = state(self);
  st.owner_token = {claim.lock_path, ++next_serial};
  Owner& owner = owners()[text_of(st.id)];
  py::object previous = owner.pipeline ? owner.pipeline() : py::object(py::none());
  owner = {st.owner_token.serial, py::weakref(self)};
  if (!previous.is_none() && !previous.is(self) && py::isinstance<PipelineState>(previous)) {
    hand_over(state(previous));
  }
}

bool is_owner(const PipelineState& st) {
  // A child forked from the process that made the pipeline inherits its token, never its caches.
  if (fork_guard::in_forked_child() || st.owner_token.serial == 0) return false;
  auto found = owners().find(text_of(st.id));
  return found != owners().end() && found->second.serial == st.owner_token.serial;
}

void give_up(const PipelineState& st) {
  if (!is_owner(st)) return;
  // The weak reference stays: a newer pipeline of the id still makes this one hand over.
  owners()[text_of(st.id)].serial = 0;
  release_dir_lock(st.owner_token.lock_path);
}

void let_go_of_caches(const PipelineState& st) {
  support::each_component(st, [](comp::ComponentNative& c) { c.release_diskcache(); });
}

py::list live_owners() {
  py::list out;
  if (fork_guard::in_forked_child()) return out;
  for (const auto& item : owners()) {
    py::object pipeline = item.second.pipeline();
    if (!pipeline.is_none()) out.append(pipeline);
  }
  return out;
}

}  // namespace orvane::pipeline::ownership
