// The check and download steps of a job around the HTTP client: redirects,
// the "not modified" check, retries and the failed state.
#include <mutex>

#include "capture/fetch.h"
#include "capture/http.h"
#include "capture/http_internal.h"
#include "capture/rules.h"
#include "os/cp932.h"
#include "os/file.h"
#include "os/log.h"
#include "pagelib/url.h"
#include "store/tree.h"

namespace zentu {

using namespace http_detail;

namespace {

// The job's tree item as the queue knows it now (the item may have been
// deleted since the job was copied). Call it with the tree lock held.
TreeNode* CurrentNode(const DownloadJob& job, DownloadManager& manager) {
  if (job.Node == nullptr) return nullptr;
  if (manager.FindJob(job.URL, nullptr)) return manager.JobNode(job.URL);
  return job.Node;  // a job of the caller's own, not queued
}

// True when following `target` through the queued redirects comes back to `url`.
bool LeadsBackTo(DownloadManager& manager, std::string target, const std::string& url) {
  for (int hop = 0; hop < 32; ++hop) {
    if (target == url) return true;
    DownloadJob other;
    if (!manager.FindJob(target, &other) || !IsRedirect(other)) return false;
    target = AbsoluteMovedURL(other, other.MovedURL);
  }
  return false;
}

enum class Redirect { Followed, NotFollowed, Loop, TooMany };

Redirect FollowRedirect(DownloadJob& job, DownloadManager& manager) {
  const std::string target = AbsoluteMovedURL(job, job.MovedURL);
  // An endless chain of new URLs is no loop, but must end as one does.
  if (job.Redirects >= kMaxRedirects) {
    WriteLog("Too many redirects (%d): %s -> %s", kMaxRedirects, job.URL.c_str(), target.c_str());
    SetJobMessage(job, "%s (%d)", SJ("リダイレクトが多すぎます").c_str(), kMaxRedirects);
    return Redirect::TooMany;
  }
  SetJobMessage(job, "=> %s", target.c_str());
  std::lock_guard tree(TreeMutex());
  TreeNode* node = CurrentNode(job, manager);
  if (node != nullptr) {
    // Items of feeds keep the URL the feed gives them.
    if (node->parent == nullptr || IsRssFolder(node->parent)) return Redirect::NotFollowed;
    // Re-adding a URL that has an item re-arms its job: a cycle of redirects
    // between items would go round for ever.
    if (LeadsBackTo(manager, target, job.URL)) {
      WriteLog("Redirect loop: %s -> %s", job.URL.c_str(), target.c_str());
      SetJobMessage(job, "%s%s", SJ("リダイレクトがループしています: ").c_str(), target.c_str());
      return Redirect::Loop;
    }
    SetUrl(node, target);
    if (IsItem(node)) SetTitle(node, target);  // a feed folder keeps the title the user gave it
    WriteLog("Moved to: %s", target.c_str());
    manager.AddRedirectTarget(job, target, node);
  } else {
    manager.AddRedirectTarget(job, target, nullptr);
  }
  job.Status = kJobComplete;
  return Redirect::Followed;
}

// The saved copy carries the server's time stamp of this answer.
bool LocalCopyIsCurrent(const DownloadJob& job) {
  if (job.Modified.empty() || job.LocalFile.empty() || !os::FileExists(job.LocalFile)) return false;
  uint64_t stamp = 0;
  return os::GetFileCreationTime(job.LocalFile, stamp) && stamp == job.LastModifiedTime;
}

// Results 0, -1 and -3 of either step.
void HandleFailure(DownloadJob& job, int result, int before, bool head, bool keepMessage,
                   DownloadManager& manager) {
  if (result == kHttpSizeOver) {
    job.Status = kJobComplete;
    return;
  }
  if (result == kHttpStopped) {
    job.Status = before;  // taken up again as it was when the capture goes on
    return;
  }
  if (result != kHttpRetry) {
    job.Status = kJobError;
    WriteLogVerbose("EndErrorProcedure: Not found");
    if (!keepMessage) SetJobMessage(job, "Not Found.");
    EndErrorProcedure(job, manager);
    return;
  }
  ++job.Trials;
  job.Status = before;
  if (job.Trials > kMaxTrials) {
    job.Status = kJobError;
    WriteLogVerbose("EndErrorProcedure: The number of trials was exceeded.");
    SetJobMessage(job, "%s",
                  SJ(head ? "エラー回数が多いため取り込みを中止しました" : "エラー回数が多いため取り込み中止しました")
                      .c_str());
    EndErrorProcedure(job, manager);
  }
}

}  // namespace

int HeadProcedure(DownloadJob& job, DownloadManager& manager) {
  const int before = job.Status;
  job.Status = kJobHead;
  manager.UpdateJob(job);
  if (job.URL.empty()) {
    WriteLog("Error [HEAD]: URL is null");
    SetJobMessage(job, "URL is null. [HEAD]");
    ++job.Trials;
    job.Status = kJobError;
    return kHttpRetry;
  }
  WriteLog("HEAD %s [%d/%d]", job.URL.c_str(), job.Trials, kMaxTrials);
  Exchange ex = RunExchange(job, kHttpHead, false, &manager.transferStop);
  int result = ex.result;
  if (result == kHttpOk && IsRedirect(job)) {
    switch (FollowRedirect(job, manager)) {
      case Redirect::Followed:
        return kHttpOk;
      case Redirect::Loop:
      case Redirect::TooMany:
        result = kHttpFailed;
        ex.keepMessage = true;
        break;
      case Redirect::NotFollowed:
        break;
    }
  }
  if (result == kHttpOk) {
    if (LocalCopyIsCurrent(job)) {
      SetJobMessage(job, "Not Modified.");
      job.Status = kJobComplete;
      std::lock_guard tree(TreeMutex());
      if (TreeNode* node = CurrentNode(job, manager); IsItem(node)) {
        SetDownloadFlag(node, kDownloadDone);
      }
      return kHttpOk;
    }
    job.Status = kJobWaiting;
    return kHttpOk;
  }
  HandleFailure(job, result, before, true, ex.keepMessage, manager);
  return result;
}

int GetProcedure(DownloadJob& job, DownloadManager& manager) {
  const int before = job.Status;
  if (job.URL.empty()) {
    WriteLog("Error [GET]: URL is null");
    SetJobMessage(job, "URL is null. [GET]");
    job.Status = kJobError;
    manager.UpdateJob(job);
    ++job.Trials;
    return kHttpRetry;
  }
  WriteLog("GET %s [%d/%d]", job.URL.c_str(), job.Trials, kMaxTrials);
  job.Status = kJobDownloading;
  manager.UpdateJob(job);
  // The body of a redirect is stored only when the redirect is not followed.
  Exchange ex = RunExchange(job, kHttpGet, true, &manager.transferStop);
  int result = ex.result;
  if (result == kHttpOk && IsRedirect(job)) {
    switch (FollowRedirect(job, manager)) {
      case Redirect::Followed:
        RemoveTempFiles(job);
        return kHttpOk;
      case Redirect::Loop:
      case Redirect::TooMany:
        result = kHttpFailed;
        ex.keepMessage = true;
        break;
      case Redirect::NotFollowed:
        result = StoreBody(job);
        ex.keepMessage = result == kHttpFailed;
        break;
    }
  }
  RemoveTempFiles(job);
  if (result == kHttpOk) {
    // The next HEAD compares the saved copy's stamp with Last-Modified.
    if (!job.Modified.empty() && !os::SetFileTimes(job.LocalFile, job.LastModifiedTime))
      WriteLog("Can't set file time: %s", job.LocalFile.c_str());
    if (FileExtension(job.LocalFile) == "swf") {
      SetJobMessage(job, "<swf>");
      job.Status = kJobComplete;
    } else if (job.Flag == kContentText && CheckFileType(job.LocalFile, kDownloadAsBinary) != 2) {
      job.Status = kJobDownloaded;
    } else {
      SetJobMessage(job, "<binary>");
      job.Status = kJobComplete;
    }
    return kHttpOk;
  }
  HandleFailure(job, result, before, false, ex.keepMessage, manager);
  return result;
}

void EndErrorProcedure(DownloadJob& job, DownloadManager& manager) {
  job.Status = kJobError;
  if (job.Node == nullptr) return;
  std::lock_guard tree(TreeMutex());
  TreeNode* node = CurrentNode(job, manager);
  if (!IsItem(node) || IsTextItem(node)) return;
  SetDownloadFlag(node, kDownloadError);  // gives the error picture too
}

std::string ResolveMovedURL(std::string_view url) {
  if (url.size() <= 3) return {};
  FetchRequest request;
  request.url = os::CutSjis(url, kMaxUrlLength);
  request.head = true;
  const FetchResponse answer = Fetch(request);
  if (answer.result == kHttpOk && !answer.location.empty()) return answer.location;
  return request.url;
}

std::optional<std::string> DetectSnsUserId(std::string_view profileUrl) {
  FetchRequest request;
  request.url = os::CutSjis(profileUrl, kMaxUrlLength);
  const FetchResponse answer = Fetch(request);
  if (answer.result != kHttpOk) return std::nullopt;
  const std::string_view link = kSnsFriendLink;
  std::string_view body = answer.body;
  for (size_t at = body.find(link); at != std::string_view::npos; at = body.find(link, at + 1)) {
    size_t i = at + link.size(), start = i;
    while (i < body.size() && body[i] >= '0' && body[i] <= '9') ++i;
    if (i == start) continue;
    std::string id(body.substr(start, i - start));
    WriteLog("SNS user ID: %s", id.c_str());
    return id;
  }
  return std::nullopt;
}

}  // namespace zentu
