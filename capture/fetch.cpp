#include "capture/fetch.h"

#include "capture/http.h"
#include "capture/http_internal.h"
#include "os/cp932.h"
#include "os/file.h"

namespace zentu {

using namespace http_detail;

FetchResponse Fetch(const FetchRequest& request) {
  FetchResponse response;
  // The exchange keeps its state in a job record of its own; it never enters
  // the queue and its local file is never written (Store::Never).
  DownloadJob job;
  job.URL = os::CutSjis(request.url, kMaxUrlLength);
  job.SourceURL = os::CutSjis(request.referrer, kMaxUrlLength);
  job.SizeUpTo = static_cast<int>(std::max<uint64_t>(1, (request.maxBody + 1023) / 1024));
  if (!MapJobLocation(job)) {
    response.message = "URL has error.";
    return response;
  }
  const os::TransferStop* stop = request.stop ? request.stop : &GetDownloadManager().transferStop;
  const int kind = request.head ? kHttpHead : kHttpGet;
  const Exchange ex = RunExchange(job, kind, Store::Never, true, stop);
  response.result = ex.result;
  response.status = job.Connection;
  response.contentType = job.ContentType;
  response.lastModified = job.Modified;
  if (!job.MovedURL.empty()) response.location = AbsoluteMovedURL(job, job.MovedURL);
  response.message = job.Message;
  if (ex.result == kHttpOk && kind == kHttpGet && !job.TempFile.empty()) {
    const std::string body = ReceivedBodyFile(job);
    if (os::FileExists(body) && !os::ReadWholeFile(body, response.body)) {
      response.result = kHttpRetry;
      response.message = "Can't open temp file";
    }
    if (response.body.size() > request.maxBody) {
      response.body.clear();
      response.result = kHttpSizeOver;
    }
  }
  RemoveTempFiles(job);
  return response;
}

}  // namespace zentu
