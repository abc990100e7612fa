// The session base as far as the storage core uses it: a session's id and its named per-session
// values (the last value a session drew from or stored into each sequence). The session's own
// operations (connect, cursors, tables) are declared by the local session built on this class.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engines/mdb/runtime/MdbTypes.h"
#include "platform/classes/Classes.h"

class TMdbSessionNamedObject : public TObject {
  VELLUM_CLASS(TMdbSessionNamedObject)
 public:
  explicit TMdbSessionNamedObject(const String& aName) : Name(aName) {}
  String Name;
};

class TMdbSessionNamedObjectSequenceValue : public TMdbSessionNamedObject {
  VELLUM_CLASS(TMdbSessionNamedObjectSequenceValue)
 public:
  TMdbSessionNamedObjectSequenceValue(const String& ValueName, Int64 aValue)
      : TMdbSessionNamedObject(ValueName), Value(aValue) {}
  Int64 Value;
};

class TMdbBaseSession : public TObject {
  VELLUM_CLASS(TMdbBaseSession)
 public:
  TMdbBaseSession() = default;
  TMdbBaseSession(const TMdbBaseSession&) = delete;
  TMdbBaseSession& operator=(const TMdbBaseSession&) = delete;

  virtual void SetCaseInsensitive(bool Value) { CaseInsensitive = Value; }

  // The first named object whose name equals ObjectName exactly; nil when none.
  TMdbSessionNamedObject* GetNamedObject(std::u16string_view ObjectName) const;
  // Sets the named value, appending it when the session has none of that name.
  void SetSequenceValue(const String& Name, Int64 Value);
  std::int32_t NamedObjectCount() const { return static_cast<std::int32_t>(FSessionNamedObjectList.size()); }

  std::int32_t SessionID = -1;
  bool ReadOnly = false;
  bool Exclusive = false;
  bool Temporary = false;
  bool InMemory = false;
  bool CaseInsensitive = false;

 protected:
  std::vector<std::unique_ptr<TMdbSessionNamedObject>> FSessionNamedObjectList;
};
