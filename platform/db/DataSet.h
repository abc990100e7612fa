// TDataSet: the abstract dataset every engine derives from, and the data source and data links through
// which controls and master/detail links watch a dataset.
//
// ==== How an engine plugs in ==========================================================================
//
// An engine keeps its rows; the framework keeps the state machine, the fields, the events and a window
// of record buffers, and drives the engine through the slots below. Slots are protected virtuals.
//
// Must override:
//   CursorOpen()            build FieldDefs (CursorReadFieldDefs), make fields when DefaultFields()
//                           (BuildDefaultFields), BindAllFields(true), SetBookmarkSize(n), position the
//                           cursor before the first row.
//   CursorClose()           release the rows' cursor state; BindAllFields(false); when DefaultFields()
//                           DestroyFields() (the framework frees any automatic field left over anyway).
//   CursorIsOpen()
//   AllocateRecordBuffer()  a buffer in the engine's layout: values, calculated area, bookmark, flag.
//   ReleaseRecordBuffer(b)  frees it and sets b to nullptr.
//   CursorInitRecord(b)     empties a buffer (all values null).
//   FetchRecord(b, mode, DoCheck)
//                           fmCurrent: the row under the cursor; fmNext / fmPrior: move, then copy.
//                           Copies the row, its bookmark, flag bfCurrent, then UpdateCalculatedFields(b).
//                           frBOF / frEOF when there is no row that way (the cursor then stands before
//                           the first / after the last row), frError (raise when DoCheck) for a bad cursor.
//                           fmCurrent must refuse (frError) a row the active filter hides.
//   CursorFirst() / CursorLast()   before the first / after the last row.
//   CursorPost()            call TDataSet::CursorPost() first (the required-field check). dsEdit: store
//                           ActiveBuffer() over the row under the cursor. dsInsert: add ActiveBuffer():
//                           at the end when ReadBookmarkFlag(ActiveBuffer()) is bfEOF (Append); else
//                           before the row whose bookmark the buffer carries (Insert), first when bfBOF.
//                           Afterwards the cursor must rest on the stored row: Post refetches it with
//                           fmCurrent.
//   CursorDelete()          deletes the row under the cursor; the cursor then rests on the row after it
//                           (or the new last row).
//   CursorGotoBookmark(bm), CursorSetToRecord(b)   put the cursor on a bookmark's / buffer's row.
//   ReadBookmarkData / WriteBookmarkData / ReadBookmarkFlag / WriteBookmarkFlag
//   GetFieldData(field, buffer)   copy the native value out of StateBuffer(); false = null. The base
//                           raises, so a forgotten override shows at once instead of reading null.
//   WriteFieldData(field, buffer) b = WritableStateBuffer() (it checks the state), field->Validate(buffer),
//                           store into b, then FieldDataWritten(field).
//                           These two are the only virtual forms; every other GetFieldData /
//                           WriteFieldData form reaches them.
//   GetRecordSize(), GetRecordCount(), GetRecNo(), SetRecNoValue() (the RecNo writer), IsSequenced(),
//   BookmarkValid(), CompareBookmarks(), CreateBlobStream(), Locate(), Lookup() where offered
//                           (GetLocateKeys / GetLookupResultFields / LookupResult split their arguments,
//                           so every engine answers a malformed call alike).
// Framework-provided, override only for a buffer of your own:
//   StateBuffer()           which record buffer fields read and write in each state (see its comment).
// Optional: CursorAddRecord, CursorInsert, CursorEdit, CursorCancel, CursorRefresh, HandleEngineException,
//   SetFiltered / SetFilterText / SetFilterOptions / SetOnFilterRecord, SetActive, StartCursor /
//   StopCursor, the Do* event steps, DispatchDataEvent, ChooseFieldClass, ResetCalculatedFields, ...
//
// Record buffers. BufferCount() buffers form the window the controls see (1 without data links), plus
// one spare (SpareBuffer(), the first unused one) that fetches land in before they are moved into the
// window. ActiveRecord() indexes the window; BufferedRecordCount() counts the buffers holding rows.
// CurrentRecord() is the window index of the buffer the engine cursor stands on, -1 when unknown.
// UpdateCursorPos() brings the engine cursor to the active buffer: bfBOF → CursorFirst, bfEOF →
// CursorLast, else CursorSetToRecord. Every engine operation on "the current row" (CursorPost,
// CursorDelete, CursorEdit, CursorCancel) runs after UpdateCursorPos, and every refetch (Resync, so
// every Post, Delete and Cancel) ends with the engine cursor on the active row.
//
// Append / Insert. Append puts one buffer with flag bfEOF in the window (Eof reads True until Post or
// Cancel) and does not move the engine cursor; Post's UpdateCursorPos runs CursorLast. Insert moves the
// spare buffer in at the active position, with flag bfInserted and the bookmark of the row it stands
// before (bfBOF on an empty dataset); the engine cursor stays on that row. With the one-buffer window
// neither calls CursorSetToRecord, and neither allocates: the buffers are reused.
//
// Calculated and lookup fields have no place in the engine's row: the framework lays out a calculated
// area of CalcFieldsSize() bytes (per field a has-value byte then DataSize bytes, at the field's
// Offset()) which the engine keeps inside each record buffer and reads and writes with
// ReadCalculatedField / WriteCalculatedField for fields whose FieldKind is not fkData.
//
// Rules of thumb:
//  - An engine's destructor calls Close(): the base destructor can no longer reach the engine's slots.
//  - Overriding the GetFieldData / WriteFieldData slot hides the other forms for calls made through the
//    engine's own type: add `using TDataSet::GetFieldData; using TDataSet::WriteFieldData;`.
//  - Fields an engine makes by itself (not from BuildDefaultFields) get SetLifeCycle(lcAutomatic) so
//    that closing frees them; repeated open/close then never piles up fields or drifts their names.
//  - A blob stream's destructor must not throw: route a failure to HandleCurrentException.
//  - Typed field access reaches an engine as native bytes (FieldTypes.h); date/time and ftBCD arrive
//    through ConvertFieldData, which an engine may override for its own forms.
//
// A new engine, step by step (nothing else in the tree changes per engine):
//  1. A module folder engines/<name>/ with CMakeLists.txt `vellum_module(vellum_<name> DEPS vellum_db ...)`
//     (the top CMakeLists adds the known engine folders as they appear). It includes platform/ only,
//     never another engine or app/ (scripts/test.sh checks this).
//  2. A class deriving from TDataSet overriding the "must" slots above; read
//     platform/db/testing/VectorDataSet.h (the smallest complete engine) and engines/fieldlist (the
//     model: one header per concept, a stream format as a layout table beside its checked reader and
//     writer, loads that stage and swap in only on success).
//  3. Its tests/ instantiate the conformance suite of platform/db/testing/Conformance.h with a factory
//     (and the stream callbacks when it has a stream format); engine-specific tests sit beside it.
//  4. Its row in the window's engine table (app/EngineTable.h says where) and its library in
//     app/CMakeLists.txt.
//
// Errors. The framework raises EDatabaseError; with a component it prefixes "Name: " when the
// component has a name (DatabaseError below). An exception that leaves an engine with no handler
// installed goes to the default exception route (SetDefaultExceptionHandler); it is never lost.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/classes/Classes.h"
#include "platform/classes/ExceptionRoute.h"
#include "platform/classes/Streams.h"
#include "platform/db/FieldDefs.h"
#include "platform/db/Fields.h"
#include "platform/db/FieldTypes.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/Variant.h"

