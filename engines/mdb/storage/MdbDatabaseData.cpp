#include "engines/mdb/storage/MdbDatabaseData.h"

#include "platform/rtl/Exceptions.h"

TMdbDatabaseData::TMdbDatabaseData() = default;

std::int32_t TMdbDatabaseData::GetNewObjectId() {
  const Int64 Id = FObjectIdSequence.GetNextVal();
  if (Id > INT32_MAX || Id < INT32_MIN) throw ERangeError(msg::SRangeError);
  return static_cast<std::int32_t>(Id);
}
