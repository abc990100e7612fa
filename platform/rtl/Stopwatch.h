// Time measurement and process end: TStopwatch over the steady clock, the 32-bit millisecond tick
// counter, and "end the process at once" behind a hook tests replace.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

class TStopwatch {
 public:
  using Clock = std::chrono::steady_clock;

  static TStopwatch Create() { return TStopwatch(); }
  static TStopwatch StartNew() {
    TStopwatch s;
    s.Start();
    return s;
  }
  // Start and Stop accumulate: stopping and starting again continues the total.
  void Start();
  void Stop();
  void Reset();    // stopped, elapsed 0
  void Restart();  // Reset then Start
  bool IsRunning() const { return FRunning; }
  std::int64_t ElapsedMilliseconds() const;
  std::int64_t ElapsedTicks() const;  // in Frequency units (nanoseconds)
  static constexpr std::int64_t Frequency = 1'000'000'000;

 private:
  Clock::duration Elapsed() const;
  Clock::duration FElapsed{};
  Clock::time_point FStart{};
  bool FRunning = false;
};

// Milliseconds since an arbitrary start, wrapping at 2^32: take differences as Cardinal (uint32)
// subtraction, which stays right across the wrap.
std::uint32_t GetTickCount();
std::uint64_t GetTickCount64();
// Elapsed ms between two GetTickCount readings, modulo 2^32.
inline std::uint32_t TickDiff(std::uint32_t Start, std::uint32_t End) { return End - Start; }

// Ends the process at once with exit code 0: no destructor, no finalisation, no buffered output
// flushed. Production calls std::_Exit(0); SetTerminateProcessHook replaces that (an empty function
// restores it). The hook may return; then TerminateProcessNow returns too.
using TTerminateHook = std::function<void(int ExitCode)>;
void SetTerminateProcessHook(TTerminateHook Hook);
void TerminateProcessNow();