class TDataSet;
class TDataSource;
class TDataLink;

using TDataSetNotifyEvent = std::function<void(TDataSet& DataSet)>;
using TDataSetErrorEvent = std::function<void(TDataSet& DataSet, EDatabaseError& E, TDataAction& Action)>;
using TFilterRecordEvent = std::function<void(TDataSet& DataSet, bool& Accept)>;
// The same type the GUI layer declares, so both may be included together.
using TNotifyEvent = std::function<void(TObject* Sender)>;
using TDataChangeEvent = std::function<void(TObject* Sender, TField* Field)>;

// ---- errors and the default exception route ------------------------------------------------------------
// Raises EDatabaseError with Message, prefixed with "Name: " when Component has a name.
[[noreturn]] void DatabaseError(const String& Message, const TComponent* Component = nullptr);
[[noreturn]] void DatabaseErrorFmt(std::u16string_view Fmt, std::initializer_list<TVarRec> Args,
                                   const TComponent* Component = nullptr);

// The default exception route (SetDefaultExceptionHandler, HandleDefaultException,
// HandleCurrentException) is platform/classes/ExceptionRoute.h.

// The framework's message texts (shared with the engines).
namespace msg {
inline constexpr char16_t SFieldNotFound[] = u"Field '%s' not found";
inline constexpr char16_t SDataSetOpen[] = u"Cannot perform this operation on an open dataset";
inline constexpr char16_t SDataSetClosed[] = u"Cannot perform this operation on a closed dataset";
inline constexpr char16_t SDataSetEmpty[] = u"Cannot perform this operation on an empty dataset";
inline constexpr char16_t SDataSetReadOnly[] = u"Cannot modify a read-only dataset";
inline constexpr char16_t SNotEditing[] = u"Dataset not in edit or insert mode";
inline constexpr char16_t SFieldRequired[] = u"Field '%s' must have a value";
inline constexpr char16_t SFieldReadOnly[] = u"Field '%s' cannot be modified";
inline constexpr char16_t SFieldNameMissing[] = u"Field name missing";
inline constexpr char16_t SDuplicateFieldName[] = u"Duplicate field name '%s'";
inline constexpr char16_t SInvalidFieldSize[] = u"Invalid field size";
inline constexpr char16_t SFieldAccessError[] = u"Cannot access field '%s' as type %s";
inline constexpr char16_t SDataSetMissing[] = u"Field '%s' has no dataset";
inline constexpr char16_t SRecordNotFound[] = u"Record not found";
inline constexpr char16_t SCircularDataLink[] = u"Circular datalinks are not allowed";
inline constexpr char16_t SFieldRangeError[] = u"%s is not a valid value for field '%s'. The allowed range is %s to %s";
inline constexpr char16_t SInvalidIntegerValue[] = u"'%s' is not a valid integer value for field '%s'";
inline constexpr char16_t SInvalidFloatValue[] = u"'%s' is not a valid floating point value for field '%s'";
inline constexpr char16_t SInvalidBoolValue[] = u"'%s' is not a valid boolean value for field '%s'";
inline constexpr char16_t SLookupInfoError[] = u"Lookup information for field '%s' is incomplete";
inline constexpr char16_t SIndexNotFound[] = u"Index '%s' not found";
inline constexpr char16_t SNoIndexForFields[] = u"No index for fields '%s'";
inline constexpr char16_t SParameterNotFound[] = u"Parameter '%s' not found";
inline constexpr char16_t SNotBlobField[] = u"Field '%s' is not a blob field";
inline constexpr char16_t SBlobNotSupported[] = u"Blob streams are not supported by %s";
inline constexpr char16_t SOperationNotSupported[] = u"Operation not supported";
inline constexpr char16_t SFieldIndexError[] = u"Field index out of range";
inline constexpr char16_t SFieldTypeMismatch[] = u"Type mismatch for field '%s', expecting: %s actual: %s";
inline constexpr char16_t SKeyValueCount[] = u"%d key values are needed for '%s'";
inline constexpr char16_t SNoFieldData[] = u"%s does not read field values";
inline constexpr char16_t SNoFieldStore[] = u"%s does not store field values";
}  // namespace msg

