// The stand-in Kalvex SDK for builds without the framework. The builders and the wrapper keep what
// they are given; the wrapper's Jotrel facility writes real log files (see jotrel_log.h). Every
// call is reported to EnterCall, so tests can read the calls in order and inject failures.
//
// Each builder setter returns a new object of its own ("g1/1", "g1/2", ... for builder g1), named as
// the last field of the setter's record; its setters fill the same builder. The record therefore
// shows whether each call was made on what the previous one returned, and a setter's result given
// where the builder itself belongs (a consuming call, a Destroy function) fails with
// std::logic_error.
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "call_record.h"
#include "jotrel_log.h"
#include "kalvex/kalvex_sdk.h"

namespace kalvex {
namespace {

bool g_is_debug = false;

struct GlobalEnv {
  long long aid = 0;
  std::string host, root_path, did, uid, app_version, channel, session_id;
};

struct InstanceEnv {
  long long aid = 0;
  std::string name, process_name, pid;
};

// A builder that a Create function returned, or one of the results of its setters (a link). Links
// belong to their builder, pass their setters' values on to it, and are freed with it.
template <typename Base, typename Env>
class Builder final : public Base {
 public:
  Builder(std::string builder_name, Env initial)
      : name(std::move(builder_name)), env(std::move(initial)) {}

  bool is_link() const { return builder_ != this; }
  // The builder that this object's setters fill.
  Builder& builder() { return *builder_; }
  // A new link of this builder's, for a setter to return.
  Builder& NewLink() {
    Builder& root = builder();
    root.links_.push_back(std::unique_ptr<Builder>(
        new Builder(root.name + "/" + std::to_string(root.links_.size() + 1), root)));
    return *root.links_.back();
  }

  std::string name;
  Env env;  // only a builder's is used

 private:
  Builder(std::string link_name, Builder& root) : name(std::move(link_name)), builder_(&root) {}

  Builder* builder_ = this;
  std::vector<std::unique_ptr<Builder>> links_;
};

using GlobalEnvBuilder = Builder<KalvexGlobalEnvBuilderBase, GlobalEnv>;
using EnvBuilder = Builder<KalvexEnvBuilderBase, InstanceEnv>;

// What one session was given, plus its open log.
class Wrapper final : public KalvexWrapperBase {
 public:
  explicit Wrapper(std::string wrapper_name) : name(std::move(wrapper_name)) {}

