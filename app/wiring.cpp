// Each hook is set on its own (SetPipelineHook, SetHook, SetChannelHook), so a
// module added here cannot drop what another one installed. The windows'
// change notices are not wired here: ui::AppWindows registers its tree
// observer for as long as the windows exist.
#include "app/wiring.h"

#include <string_view>

#include "browser/lists.h"
#include "capture/feeds.h"
#include "capture/job.h"
#include "capture/mirror.h"
#include "capture/pipeline.h"
#include "capture/rules.h"
#include "capture/schedule.h"
#include "capture/sitedownload.h"
#include "intake/channel.h"
#include "search/sync.h"
#include "store/keyconfig.h"
#include "store/listfiles.h"
#include "store/locklist.h"

namespace zentu {

void InstallModules(DownloadManager& manager, OwnCommand ownCommand) {
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

  // The mirror opens the index it wrote the way the classic program did:
  // through the command channel of its own main window. Its folder dialog
  // and the list's selection are the windows' (ui::AppWindows sets them
  // while they exist; without them the mirror goes to Export\mirror).
  SetMirrorHook(&MirrorHooks::openIndex, [ownCommand](std::string_view indexPath) {
    if (ownCommand) ownCommand(kCommandOther, std::string(kMarkerOpenUrl) + "URL=" + std::string(indexPath));
  });

  // A site download with an external downloader configured hands it the URL.
  // The site-download dialog is the windows' (without them the command
  // takes the settings it has and logs them).
  SetChannelHook(&ChannelHooks::startExternalDownloader, [](std::string_view program, std::string_view url) {
    (void)StartExternalDownloader(program, url);
  });
}

}  // namespace zentu