// ---- the dataset ---------------------------------------------------------------------------------------
class TDataSet : public TComponent {
  VELLUM_CLASS(TDataSet)
 public:
  explicit TDataSet(TComponent* AOwner);
  ~TDataSet() override;

  // ---- opening and closing -------------------------------------------------------------------------
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  bool Active() const { return FState != dsInactive && FState != dsOpening; }
  // While the component is read from a stream the value is kept and applied by Loaded.
  virtual void SetActive(bool Value);
  void Loaded() override;
  TDataSetState State() const { return FState; }
  // Raises "Cannot perform this operation on a closed dataset" unless active.
  virtual void RequireActive() const;
  // Raises "Cannot perform this operation on an open dataset" when active.
  virtual void RequireInactive() const;

  // ---- editing -------------------------------------------------------------------------------------
  void Append();
  void Insert();
  void Edit();
  void Post();
  void Cancel();
  void Delete();
  // Posts an edit or insert with changes, cancels one without (and posts a key edit).
  void CheckBrowseMode();
  // Asks the data links to write pending control edits into the fields.
  void UpdateRecord();
  void ClearFields();
  bool CanModify() const { return GetCanModify(); }
  bool Modified() const { return FModified; }
  void SetModified(bool Value) { FModified = Value; }
  virtual TUpdateStatus UpdateStatus() const { return usUnmodified; }

  // ---- navigation ----------------------------------------------------------------------------------
  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  // Moves Distance rows; returns the rows actually moved.
  int MoveBy(int Distance);
  bool Eof() const { return FEOF; }
  bool Bof() const { return FBOF; }
  bool IsEmpty() const;
  int RecNo() const { return GetRecNo(); }
  void SetRecNo(int Value) { SetRecNoValue(Value); }
  int RecordCount() const { return GetRecordCount(); }
  int RecordSize() const { return GetRecordSize(); }
  // Refetches the window around the active row (Mode: rmExact raises when the row is gone; rmCenter
  // centres it).
  virtual void Resync(TResyncMode Mode);
  // Rereads the rows from the engine (CursorRefresh) and refetches.
  void Refresh();
  // Brings the engine cursor to the active buffer (see the top of this file).
  void UpdateCursorPos();
  // Forgets where the engine cursor stands; the next UpdateCursorPos repositions it.
  void CursorPosChanged() { FCurrentRecord = -1; }
  virtual bool FindRecord(bool Restart, bool GoForward);
  bool FindFirst() { return FindRecord(true, true); }
  bool FindLast() { return FindRecord(true, false); }
  bool FindNext() { return FindRecord(false, true); }
  bool FindPrior() { return FindRecord(false, false); }
  bool Found() const { return FFound; }
  virtual bool Locate(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options);
  virtual Variant Lookup(const String& KeyFields, const Variant& KeyValues, const String& ResultFields);
  // Copies the active record's engine bytes into Buffer; False when the engine offers none.
  virtual bool GetCurrentRecord(TRecordBuffer Buffer);
  virtual bool IsSequenced() const { return true; }

  // ---- bookmarks -----------------------------------------------------------------------------------
  // The active row's bookmark; empty on an empty dataset or while the active buffer is not a stored row.
  virtual TBookmark GetBookmark() const;
  // The bookmark's bytes as a text, one character per byte (empty when there is none).
  virtual String GetBookmarkAsString() const;
  void GotoBookmark(const TBookmark& Bookmark);
  TBookmark Bookmark() const { return GetBookmark(); }
  void SetBookmark(const TBookmark& Value) { GotoBookmark(Value); }
  void FreeBookmark(TBookmark& Bookmark) const { Bookmark.clear(); }
  bool BookmarkAvailable() const;
  virtual bool BookmarkValid(const TBookmark& Bookmark);
  // -1, 0 or 1 (engines may answer 2 for "not comparable").
  virtual int CompareBookmarks(const TBookmark& Bookmark1, const TBookmark& Bookmark2);
  int BookmarkSize() const { return FBookmarkSize; }

