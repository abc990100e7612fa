// The raw floor of the headless driver: the benchmark's seven operations done by a plain vector of
// structs, with no dataset, no fields and no engine, so that the driver can print, beside the engine
// columns, what the same work costs on this machine in the same run.
//
// A straightforward implementation, neither tuned nor handicapped:
// - a row is a struct of the seven values; the sized texts are fixed arrays (the name in the system code
//   page, cut at 10 bytes as the engines store it; the address cut at 20 characters), the memo a
//   std::u16string;
// - rows are filled from the benchmark's own row generator (DrawBenchmarkRow), the address and comment
//   made from the name as stored, as FillBenchmarkRow does;
// - Append pushes rows at the end; Insert puts each new row before the current row, the cursor staying
//   on the row just inserted, as a dataset's Insert does; since that position does not move, the new rows
//   are gathered and moved in once, in the order the single inserts would leave them;
// - saves write the field-list engine's row layout (a has-value byte, then the value; texts and the memo
//   with a 32-bit byte length), so they write as many bytes as that engine's rows; a file is written
//   through a 256 KB buffer, a stream save measures and then fills a freshly allocated buffer;
// - Empty clears the vector; a load parses into a new vector (a file through a 1 MB buffer) and then
//   replaces the rows, so a failed load keeps them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TRawFloor {
 public:
  void Append(int Count);
  void Insert(int Count);
  void SaveToFile(const std::string& FileName) const;
  void SaveToStream();
  void Empty();
  void LoadFromFile(const std::string& FileName);
  void LoadFromStream();

  std::size_t RowCount() const { return FRows.size(); }
  std::size_t StreamSize() const { return FStreamSize; }

  struct TRow {
    std::int32_t CustomerID = 0;
    std::uint8_t NameLength = 0;  // bytes
    char ContactName[10] = {};
    std::uint8_t AddressLength = 0;  // characters
    std::uint16_t MaritalStatus = 0;
    double Birthdate = 0;
    double Salary = 0;
    char16_t Address[20] = {};
    std::u16string Comment;
  };

 private:
  TRow MakeRow(int CustomerID) const;

  std::vector<TRow> FRows;
  std::unique_ptr<std::uint8_t[]> FStream;
  std::size_t FStreamSize = 0;
};
