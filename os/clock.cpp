#include "os/clock.h"

#include <atomic>
#include <chrono>
#include <cstdio>

namespace zentu::os {
namespace {
Clock g_systemClock;
std::atomic<Clock*> g_clock{&g_systemClock};
}  // namespace

std::time_t Clock::Now() const { return std::time(nullptr); }

uint64_t Clock::TickMs() const {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

LocalTime Clock::ToLocal(std::time_t t) const {
  struct tm tm {};
  localtime_r(&t, &tm);
  LocalTime lt;
  lt.year = tm.tm_year + 1900;
  lt.month = tm.tm_mon + 1;
  lt.day = tm.tm_mday;
  lt.hour = tm.tm_hour;
  lt.minute = tm.tm_min;
  lt.second = tm.tm_sec;
  lt.weekday = tm.tm_wday;
  return lt;
}

Clock& GetClock() { return *g_clock.load(); }

void SetClock(Clock* clock) { g_clock = clock ? clock : &g_systemClock; }

std::time_t FromLocal(const LocalTime& lt) {
  struct tm tm {};
  tm.tm_year = lt.year - 1900;
  tm.tm_mon = lt.month - 1;
  tm.tm_mday = lt.day;
  tm.tm_hour = lt.hour;
  tm.tm_min = lt.minute;
  tm.tm_sec = lt.second;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

std::string DateTimeText(const LocalTime& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04u/%02u/%02u %02u:%02u:%02u", static_cast<unsigned>(t.year),
                static_cast<unsigned>(t.month), static_cast<unsigned>(t.day), static_cast<unsigned>(t.hour),
                static_cast<unsigned>(t.minute), static_cast<unsigned>(t.second));
  return buf;
}

}  // namespace zentu::os