  // ---- fields and definitions ----------------------------------------------------------------------
  TFields& Fields() { return *FFields; }
  const TFields& Fields() const { return *FFields; }
  int FieldCount() const { return FFields->Count(); }
  TFields& AggFields() { return *FAggFields; }
  TField* FindField(std::u16string_view FieldName) const;
  // Raises EDatabaseError "Field '%s' not found" with this dataset as component.
  TField* FieldByName(std::u16string_view FieldName) const;
  TField* FieldByNumber(int FieldNo) const;
  // Values of the named fields (";"-separated): one value, or an array for several names.
  Variant FieldValues(std::u16string_view FieldNames) const;
  void SetFieldValues(std::u16string_view FieldNames, const Variant& Values);
  // Splits ";"-separated names and finds each field (raising for a missing one).
  void GetFieldList(std::vector<TField*>& List, std::u16string_view FieldNames) const;
  void GetFieldNames(std::vector<String>& List) const;
  TFieldDefs& FieldDefs() { return *FFieldDefs; }
  const TFieldDefs& FieldDefs() const { return *FFieldDefs; }
  void SetFieldDefs(const TFieldDefs& Value);
  TIndexDefs& IndexDefs() { return *FIndexDefs; }
  // The flat list of every definition, children under "Parent.Child" and array elements under
  // "Array[i]"; rebuilt by BuildFieldDefList (at open).
  TFieldDefList& FieldDefList() { return *FFieldDefList; }
  void BuildFieldDefList() { FFieldDefList->Build(*FFieldDefs); }
  TFieldOptions& FieldOptions() { return FFieldOptions; }
  const TFieldOptions& FieldOptions() const { return FFieldOptions; }
  // True when the fields were made by the framework or engine (none were persistent at open).
  bool DefaultFields() const { return FDefaultFields; }
  bool AutoCalcFields() const { return FAutoCalcFields; }
  void SetAutoCalcFields(bool Value) { FAutoCalcFields = Value; }
  bool ObjectView() const { return FObjectView; }
  void SetObjectView(bool Value) { FObjectView = Value; }
  bool SparseArrays() const { return FSparseArrays; }
  void SetSparseArrays(bool Value) { FSparseArrays = Value; }
  // Blob stream of a field of the active row. The stream writes back when it is destroyed.
  virtual std::unique_ptr<TStream> CreateBlobStream(TField* Field, TBlobStreamMode Mode);

  // ---- filters -------------------------------------------------------------------------------------
  const String& Filter() const { return FFilterText; }
  virtual void SetFilterText(const String& Value);
  bool Filtered() const { return FFiltered; }
  virtual void SetFiltered(bool Value);
  TFilterOptions FilterOptions() const { return FFilterOptions; }
  virtual void SetFilterOptions(TFilterOptions Value);
  const TFilterRecordEvent& OnFilterRecord() const { return FOnFilterRecord; }
  virtual void SetOnFilterRecord(const TFilterRecordEvent& Value);

  // ---- controls and links --------------------------------------------------------------------------
  // Nesting count: control notifications wait while above 0; the last EnableControls sends one
  // deDataSetChange (or deLayoutChange) and a deUpdateState when the state changed meanwhile.
  void DisableControls();
  void EnableControls();
  bool ControlsDisabled() const { return FDisableCount != 0; }
  // The master data source (read accessor of DataSource); none in the base class.
  TDataSource* DataSource() const { return GetDataSource(); }
  // True when this dataset is (through masters) linked to ADataSource.
  bool IsLinkedTo(const TDataSource* ADataSource) const;
  int BlockReadSize() const { return FBlockReadSize; }
  virtual void SetBlockReadSize(int Value);

  // ---- events --------------------------------------------------------------------------------------
  TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
  TDataSetNotifyEvent BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
  TDataSetNotifyEvent BeforePost, AfterPost, BeforeCancel, AfterCancel;
  TDataSetNotifyEvent BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
  TDataSetNotifyEvent BeforeRefresh, AfterRefresh;
  TDataSetNotifyEvent OnCalcFields, OnNewRecord;
  TDataSetErrorEvent OnPostError, OnEditError, OnDeleteError;

  // ---- window of record buffers (read by engines and data links) ----------------------------------
  int ActiveRecord() const { return FActiveRecord; }
  int BufferCount() const { return FBufferCount; }
  int BufferedRecordCount() const { return FRecordCount; }
  int CurrentRecord() const { return FCurrentRecord; }
  TRecordBuffer ActiveBuffer() const;
  TRecordBuffer Buffers(int Index) const { return FBuffers[static_cast<std::size_t>(Index)]; }
  // The first buffer after the used ones, where fetches land.
  TRecordBuffer SpareBuffer() const { return FBuffers.empty() ? nullptr : FBuffers[static_cast<std::size_t>(FRecordCount)]; }
  // The buffer being calculated (dsCalcFields / dsInternalCalc).
  TRecordBuffer CalcBuffer() const { return FCalcBuffer; }
  int CalcFieldsSize() const { return FCalcFieldsSize; }
  bool InternalCalcFields() const { return FInternalCalcFields; }