  std::string name;
  bool is_debug = g_is_debug;
  GlobalEnv global_env;
  InstanceEnv instance_env;
  std::vector<std::pair<std::string, std::string>> record_context;
  bool launch_reported = false;
  bool uploaded = false;
  bool jotrel_crash_upload = false;
  long cloud_message_interval_ms = 0;
  std::unique_ptr<standin::JotrelLog> jotrel;
};

GlobalEnvBuilder& Impl(KalvexGlobalEnvBuilderBase& builder) {
  return static_cast<GlobalEnvBuilder&>(builder);
}
EnvBuilder& Impl(KalvexEnvBuilderBase& builder) { return static_cast<EnvBuilder&>(builder); }
Wrapper& Impl(KalvexWrapperBase& wrapper) { return static_cast<Wrapper&>(wrapper); }

// Stores `value` in the builder behind `self` and returns a new link of it.
template <typename BuilderType, typename Env>
BuilderType& SetField(BuilderType& self, const char* call, std::string Env::*field,
                      const char* value) {
  BuilderType& result = self.NewLink();
  standin::EnterCall(self.name, call, {value, result.name});
  self.builder().env.*field = value;
  return result;
}

// Fails when `given`, handed to `call`, is a setter's result rather than a builder.
template <typename BuilderType>
BuilderType& RequireBuilder(BuilderType& given, const char* call) {
  if (given.is_link()) {
    throw std::logic_error(std::string("stand-in ") + call + " given " + given.name +
                           ", a setter's result, not the builder");
  }
  return given;
}

// Frees a builder and records the call; a setter's result is not freed (its builder owns it) and
// fails after being recorded. Freeing comes first, so that an injected failure leaks nothing.
template <typename BuilderType, typename Base>
void DestroyBuilder(Base*& pointer, const char* call) {
  const std::string name = pointer ? Impl(*pointer).name : "null";
  const bool link = pointer != nullptr && Impl(*pointer).is_link();
  if (!link) {
    delete static_cast<BuilderType*>(pointer);
    pointer = nullptr;
  }
  standin::EnterCall("", call, {name});
  if (link) RequireBuilder(Impl(*pointer), call);
}

// Member calls that take no argument and only record that they happened.
void NoteCall(KalvexWrapperBase& wrapper, const char* call, bool Wrapper::*flag) {
  Wrapper& self = Impl(wrapper);
  standin::EnterCall(self.name, call, {});
  self.*flag = true;
}

}  // namespace

void KalvexGlobalEnvBuilderBase::SetIsDebug(bool is_debug) {
  standin::EnterCall("", "SetIsDebug", {is_debug ? "true" : "false"});
  g_is_debug = is_debug;
}

KalvexGlobalEnvBuilderBase& KalvexGlobalEnvBuilderBase::SetHost(const char* host) {
  return SetField(Impl(*this), "SetHost", &GlobalEnv::host, host);
}
KalvexGlobalEnvBuilderBase& KalvexGlobalEnvBuilderBase::SetRootPathName(const char* root_path) {
  return SetField(Impl(*this), "SetRootPathName", &GlobalEnv::root_path, root_path);
}
KalvexGlobalEnvBuilderBase& KalvexGlobalEnvBuilderBase::SetDid(const char* did) {
  return SetField(Impl(*this), "SetDid", &GlobalEnv::did, did);
}
KalvexGlobalEnvBuilderBase& KalvexGlobalEnvBuilderBase::SetUid(const char* uid) {
  return SetField(Impl(*this), "SetUid", &GlobalEnv::uid, uid);
}
KalvexGlobalEnvBuilderBase& KalvexGlobalEnvBuilderBase::SetAppVersion(const char* app_version) {
  return SetField(Impl(*this), "SetAppVersion", &GlobalEnv::app_version, app_version);
}
KalvexGlobalEnvBuilderBase& KalvexGlobalEnvBuilderBase::SetChannel(const char* channel) {
  return SetField(Impl(*this), "SetChannel", &GlobalEnv::channel, channel);
}
KalvexGlobalEnvBuilderBase& KalvexGlobalEnvBuilderBase::SetSessionID(const char* session_id) {
  return SetField(Impl(*this), "SetSessionID", &GlobalEnv::session_id, session_id);
}

KalvexEnvBuilderBase& KalvexEnvBuilderBase::SetProcessName(const char* process_name) {
  return SetField(Impl(*this), "SetProcessName", &InstanceEnv::process_name, process_name);
}
KalvexEnvBuilderBase& KalvexEnvBuilderBase::SetPid(const char* pid) {
  return SetField(Impl(*this), "SetPid", &InstanceEnv::pid, pid);
}

void KalvexWrapperBase::InitGlobalEnv(KalvexGlobalEnvBuilderBase& builder) {
  Wrapper& self = Impl(*this);
  standin::EnterCall(self.name, "InitGlobalEnv", {Impl(builder).name});
  self.global_env = RequireBuilder(Impl(builder), "InitGlobalEnv").env;
}

void KalvexWrapperBase::ResetGlobalEnv(KalvexGlobalEnvBuilderBase& builder) {
  Wrapper& self = Impl(*this);
  standin::EnterCall(self.name, "ResetGlobalEnv", {Impl(builder).name});
  self.global_env = RequireBuilder(Impl(builder), "ResetGlobalEnv").env;
}

void KalvexWrapperBase::InitInstanceEnv(KalvexEnvBuilderBase& builder) {
  Wrapper& self = Impl(*this);
  standin::EnterCall(self.name, "InitInstanceEnv", {Impl(builder).name});
  self.instance_env = RequireBuilder(Impl(builder), "InitInstanceEnv").env;
}

void KalvexWrapperBase::AddRecordContext(const char* key, const char* value) {
  Wrapper& self = Impl(*this);
  standin::EnterCall(self.name, "AddRecordContext", {key, value});
  self.record_context.emplace_back(key, value);
}

void KalvexWrapperBase::LaunchReport() {
  NoteCall(*this, "LaunchReport", &Wrapper::launch_reported);
}

void KalvexWrapperBase::Upload() { NoteCall(*this, "Upload", &Wrapper::uploaded); }

void KalvexWrapperBase::InitJotrel(const char* log_dir, const char* process_name) {
  Wrapper& self = Impl(*this);
  standin::EnterCall(self.name, "InitJotrel", {log_dir, process_name});
  self.jotrel = std::make_unique<standin::JotrelLog>(log_dir, process_name);
}

void KalvexWrapperBase::UploadJotrelIfCrashed() {
  NoteCall(*this, "UploadJotrelIfCrashed", &Wrapper::jotrel_crash_upload);
}

void KalvexWrapperBase::WriteJotrel(JOTREL_LEVEL level, const char* tag, const char* message) {
  Wrapper& self = Impl(*this);
  const int value = static_cast<int>(level);
  standin::EnterCall(self.name, "WriteJotrel", {std::to_string(value), tag, message});
  if (!self.jotrel) throw std::logic_error("WriteJotrel before InitJotrel");
  self.jotrel->Write(value, tag, message);
}

void KalvexWrapperBase::OpenCloudMessage(long interval_ms) {
  Wrapper& self = Impl(*this);
  standin::EnterCall(self.name, "OpenCloudMessage", {std::to_string(interval_ms)});
  self.cloud_message_interval_ms = interval_ms;
}

KalvexWrapperBase* CreateKalvexWrapper() {
  const bool fail = standin::ShouldReturnNull("CreateKalvexWrapper");
  const std::string name = fail ? "null" : standin::NextObjectName('w');
  standin::EnterCall("", "CreateKalvexWrapper", {name});
  return fail ? nullptr : new Wrapper(name);
}

// The Destroy functions free the object before the call is recorded, so that an injected failure
// leaks nothing.
void DestroyKalvexWrapper(KalvexWrapperBase*& wrapper) {
  const std::string name = wrapper ? Impl(*wrapper).name : "null";
  delete static_cast<Wrapper*>(wrapper);
  wrapper = nullptr;
  standin::EnterCall("", "DestroyKalvexWrapper", {name});
}

KalvexGlobalEnvBuilderBase* CreateKalvexGlobalEnvBuilder(long long aid) {
  const bool fail = standin::ShouldReturnNull("CreateKalvexGlobalEnvBuilder");
  const std::string name = fail ? "null" : standin::NextObjectName('g');
  standin::EnterCall("", "CreateKalvexGlobalEnvBuilder", {std::to_string(aid), name});
  GlobalEnv env;
  env.aid = aid;
  return fail ? nullptr : new GlobalEnvBuilder(name, std::move(env));
}

void DestroyKalvexGlobalEnvBuilder(KalvexGlobalEnvBuilderBase*& builder) {
  DestroyBuilder<GlobalEnvBuilder>(builder, "DestroyKalvexGlobalEnvBuilder");
}

KalvexEnvBuilderBase* CreateKalvexEnvBuilder(long long aid, const char* process_name) {
  const bool fail = standin::ShouldReturnNull("CreateKalvexEnvBuilder");
  const std::string name = fail ? "null" : standin::NextObjectName('e');
  standin::EnterCall("", "CreateKalvexEnvBuilder", {std::to_string(aid), process_name, name});
  InstanceEnv env;
  env.aid = aid;
  env.name = process_name;
  return fail ? nullptr : new EnvBuilder(name, std::move(env));
}

void DestroyKalvexEnvBuilder(KalvexEnvBuilderBase*& builder) {
  DestroyBuilder<EnvBuilder>(builder, "DestroyKalvexEnvBuilder");
}

}  // namespace kalvex
