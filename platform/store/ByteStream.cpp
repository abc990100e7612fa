#include "platform/store/ByteStream.h"

void TByteWriter::Put(const void* Data, std::size_t Size) {
  if (Size > FBlock.size() - FUsed) {
    Flush();
    if (Size > FBlock.size()) {
      FStream.WriteBuffer(Data, static_cast<Int64>(Size));
      return;
    }
  }
  if (Size != 0) std::memcpy(FBlock.data() + FUsed, Data, Size);
  FUsed += Size;
}

Byte* TByteWriter::Room(std::size_t Count) {
  if (Count > FBlock.size() - FUsed) {
    Flush();
    if (Count > FBlock.size()) FBlock.resize(Count);
  }
  return FBlock.data() + FUsed;
}

void TByteWriter::Flush() {
  if (FUsed != 0) FStream.WriteBuffer(FBlock.data(), static_cast<Int64>(FUsed));
  FUsed = 0;
}

std::span<const Byte> WholeStreamBytes(TStream& Stream, Int64 From, std::vector<Byte>& Holder) {
  const Int64 size = Stream.Size();
  if (From < 0 || size <= From) return {};
  Stream.SetPosition(From);
  if (auto* memory = dynamic_cast<TCustomMemoryStream*>(&Stream))
    return {static_cast<const Byte*>(memory->Memory()) + From, static_cast<std::size_t>(size - From)};
  Holder.resize(static_cast<std::size_t>(size - From));
  Holder.resize(static_cast<std::size_t>(Stream.Read(Holder.data(), static_cast<Int64>(Holder.size()))));
  return {Holder.data(), Holder.size()};
}