  // ---- field data ------------------------------------------------------------------------------------
  // Exactly one virtual slot per direction: GetFieldData(TField*, TValueBuffer) and
  // WriteFieldData(TField*, TConstValueBuffer). Every other form below is plain and lands on those two,
  // so an engine overrides two functions and nothing reads around them. An engine that does not
  // override GetFieldData gets an error naming its class, never a silent null.
  // (Overriding a slot hides the other forms for calls made through the engine's own type: engines add
  // `using TDataSet::GetFieldData; using TDataSet::WriteFieldData;`.)
  virtual bool GetFieldData(TField* Field, TValueBuffer Buffer);
  virtual void WriteFieldData(TField* Field, TConstValueBuffer Buffer);
  // The forms with a format flag: NativeFormat false converts through ConvertFieldData for the types
  // with two forms (FieldTypes.h); the fields' typed accessors come this way.
  bool GetFieldData(TField* Field, TValueBuffer Buffer, bool NativeFormat);
  void WriteFieldData(TField* Field, TConstValueBuffer Buffer, bool NativeFormat);
  bool GetFieldData(int FieldNo, TValueBuffer Buffer);
  // The raw-pointer forms read and write DataSize bytes (nullptr: the null test / null).
  bool GetFieldData(TField* Field, Byte* Buffer);
  bool GetFieldData(TField* Field, Byte* Buffer, bool NativeFormat);
  void WriteFieldData(TField* Field, const Byte* Buffer);
  void WriteFieldData(TField* Field, const Byte* Buffer, bool NativeFormat);

  // ---- engine slots ----------------------------------------------------------------------------------
  // (public only so that fields, links and blob streams of other classes reach them; an application
  // calls the operations above.)
  // Variant-valued fields (ftVariant): the engine's dynamic value. Defaults: Null / raise.
  virtual bool GetFieldValue(TField* Field, Variant& Value);
  virtual void WriteFieldValue(TField* Field, const Variant& Value);
  // Converts between the native and the non-native form (FieldTypes.h).
  virtual void ConvertFieldData(TField* Field, TConstValueBuffer Source, TValueBuffer Dest, bool ToNative);
  // The value of a field in another state (dsOldValue, dsNewValue, dsCurValue).
  virtual Variant GetStateFieldValue(TDataSetState AState, TField* Field);
  virtual void SetStateFieldValue(TDataSetState AState, TField* Field, const Variant& Value);
  // The engine ends a blob stream's life on the field.
  virtual void CloseBlob(TField* Field) { (void)Field; }
  // Tells the data sources (unless controls are disabled) and keeps Modified / calculated fields.
  virtual void DispatchDataEvent(TDataEvent Event, std::intptr_t Info);
  // The class for a field of Type (the framework's table by default).
  virtual TFieldClass ChooseFieldClass(TFieldType Type) const;
  // Field definitions changed (FieldDefs.Changed).
  virtual void DefinitionsChanged(TObject* Sender);
  // Reads the field definitions from the engine: CursorReadFieldDefs through FieldDefs.Update.
  virtual void RefreshFieldDefs();
  virtual void RefreshIndexDefs() {}
  // The aggregate value of an aggregate field (the engine computes it).
  virtual Variant ReadAggregateValue(TField* Field);
  virtual void ResetAggregateField(TField* Field) { (void)Field; }
  virtual bool IsFieldInIndex(TField* Field) const { (void)Field; return false; }
  // The key fields for a provider: the fields with pfInKey, else the primary index's fields.
  virtual String PSGetKeyFields();
  // A copy of IndexDefs holding the definitions with any of Options (all when Options is 0).
  virtual std::unique_ptr<TIndexDefs> PSGetIndexDefList(TIndexOptions Options);
  // The fields that link a detail to this dataset as master (none in the base class).
  virtual void GetDetailLinkFields(std::vector<TField*>& MasterFields, std::vector<TField*>& DetailFields);
  // Raises "Type mismatch for field '%s', expecting: %s actual: %s" when a persistent field and its
  // definition disagree (BindAllFields asks for each persistent data field).
  virtual void VerifyFieldMatchesDef(TField* Field, TFieldDef* FieldDef);
  TDataSetState SetTempState(TDataSetState Value);
  void RestoreState(TDataSetState Value);
  void UpdateCalculatedFieldsOf(TRecordBuffer Buffer) { UpdateCalculatedFields(Buffer); }
  void ResetCalculatedFieldsOf(TRecordBuffer Buffer) { ResetCalculatedFields(Buffer); }

  // The calculated area: engines keep it inside their buffers and pass its start here.
  static bool ReadCalculatedField(const Byte* CalcArea, const TField* Field, TValueBuffer Buffer);
  static void WriteCalculatedField(Byte* CalcArea, const TField* Field, TConstValueBuffer Buffer);

 protected:
  // ---- cursor ----------------------------------------------------------------------------------------
  virtual void CursorOpen() = 0;
  virtual void CursorClose() = 0;
  virtual bool CursorIsOpen() const = 0;
  // Fills FieldDefs from the engine; the default builds them from the fields.
  virtual void CursorReadFieldDefs();
  // Called from inside a catch block with the engine's exception; the default hands it to the
  // default exception route (HandleCurrentException).
  virtual void HandleEngineException();
  virtual TFetchResult FetchRecord(TRecordBuffer Buffer, TFetchMode Mode, bool DoCheck) = 0;
  virtual void CursorFirst() = 0;
  virtual void CursorLast() = 0;
  // The base checks required fields; engines call it first.
  virtual void CursorPost();
  virtual void CursorAddRecord(TRecordBuffer Buffer, bool Append);
  virtual void CursorDelete() = 0;
  virtual void CursorInsert() {}
  virtual void CursorEdit() {}
  virtual void CursorCancel() {}
  virtual void CursorRefresh() {}
  virtual void CursorGotoBookmark(TConstValueBuffer Bookmark) = 0;
  virtual void CursorSetToRecord(TRecordBuffer Buffer) = 0;
  virtual void CursorInitRecord(TRecordBuffer Buffer) = 0;
  // Opening and closing around the cursor: StartCursor calls CursorOpen and lays out the buffers;
  // StopCursor frees the buffers, calls CursorClose and frees automatic fields.
  virtual void StartCursor(bool InfoQuery);
  virtual void StopCursor();

