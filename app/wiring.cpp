// Each hook is set on its own (SetPipelineHook, SetHook, SetChannelHook), so a
// module added here cannot drop what another one installed. The windows'
// change notices are not wired here: ui::AppWindows registers its tree
// observer for as long as the windows exist.
#include "app/wiring.h"

#include <string_view>

#include "browser/lists.h"
#include "capture/feeds.h"
#include "capture/job.h"
#include "capture/pipeline.h"
#include "capture/rules.h"
#include "capture/schedule.h"
#include "search/sync.h"
#include "store/keyconfig.h"
#include "store/listfiles.h"
#include "store/locklist.h"

namespace zentu {

void InstallModules(DownloadManager& manager) {
  // Configuration files: the rule files (capture) and the list files (store)
  // join the table before it is read.
  InstallRuleFileHooks();
  RegisterListFileHooks();
  // The browser's keyword, pop-up block and last-opened lists.
  InstallBrowserListHooks();
  // keyconfig.dat and keyconfig_editor.dat.
  InstallKeyConfigHooks();
  InstallScheduleFileHooks();

  // The queue starts the pipeline's workers and has it initialise new jobs
  // (JobHooks::startWorkers, JobHooks::initJob).
  InstallPipeline(manager);

  // The pipeline asks the lock list before it overwrites a saved copy.
  SetPipelineHook(&PipelineHooks::isUrlLocked, [](std::string_view url) { return IsUrlLocked(url); });

  // Feed jobs (Type 2) and OPML jobs (Type 3) are analysed by the feed reader
  // (PipelineHooks::analyzeFeed, importOpml).
  InstallFeeds();

  // Sync folders are filled from their directories whenever the tree file is read.
  InstallSyncFolders();

  // Not yet built, so left empty: the command channel's ChannelHooks (site-download dialog,
  // external downloader, editor, browser tabs, scrap), whose commands log what
  // they would have done.
}

}  // namespace zentu
