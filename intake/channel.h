// The command channel: texts that a second start or the browser extension hands
// to the running program, each beginning with a marker comment, and the
// command-line options of a second start that produce them. Texts are Shift_JIS.
//
// The program frame receives the texts (os/channel.h carries them between
// processes) and calls ReceiveCommand on its main thread. Every command runs
// there, except the download reservation ("<!--NoCache-->"), which files its
// items from a thread of its own. Tree changes hold TreeMutex().
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "os/channel.h"
#include "store/tree.h"

namespace zentu {

// The frame codes of the transport, by the names the commands use.
inline constexpr uint32_t kCommandNoCache = os::kChannelCodeNoCache;  // download reservation, cache bypassed
inline constexpr uint32_t kCommandOther = os::kChannelCodeCommand;    // every other command

// The markers, compared with the beginning of a text in this order.
inline constexpr std::string_view kMarkerUseCache = "<!--UseCache-->";
inline constexpr std::string_view kMarkerNoCache = "<!--NoCache-->";
inline constexpr std::string_view kMarkerAddItemOnly = "<!--Zentu AddItemOnly-->";
inline constexpr std::string_view kMarkerSiteDownload = "<!--Zentu SiteDownload-->";
inline constexpr std::string_view kMarkerDownloadOnly = "<!--Zentu DownloadOnly-->";
inline constexpr std::string_view kMarkerScrapHtml = "<!--ScrapHTML-->";
inline constexpr std::string_view kMarkerAddText = "<!--Zentu AddText-->\r\n";
inline constexpr std::string_view kMarkerOpenUrl = "<!--Zentu OpenURL-->\r\n";

// Longest values a text may carry; longer ones are cut.
inline constexpr size_t kChannelMaxUrl = 2047;
inline constexpr size_t kChannelMaxOpenUrl = 2022;
inline constexpr size_t kChannelMaxTitle = 511;

// --- Sending ------------------------------------------------------------------------------

// A text and the code it travels with; code 0 = nothing to send.
struct ChannelCommand {
  uint32_t code = 0;
  std::string text;
};

// Builds the text for a command line ("-u URL", "-t URL", "-s URL", "-d URL",
// "-i URL", or anything naming a URL or a path). The frame sends it to the
// running instance, or, for its own command line, to ReceiveCommand.
[[nodiscard]] ChannelCommand SendCommandLine(std::string_view commandLine);
// Builds the text and hands it to `send` (code, text). Returns 1 when sent,
// 0 when the command line asks for nothing, -1 when sending failed.
int SendCommandLine(std::string_view commandLine,
                    const std::function<bool(uint32_t code, const std::string& text)>& send);

// One command line from the program's arguments (UTF-8, as the system passes
// them): converted to Shift_JIS, native absolute paths in their "Z:\" form,
// arguments with blanks quoted, joined by single blanks.
std::string CommandLineFromArguments(const std::vector<std::string>& utf8Arguments);

// --- Receiving -----------------------------------------------------------------------------

// What the commands need from parts of the program that are not built here.
// Each hook is called on the main thread; an empty hook makes the command log
// what it would have done.
struct ChannelHooks {
  // Settings of a site download, as the dialog returns them.
  struct SiteDownload {
    std::string filter;       // URL prefix that followed links must begin with
    int linkHop = 0;          // 0 to 50
    int sizeLimitKBytes = 0;  // 0 = no limit
  };
  // Shows the site-download settings dialog (the social-network variant for
  // that site's URLs), starting from `settings`; false when cancelled.
  std::function<bool(std::string_view url, std::string_view title, SiteDownload& settings)>
      siteDownloadDialog;
  // Starts the configured external downloader with the URL.
  std::function<void(std::string_view downloader, std::string_view url)> startExternalDownloader;
  // Opens a text file (".txt...") in the editor.
  std::function<void(std::string_view url)> openUrlInEditor;
  // Opens a URL in a new browser tab titled "Loading...", or in the web view
  // when there are no tabs.
  std::function<void(std::string_view url)> openUrlInBrowser;
  // The main window's scrap command: the URL becomes the source of the next
  // clipboard capture. The channel has logged "scrap html : %s" already.
  std::function<void(std::string_view url)> scrapHtml;
};
namespace detail {
// Runs `edit` on the channel's hooks under the channel's lock.
void EditChannelHooks(const std::function<void(ChannelHooks&)>& edit);
}  // namespace detail
// Sets one hook and keeps the others:
// SetChannelHook(&ChannelHooks::openUrlInEditor, fn).
template <class Fn>
void SetChannelHook(Fn ChannelHooks::*hook, std::type_identity_t<Fn> fn) {
  detail::EditChannelHooks([&](ChannelHooks& hooks) { hooks.*hook = std::move(fn); });
}
// Removes every hook.
void ClearChannelHooks();

// The copy-data handler: runs the command a text names. Codes other than
// 6003 and 6004 are ignored. Waits until the collection has been loaded.
// Returns 1 when a command was carried out (or its thread started), 0 otherwise.
int ReceiveCommand(uint32_t code, std::string_view data);

// The frame marks the collection as loaded (after the load at start-up), and
// unloaded again before freeing it.
void SetTreeLoaded(bool loaded);
bool TreeLoaded();
// Shutdown: commands still waiting for the collection give up, and no new
// download reservation starts. SetTreeLoaded(true) opens the channel again.
void CloseCommandChannel();
// Waits until every download-reservation thread has finished.
void JoinDownloadReservations();
// Back to the state at program start: no hooks, nothing remembered, the
// collection not loaded (tests).
void ResetCommandChannel();

// The folder that incoming items go to: the root's first child when it is the
// receive folder; else the receive folder wherever it lies; else the root.
// nullptr when there is no collection. Call it with TreeMutex() held.
TreeNode* IntakeReceiveFolder();

// A text fragment as a captured item: a URL item "*" in the receive folder,
// download flag 2, unread, its size and the current time, the text (with
// "&amp;" turned into "&") handed to the capture engine as the item's page.
// The clipboard capture adds its fragments the same way. Returns the item, or
// nullptr when nothing was added (no collection, empty URL).
TreeNode* AddTextFragment(std::string_view url, std::string_view html);

// --- Drops on the scrap agent -----------------------------------------------------------

// A dropped file (program path) as an item of the receive folder that opens
// the file where it lies: titled by its name, its size and time, nothing
// fetched. Folders, links and missing files are refused with a log line.
TreeNode* AddDroppedFile(std::string_view path);
// A dropped web address (http or https) as a URL item "*" captured like the
// channel's single-URL command, the cache allowed. nullptr when refused.
TreeNode* AddDroppedUrl(std::string_view url);

}  // namespace zentu
