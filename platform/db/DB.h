// platform/db: the dataset framework of the stand-in platform. It owns the abstract dataset TDataSet
// (states, the window of record buffers, events, bookmarks, filters), the fields and their native value
// forms, the field, index and parameter definitions, and the data source with its data links. It calls
// platform/classes, platform/rtl and platform/sys only; every engine (platform/engines, engines/*), the
// GUI layer and the benchmark application stand on it.
//
// Start with DataSet.h: its head says how an engine plugs in. Filter texts compile through ExprParser.h
// into the buffer FilterExpr.h lays out, which engines evaluate.
#pragma once

#include "platform/db/DataSet.h"
#include "platform/db/ExprParser.h"
#include "platform/db/FieldDefs.h"
#include "platform/db/FieldTypes.h"
#include "platform/db/Fields.h"
#include "platform/db/FilterExpr.h"