  // ---- record buffers and bookmarks ------------------------------------------------------------------
  virtual TRecordBuffer AllocateRecordBuffer() = 0;
  virtual void ReleaseRecordBuffer(TRecordBuffer& Buffer) = 0;
  virtual void ReadBookmarkData(TRecordBuffer Buffer, TValueBuffer Data) = 0;
  virtual void WriteBookmarkData(TRecordBuffer Buffer, TConstValueBuffer Data) = 0;
  virtual TBookmarkFlag ReadBookmarkFlag(TRecordBuffer Buffer) = 0;
  virtual void WriteBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) = 0;
  // CursorInitRecord, ResetCalculatedFields, flag bfInserted.
  virtual void PrepareNewRecord(TRecordBuffer Buffer);
  void SetBookmarkSize(int Value) { FBookmarkSize = Value; }

  // ---- field data: what the framework decides for every engine ------------------------------------------
  // The record buffer fields read and write in the current state: the active buffer while browsing a
  // window that holds a row, while editing or inserting, and for dsNewValue / dsCurValue; CalcBuffer()
  // in dsCalcFields / dsInternalCalc; FilterBuffer() in dsFilter; none otherwise (dsOldValue: the
  // framework does not keep the stored row; dsSetKey: no key buffer). An engine overrides it only for
  // a buffer of its own (a row probed by a search, the stored row for dsOldValue) and calls this one
  // for the rest.
  virtual TRecordBuffer StateBuffer() const;
  // The buffer a WriteFieldData stores into: StateBuffer() when the state takes writes (dsEdit,
  // dsInsert, dsSetKey, dsCalcFields, dsFilter, dsNewValue, dsInternalCalc); raises "Dataset not in
  // edit or insert mode" otherwise or when the state has no buffer.
  TRecordBuffer WritableStateBuffer() const;
  // The end of a WriteFieldData: outside dsCalcFields / dsFilter / dsNewValue (states that compute a
  // value rather than edit the row) the data links hear deFieldChange and the record counts as modified.
  void FieldDataWritten(TField* Field);
  // The one splitter of Locate and Lookup, so every engine answers a malformed call alike.
  // Keys: one per name in KeyFields (";"-separated, resolved with FieldByName, which raises "Field '%s'
  // not found" for a name no field bears); a plain Exception "Field '%s' not found" with the whole text
  // when it names no field at all. Key k takes element k of KeyValues when that is an array (so one name
  // with an array takes its first element), else KeyValues itself. Returns false when several names
  // come with one plain value: such a call matches no row. An array shorter than the names raises
  // "%d key values are needed for '%s'".
  struct TLocateKey {
    TField* Field;
    Variant Value;
  };
  bool GetLocateKeys(const String& KeyFields, const Variant& KeyValues, std::vector<TLocateKey>& Keys) const;
  // Result names of a Lookup, split the same way (empty names dropped); a name no field bears gives
  // nullptr, which reads as Null.
  void GetLookupResultFields(const String& ResultFields, std::vector<TField*>& Fields) const;
  // The value Lookup returns for one row: Value(field) for one result field (Null for nullptr), an
  // array of them for several.
  static Variant LookupResult(const std::vector<TField*>& Fields, const std::function<Variant(TField*)>& Value);

  // ---- accessors engines override ----------------------------------------------------------------------
  virtual int GetRecordSize() const { return 0; }
  virtual int GetRecordCount() const { return -1; }
  virtual int GetRecNo() const { return -1; }
  virtual void SetRecNoValue(int Value) { (void)Value; }
  virtual bool GetCanModify() const { return true; }
  virtual TDataSource* GetDataSource() const { return nullptr; }

  // ---- calculated fields -------------------------------------------------------------------------------
  // Zeroes the calculated area (engines that keep one override).
  virtual void ResetCalculatedFields(TRecordBuffer Buffer) { (void)Buffer; }
  // dsCalcFields around EvaluateCalculatedFields when there are calculated fields.
  virtual void UpdateCalculatedFields(TRecordBuffer Buffer);
  // Lookups, then OnCalcFields, into Buffer.
  virtual void EvaluateCalculatedFields(TRecordBuffer Buffer);
  virtual void UpdateInternalCalcFields(TRecordBuffer Buffer) { (void)Buffer; }

  // ---- fields ------------------------------------------------------------------------------------------
  // Makes one automatic field per definition (not hidden unless FieldDefs.HiddenFields).
  virtual void BuildDefaultFields();
  // Numbers and lays out the fields (calculated area) or releases them.
  virtual void BindAllFields(bool Binding);
  // Frees every field.
  void DestroyFields();
  // Frees the fields whose LifeCycle is lcAutomatic.
  void DestroyAutomaticFields();
  // Sets every field's life cycle (lcAutomatic: freed on close).
  void SetFieldsLifeCycle(TFieldLifeCycle Value);

  // ---- event steps -------------------------------------------------------------------------------------
  virtual void DoBeforeOpen() { Raise(BeforeOpen); }
  virtual void DoAfterOpen() { Raise(AfterOpen); }
  virtual void DoBeforeClose() { Raise(BeforeClose); }
  virtual void DoAfterClose() { Raise(AfterClose); }
  virtual void DoBeforeInsert() { Raise(BeforeInsert); }
  virtual void DoAfterInsert() { Raise(AfterInsert); }
  virtual void DoBeforeEdit() { Raise(BeforeEdit); }
  virtual void DoAfterEdit() { Raise(AfterEdit); }
  virtual void DoBeforePost() { Raise(BeforePost); }
  virtual void DoAfterPost() { Raise(AfterPost); }
  virtual void DoBeforeCancel() { Raise(BeforeCancel); }
  virtual void DoAfterCancel() { Raise(AfterCancel); }
  virtual void DoBeforeDelete() { Raise(BeforeDelete); }
  virtual void DoAfterDelete() { Raise(AfterDelete); }
  virtual void DoBeforeScroll() { Raise(BeforeScroll); }
  virtual void DoAfterScroll() { Raise(AfterScroll); }
  virtual void DoBeforeRefresh() { Raise(BeforeRefresh); }
  virtual void DoAfterRefresh() { Raise(AfterRefresh); }
  virtual void DoOnCalcFields() { Raise(OnCalcFields); }
  virtual void DoOnNewRecord() { Raise(OnNewRecord); }

  // ---- window management for engines -------------------------------------------------------------------
  // Empties the window (no rows buffered, cursor position unknown, Bof and Eof set).
  void ClearBuffers();
  void SetBufferCount(int Value);
  // Recomputes the buffer count from the data links.
  void UpdateBufferCount();
  void SetCurrentRecord(int Index);
  // Refetches from the current cursor position (used after an engine changed its rows wholesale).
  void ActivateBuffers();
  int GetNextRecords();
  int GetPriorRecords();
  bool GetNextRecord();
  bool GetPriorRecord();
  void SetFound(bool Value) { FFound = Value; }
  // Runs OnFilterRecord on the buffer as dsFilter (engines that filter through the event call it from
  // FetchRecord); True when accepted or when no event is assigned.
  bool RecordPassesFilterEvent(TRecordBuffer Buffer);
  TRecordBuffer FilterBuffer() const { return FFilterBuffer; }
  void SetState(TDataSetState Value);
  void SetDefaultFields(bool Value) { FDefaultFields = Value; }

  // Before-insert steps shared by Append and Insert, and the steps after the buffer is placed.
  void BeginInsertAppend();
  void EndInsertAppend();
  // Runs Operation (after UpdateCursorPos), offering ErrorEvent the retry on an EDatabaseError.
  void CheckOperation(void (TDataSet::*Operation)(), const TDataSetErrorEvent& ErrorEvent);
  void CheckRequiredFields();

 private:
  friend class TField;
  friend class TFields;
  friend class TFieldDefs;
  friend class TDataSource;
  friend class TDataLink;

  void Raise(const TDataSetNotifyEvent& Event) {
    if (Event) Event(*this);
  }
  void OpenCursorComplete();
  void MoveBuffer(int CurIndex, int NewIndex);
  void FreeBuffers();
  void AddDataSource(TDataSource* ADataSource);
  void RemoveDataSource(TDataSource* ADataSource);
  void CalculateCalcFieldsLayout();
  void UpdateCalcFieldsOnChange();
  bool ActiveBufferIsRow() const;
  bool FetchCurrentVisible(TRecordBuffer Buffer);

  std::unique_ptr<TFields> FFields;
  std::unique_ptr<TFields> FAggFields;
  std::unique_ptr<TFieldDefs> FFieldDefs;
  std::unique_ptr<TIndexDefs> FIndexDefs;
  std::vector<TDataSource*> FDataSources;  // borrowed; each tells us when it goes
  std::vector<TRecordBuffer> FBuffers;     // FBufferCount + 1 (the spare), engine-allocated
  TBookmark FBookmarkScratch;              // BookmarkSize bytes, reused by Insert
  TRecordBuffer FCalcBuffer = nullptr;
  TRecordBuffer FFilterBuffer = nullptr;
  TDataSetState FState = dsInactive;
  TDataSetState FDisableState = dsInactive;
  TDataEvent FEnableEvent = deDataSetChange;
  String FFilterText;
  TFilterOptions FFilterOptions = 0;
  TFilterRecordEvent FOnFilterRecord;
  int FBufferCount = 0;
  int FRecordCount = 0;
  int FActiveRecord = 0;
  int FCurrentRecord = -1;
  int FBookmarkSize = 0;
  int FCalcFieldsSize = 0;
  int FDisableCount = 0;
  int FBlockReadSize = 0;
  bool FBOF = true;
  bool FEOF = true;
  bool FModified = false;
  bool FFiltered = false;
  bool FFound = false;
  bool FDefaultFields = false;
  bool FAutoCalcFields = true;
  bool FInternalCalcFields = false;
  bool FObjectView = false;
  bool FSparseArrays = false;
  bool FHasLookups = false;
  bool FStreamedActive = false;
  std::unique_ptr<TFieldDefList> FFieldDefList;
  TFieldOptions FFieldOptions;
};

