// The component model: owner and owned components, names, free notification, the loaded
// notification, and the process's handler for errors that are shown rather than raised.
//
// A component owns the components made through CreateOwned (destroyed with it, last made
// first) and lists every component constructed with it as owner. It does not own
// components that only asked for its free notification. Components are used by one thread
// at a time; the error handler is process-wide and set once at start-up.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "lib/exception.h"

namespace veldor {

// The silent error: raised by an event handler to stop the operation it was called from.
// The error display ignores it.
class EAbort : public Exception {
 public:
  EAbort() : Exception("Operation aborted") {}
};
[[noreturn]] void Abort();

// Refused component operations (duplicate names, names that are no identifiers).
class EComponentError : public Exception {
 public:
  using Exception::Exception;
};

enum TOperation { opInsert, opRemove };

// Component state bits.
using TComponentState = unsigned;
inline constexpr TComponentState csLoading = 1;
inline constexpr TComponentState csDestroying = 2;
inline constexpr TComponentState csDesigning = 4;

class TComponent {
 public:
  // Joins `owner`'s component list when one is given (without notifying anyone: the
  // derived parts of this object are not built yet). The caller keeps ownership unless
  // the component was made through the owner's CreateOwned.
  explicit TComponent(TComponent* owner = nullptr);
  // Destroys the owned components (last made first), clears the owner of the listed ones
  // that it does not own, leaves its owner's list, and sends opRemove to its owner's
  // components and to every component that asked for its free notification. By then the
  // derived parts are gone: receivers compare the pointer and forget it, nothing more.
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  // Makes a T(this, args...) that this component owns and destroys, then sends opInsert
  // for it to this component and its components. Returns the new component.
  template <class T, class... Args>
  T* CreateOwned(Args&&... args) {
    auto made = std::make_unique<T>(this, std::forward<Args>(args)...);
    T* raw = made.get();
    Owned_.push_back(std::move(made));
    Notification(raw, opInsert);
    return raw;
  }
  // Destroys `component` when this component owns it (true); false otherwise.
  bool DestroyOwned(TComponent* component);

  TComponent* Owner() const { return Owner_; }
  const std::string& Name() const { return Name_; }
  // An empty name or an identifier (letter or "_", then letters, digits, "_") that no
  // other component of the same owner carries (compared without regard to ASCII case);
  // EComponentError otherwise.
  virtual void SetName(const std::string& name);
  int ComponentCount() const { return int(Components_.size()); }
  TComponent* Component(int index) const { return Components_.at(size_t(index)); }
  // The owned or listed component with this name (without regard to case), or null.
  TComponent* FindComponent(const std::string& name) const;

  TComponentState ComponentState() const { return State_; }
  bool Loading() const { return (State_ & csLoading) != 0; }
  bool Destroying() const { return (State_ & csDestroying) != 0; }
  bool Designing() const { return (State_ & csDesigning) != 0; }
  // Marks the component as being destroyed; derived destructors call it first so that
  // what they trigger knows.
  void SetDestroying() { State_ |= csDestroying; }
  // Loading: properties are being applied in a batch; setters only store values until
  // Loaded() runs.
  void BeginLoading() { State_ |= csLoading; }
  // Ends loading and runs Loaded(): the step where stored values take effect.
  void EndLoading();

  // `other` receives Notification(this, opRemove) when this component is destroyed, and
  // this one when `other` is; both directions end when either is destroyed.
  void FreeNotification(TComponent* other);
  void RemoveFreeNotification(TComponent* other);

 protected:
  // Told when `component` joins (opInsert) or leaves (opRemove) this component's owner
  // tree, or when a component whose free notification it asked for is destroyed. The
  // base passes the notice on to the components this one lists. Overrides forget their
  // references to a removed component and call the base.
  virtual void Notification(TComponent* component, TOperation operation);
  virtual void Loaded() { State_ &= ~csLoading; }

 private:
  TComponent* Owner_ = nullptr;
  std::string Name_;
  TComponentState State_ = 0;
  std::vector<TComponent*> Components_;               // listed: constructed with this owner
  std::vector<std::unique_ptr<TComponent>> Owned_;    // owned: made through CreateOwned
  std::vector<TComponent*> FreeNotifies_;
};

// ---- Errors that are shown, not raised ----

// The application's error display: called with an exception that an event handler raised
// where the framework shows errors instead of passing them on (a filter handler, a BLOB
// stream's last notification). The reader installs a message box; without a handler the
// message goes to standard error. EAbort is never shown.
using TExceptionHandler = std::function<void(const std::exception& error)>;
void SetApplicationExceptionHandler(TExceptionHandler handler);
// Shows the exception being handled; call only inside a catch block.
void ApplicationHandleException();

}  // namespace veldor
