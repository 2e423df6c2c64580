// The program log: an in-memory list that the log window shows, copied to
// "zentu.log" in the home when debugging is on. Safe from any thread.
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace zentu {

// printf-style; a null or empty format writes nothing. Returns 1.
int WriteLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Written only when the debug flag is on.
int WriteLogVerbose(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Replaces the last `rows` lines (1 to 3) with this one: progress of long work.
int WriteLogProgress(int rows, const char* format, ...) __attribute__((format(printf, 2, 3)));

namespace log {
void SetDebugFlag(bool on);
bool DebugFlag();
// Program path of the log file ("" = none).
void SetLogFile(const std::string& path);
std::string LogFile();
std::vector<std::string> Lines();
void Clear();
// Called with each new line and how many last rows it replaces (0 = append).
// Called on the writing thread: observers marshal to their own thread.
using Observer = std::function<void(const std::string& line, int replaces)>;
int AddObserver(Observer observer);
void RemoveObserver(int id);
// Also copy every line to stderr (headless runs).
void SetEcho(bool on);
}  // namespace log

}  // namespace zentu