// ---- data source and data links ------------------------------------------------------------------------
// A data source connects one dataset to any number of data links and forwards the dataset's events.
class TDataSource : public TComponent {
  VELLUM_CLASS(TDataSource)
 public:
  explicit TDataSource(TComponent* AOwner);
  ~TDataSource() override;

  TDataSet* DataSet() const { return FDataSet; }
  // Raises "Circular datalinks are not allowed" when ADataSet is linked back to this source.
  void SetDataSet(TDataSet* ADataSet);
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool Value);
  bool AutoEdit() const { return FAutoEdit; }
  void SetAutoEdit(bool Value) { FAutoEdit = Value; }
  TDataSetState State() const { return FState; }
  // Edits the dataset when AutoEdit and browsing.
  void Edit();
  bool IsLinkedTo(const TDataSet* ADataSet) const;
  const std::vector<TDataLink*>& DataLinks() const { return FDataLinks; }

  TNotifyEvent OnStateChange;
  TDataChangeEvent OnDataChange;
  TNotifyEvent OnUpdateData;

  // The dataset's events reach the links through here.
  void DataEvent(TDataEvent Event, std::intptr_t Info);

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;

 private:
  friend class TDataLink;
  friend class TDataSet;
  void AddDataLink(TDataLink* Link);
  void RemoveDataLink(TDataLink* Link);
  void NotifyLinks(TDataEvent Event, std::intptr_t Info);
  void NotifyDataLinks();
  void SetState(TDataSetState Value);
  void UpdateState();

  TDataSet* FDataSet = nullptr;
  std::vector<TDataLink*> FDataLinks;  // borrowed; each detaches itself when it goes
  TDataSetState FState = dsInactive;
  bool FEnabled = true;
  bool FAutoEdit = true;
};

