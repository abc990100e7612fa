// engines/mdb/storage: the storage core of the Mdb database. It owns pages and page managers (the
// stored bytes of B-tree index pages), the record layout and the memory record manager (the rows of
// in-memory tables), and the storage layer's diagnostics. It calls only engines/mdb/runtime and the
// platform below it; the Mdb components and query processor stand on it.
//
// This header: the message texts the storage layer raises with its native codes, and the diagnostic
// sink through which destructors report what they must not throw.
#pragma once

#include <functional>

#include "platform/rtl/String.h"

// Pages and page arrays.
inline constexpr char16_t SMdbPageNilPointer[] = u"Nil pointer occured";
inline constexpr char16_t SMdbInvalidPageBuffer[] = u"Invalid page buffer. Buffer is Nil";
inline constexpr char16_t SMdbInvalidPageModification[] = u"Invalid page modification";
inline constexpr char16_t SMdbPageAlreadyExists[] = u"Error - page already exists. PageNo = %d, index = %d";
inline constexpr char16_t SMdbInvalidItemCountPages[] = u"Invalid item count - ItemCount = %d";
inline constexpr char16_t SMdbElementNotFound[] = u"Error - element not found. Key = %d, itemCount = %d";

// Page managers.
inline constexpr char16_t SMdbNotReleasedPageAllocated[] = u"Not released page is allocated";
inline constexpr char16_t SMdbCannotWriteCorruptedPage[] =
    u"Error - cannot write page. Page header is corrupted, pageNo = %d, StateType = %d, PageManager.ClassName = %s, "
    u"PageManager = %s";
inline constexpr char16_t SMdbIndexPagesNotReleased[] = u"Index pages are not released";
inline constexpr char16_t SMdbInvalidPageManagerBlock[] = u"Invalid page manager block: %s";

// Record manager and record layout.
inline constexpr char16_t SMdbInvalidRecordSize[] = u"Invalid record size = %d";
inline constexpr char16_t SMdbInvalidFieldNumber[] = u"Invalid field number - FieldNo = %d, FieldCount = %d";
inline constexpr char16_t SMdbErrorGettingFieldData[] =
    u"Error getting field data - FieldNo = %d, MemoryOffset = %d, MemoryDataSize = %d";
inline constexpr char16_t SMdbErrorRetrievingRecord[] = u"Error retreiving record";
inline constexpr char16_t SMdbInvalidRecordNo[] = u"Invalid record No = %d";
inline constexpr char16_t SMdbInvalidRecordBlock[] = u"Invalid record block: %s";

// Destructors never throw: what they find wrong (pages not released, a buffer that would not free)
// goes to this sink. The default writes one line to stderr; tests install their own.
using TMdbStorageDiagnosticSink = std::function<void(const String& Text)>;
void SetMdbStorageDiagnosticSink(TMdbStorageDiagnosticSink Sink);
void MdbStorageDiagnostic(const String& Text);
