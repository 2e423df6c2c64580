// Scheduled updates: which folders are updated at start-up, on the
// update-by-action command and every 10 or 30 minutes or 1 to 24 hours (the
// schedule table, "update.dat"), the tick of the 10-minute timer, and the
// folder updates themselves, which only queue jobs.
//
// The table has its own lock; every function here may be called from any
// thread. A schedule run and each folder update run on threads of the
// schedule's own worker pool. A folder update takes the tree lock, then the
// queue's (through the add operations).
#pragma once
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "store/tree.h"

namespace zentu {

enum ScheduleMode : int {
  kUpdateAtFirst = 1,
  kUpdateByAction = 2,
  kUpdatePer10Minutes = 3,
  kUpdatePer30Minutes = 4,
  kUpdatePer1Hour = 5,
  kUpdatePer2Hours = 6,
  kUpdatePer3Hours = 7,
  kUpdatePer6Hours = 8,
  kUpdatePer12Hours = 9,
  kUpdatePer24Hours = 10,
};
inline constexpr int kScheduleModeCount = 10;

// "[Update at first]" .. "[Update per 24 hours]"; "" for another number.
std::string_view ScheduleSectionHeader(int mode);

struct ScheduleEntry {
  int mode = 0;  // 0: read before any section header, never runs
  std::string path;  // tree path: "Zentu" TAB title TAB ...
  bool operator==(const ScheduleEntry&) const = default;
};

// --- The table ---

// Replaces the table with the file's entries. 1 read, 0 when the file is
// missing (logged; the table is then empty).
int LoadSchedule(const std::string& path);
// The text SaveSchedule writes (LF line ends).
std::string FormatSchedule();
// Writes the table (CR LF) and empties it. 1 written, 0 on failure.
int SaveSchedule(const std::string& path);
// 1 when the pair was added, 0 when it was listed already or is no pair.
int AddScheduleEntry(int mode, std::string_view path);
// 1 when the pair was removed.
int RemoveScheduleEntry(int mode, std::string_view path);
bool HasScheduleEntry(int mode, std::string_view path);
std::vector<ScheduleEntry> ScheduleEntries();
void ResetSchedule();

// --- Runs ---

// The modes one tick of the 10-minute timer runs; `counter` starts at 1 and
// is advanced (and starts again at 1 after the 144th tick).
std::vector<int> ScheduleModesForTick(int& counter);
// One tick: RunSchedule for each of its modes.
void RunScheduleTick(int& counter);
// Updates every folder listed under the mode, on threads of their own. 1 when
// the run started; 0 when another run stayed busy for 5 s (the user is told).
int RunSchedule(int mode);
// Waits until every schedule run and folder update has ended (tests, shutdown).
bool WaitForScheduleIdle(std::chrono::milliseconds limit);
// Stops and joins the schedule's threads (shutdown).
void StopSchedules(std::chrono::milliseconds limit);

// Queues the folder's direct children: the feed of each RSS folder, and each
// URL item whose URL is not locked (its download flag becomes "changed").
// Sub-folders are left alone. An RSS folder itself gets its feed queued.
// Returns the number of jobs asked for.
// Tree lock held.
int UpdateFolderChildren(TreeNode* folder);
// UpdateFolderChildren under the tree lock, then the tree is saved when
// SaveAtAddition is on.
int UpdateFolder(TreeNode* folder);
// UpdateFolder on a thread of its own.
void StartFolderUpdate(TreeNode* folder);

// --- The user's update commands (after their confirmation) ---

// Update of one selected node: an RSS folder's feed (with the folder), any
// other folder's children, or a URL item. Tree lock held.
void UpdateSelectedNode(TreeNode* node);
// The update-folder command: a URL item as above, an RSS folder's feed
// without the folder (the analysis finds it by URL), another folder's
// children. Tree lock held.
void UpdateFolderCommand(TreeNode* node);
// Update of the items selected in a list, in order. A sync folder cannot be
// updated (the user is told). Saves the tree when SaveAtAddition is on.
// Takes the tree lock itself; returns the number of nodes queued.
int UpdateListSelection(const std::vector<TreeNode*>& nodes);

// Installs LoadSchedule and SaveSchedule for "update.dat".
void InstallScheduleFileHooks();

}  // namespace zentu
