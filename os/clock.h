// The one clock of the program; tests replace it.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>

namespace zentu::os {

struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, weekday = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::time_t Now() const;        // wall time, seconds
  virtual uint64_t TickMs() const;        // monotonic milliseconds
  virtual LocalTime ToLocal(std::time_t t) const;
};

Clock& GetClock();
// nullptr restores the system clock. The caller keeps ownership.
void SetClock(Clock* clock);

inline std::time_t Now() { return GetClock().Now(); }
inline uint64_t TickMs() { return GetClock().TickMs(); }
inline LocalTime LocalNow() { return GetClock().ToLocal(GetClock().Now()); }
// Seconds since the epoch for a local date and time; -1 when invalid.
std::time_t FromLocal(const LocalTime& lt);
// "yyyy/mm/dd hh:mm:ss", the form of an item's dates in the tree.
std::string DateTimeText(const LocalTime& t);

}  // namespace zentu::os
