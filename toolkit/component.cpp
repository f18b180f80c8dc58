#include "toolkit/component.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "lib/name_text.h"

namespace veldor {

void Abort() { throw EAbort(); }

TComponent::TComponent(TComponent* owner) : Owner_(owner) {
  if (Owner_) Owner_->Components_.push_back(this);
}

TComponent::~TComponent() {
  State_ |= csDestroying;
  // Owned components go first, last made first; each leaves Components_ on its own.
  while (!Owned_.empty()) {
    std::unique_ptr<TComponent> last = std::move(Owned_.back());
    Owned_.pop_back();
    last.reset();
  }
  for (TComponent* listed : Components_) listed->Owner_ = nullptr;
  Components_.clear();
  if (Owner_) {
    auto& siblings = Owner_->Components_;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    if (!Owner_->Destroying()) Owner_->Notification(this, opRemove);
  }
  // Copy first: a notified component may ask to be removed from the list.
  std::vector<TComponent*> notifies = std::move(FreeNotifies_);
  FreeNotifies_.clear();
  for (TComponent* other : notifies) {
    auto& theirs = other->FreeNotifies_;
    theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
    other->Notification(this, opRemove);
  }
}

bool TComponent::DestroyOwned(TComponent* component) {
  auto it = std::find_if(Owned_.begin(), Owned_.end(),
                         [&](const std::unique_ptr<TComponent>& p) { return p.get() == component; });
  if (it == Owned_.end()) return false;
  std::unique_ptr<TComponent> doomed = std::move(*it);
  Owned_.erase(it);
  doomed.reset();
  return true;
}

namespace {
bool IsIdentifier(const std::string& name) {
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (name.empty() || !letter(name[0])) return false;
  return std::all_of(name.begin(), name.end(),
                     [&](char c) { return letter(c) || (c >= '0' && c <= '9'); });
}
}  // namespace

void TComponent::SetName(const std::string& name) {
  if (name == Name_) return;
  if (!name.empty() && !IsIdentifier(name))
    throw EComponentError("Component name \"" + name + "\" is not a valid identifier");
  if (!name.empty() && Owner_) {
    TComponent* other = Owner_->FindComponent(name);
    if (other && other != this)
      throw EComponentError("A component named " + name + " already exists");
  }
  Name_ = name;
}

TComponent* TComponent::FindComponent(const std::string& name) const {
  if (name.empty()) return nullptr;
  for (TComponent* c : Components_)
    if (EqualsIgnoreCase(c->Name_, name)) return c;
  return nullptr;
}

void TComponent::EndLoading() { Loaded(); }

void TComponent::FreeNotification(TComponent* other) {
  if (!other || other == this) return;
  if (std::find(FreeNotifies_.begin(), FreeNotifies_.end(), other) == FreeNotifies_.end())
    FreeNotifies_.push_back(other);
  if (std::find(other->FreeNotifies_.begin(), other->FreeNotifies_.end(), this) ==
      other->FreeNotifies_.end())
    other->FreeNotifies_.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* other) {
  FreeNotifies_.erase(std::remove(FreeNotifies_.begin(), FreeNotifies_.end(), other),
                      FreeNotifies_.end());
  if (other)
    other->FreeNotifies_.erase(
        std::remove(other->FreeNotifies_.begin(), other->FreeNotifies_.end(), this),
        other->FreeNotifies_.end());
}

void TComponent::Notification(TComponent* component, TOperation operation) {
  if (operation == opRemove)
    FreeNotifies_.erase(std::remove(FreeNotifies_.begin(), FreeNotifies_.end(), component),
                        FreeNotifies_.end());
  // A copy: a notified component may destroy an owned sibling in its handler.
  std::vector<TComponent*> listed = Components_;
  for (TComponent* c : listed)
    if (c != component && std::find(Components_.begin(), Components_.end(), c) != Components_.end())
      c->Notification(component, operation);
}

// ---- Errors that are shown ----

namespace {
std::mutex gHandlerLock;  // guards gHandler
TExceptionHandler gHandler;
}  // namespace

void SetApplicationExceptionHandler(TExceptionHandler handler) {
  std::lock_guard<std::mutex> guard(gHandlerLock);
  gHandler = std::move(handler);
}

void ApplicationHandleException() {
  std::exception_ptr current = std::current_exception();
  if (!current) return;
  TExceptionHandler handler;
  {
    std::lock_guard<std::mutex> guard(gHandlerLock);
    handler = gHandler;
  }
  try {
    std::rethrow_exception(current);
  } catch (const EAbort&) {
  } catch (const std::exception& e) {
    if (handler) {
      try {
        handler(e);
      } catch (...) {
        std::fprintf(stderr, "%s\n", e.what());  // a display that fails still says it
      }
    } else
      std::fprintf(stderr, "%s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "unknown error\n");
  }
}

}  // namespace veldor
