// Internal to platform/classes: one change made between a list's or collection's BeginUpdate and
// EndUpdate, so that observers hear of it once.
#pragma once

#include <utility>

namespace classes_detail {

// No guard object: EndUpdate fires the change events, and those may raise, which a destructor must
// not do while another exception unwinds. As written here, an exception from EndUpdate after a
// failed change replaces the change's own.
template <class Target, class Change>
void WithinUpdate(Target& target, Change&& change) {
  target.BeginUpdate();
  try {
    std::forward<Change>(change)();
  } catch (...) {
    target.EndUpdate();
    throw;
  }
  target.EndUpdate();
}

}  // namespace classes_detail