// A link watches a data source. Descendants override the notifications they care for.
class TDataLink : public TPersistent {
  VELLUM_CLASS(TDataLink)
 public:
  TDataLink();
  ~TDataLink() override;

  TDataSource* DataSource() const { return FDataSource; }
  void SetDataSource(TDataSource* ADataSource);
  TDataSet* DataSet() const;
  bool Active() const { return FActive; }
  bool Editing() const { return FEditing; }
  bool ReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool Value);
  // The link's view of the window.
  int ActiveRecord() const;
  void SetActiveRecord(int Value);
  int BufferCount() const { return FBufferCount; }
  void SetBufferCount(int Value);
  int RecordCount() const;
  // Puts the dataset into edit state when allowed; True when editing.
  bool Edit();
  void UpdateRecord();
  // The dataset this link makes depend on the source (detail links), or none.
  virtual TDataSet* GetDetailDataSet() const { return nullptr; }

  // Called by the data source.
  virtual void DataEvent(TDataEvent Event, std::intptr_t Info);

 protected:
  virtual void ActiveChanged() {}
  virtual void CheckBrowseMode() {}
  virtual void DataSetChanged() { RecordChanged(nullptr); }
  virtual void DataSetScrolled(int Distance) { (void)Distance; DataSetChanged(); }
  virtual void EditingChanged() {}
  virtual void FocusControl(TField* Field) { (void)Field; }
  virtual void LayoutChanged() { DataSetChanged(); }
  virtual void RecordChanged(TField* Field) { (void)Field; }
  virtual void UpdateData() {}

 private:
  friend class TDataSource;
  friend class TDataSet;
  void SetActive(bool Value);
  void SetEditing(bool Value);
  void UpdateWindow();

  TDataSource* FDataSource = nullptr;
  int FFirstRecord = 0;
  int FBufferCount = 1;
  bool FActive = false;
  bool FEditing = false;
  bool FReadOnly = false;
  bool FUpdating = false;
};

class TDetailDataLink : public TDataLink {
  VELLUM_CLASS(TDetailDataLink)
};

// The link of a detail dataset to its master: it keeps the master fields named by FieldNames and calls
// OnMasterChange when the master row or one of those fields changes, OnMasterDisable when the master
// closes.
class TMasterDataLink : public TDetailDataLink {
  VELLUM_CLASS(TMasterDataLink)
 public:
  explicit TMasterDataLink(TDataSet* ADataSet);
  ~TMasterDataLink() override;

  TDataSet* GetDetailDataSet() const override { return FDetailDataSet; }
  const String& FieldNames() const { return FFieldNames; }
  void SetFieldNames(const String& Value);
  // The master's fields named by FieldNames (empty while inactive).
  const std::vector<TField*>& Fields() const { return FFields; }

  TNotifyEvent OnMasterChange;
  TNotifyEvent OnMasterDisable;

 protected:
  void ActiveChanged() override;
  void CheckBrowseMode() override;
  void LayoutChanged() override;
  void RecordChanged(TField* Field) override;

 private:
  void UpdateFields();
  TDataSet* FDetailDataSet;
  String FFieldNames;
  std::vector<TField*> FFields;
};

// Splits a ";"-separated list of field names, advancing Pos (the platform's name extraction); empty
// when the list is exhausted.
String ExtractFieldName(std::u16string_view Fields, std::size_t& Pos);
