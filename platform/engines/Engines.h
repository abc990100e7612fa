// platform/engines: stand-ins for the three platform dataset engines the benchmark drives but does not
// implement itself: the FD memory table, the client dataset and the ADO dataset with its recordset and
// COM stream adapter. One efficient in-memory engine (MemEngine.h over RowStore.h, saving in the format
// of DataFile.h) serves all three; each class adds its own calls and settings and its own file magic.
// The module calls platform/db (the dataset framework) and below; the benchmark application calls it.
#pragma once

#include "platform/engines/ADODataSet.h"
#include "platform/engines/ClientDataSet.h"
#include "platform/engines/ComStream.h"
#include "platform/engines/DataFile.h"
#include "platform/engines/FDMemTable.h"
#include "platform/engines/MemEngine.h"
#include "platform/engines/RowStore.h"
