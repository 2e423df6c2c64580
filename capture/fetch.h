// One HTTP exchange without a capture job: connect (directly, through the
// profile's proxy or the system proxy, kept connections first), TLS, the
// request, the answer's head and its body decoded (gzip, deflate, chunked)
// into a sink, within the size limit, the transfer's bounds and the stop.
// Redirects are told, never followed. Retried once on a new connection when
// a kept one was closed before it answered.
//
// The capture's job procedures (HeadProcedure, GetProcedure, HttpRequest)
// map their job onto a FetchRequest, give a sink that spools the body beside
// the local file, and map the FetchResponse back. Feeds, the site download's
// profile look-up and redirects resolved ahead use the plain form: the answer
// in memory and nothing written anywhere.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "capture/job.h"  // SystemTime, the content classes
#include "os/socket.h"

namespace zentu {

// Where the body of an answer goes while it arrives. The exchange calls
// Prepare before each answer is read (once more when a dropped kept
// connection is asked again), then WriteHead once, then OpenBody, WriteBody
// and Finish when a body is kept; Discard when the answer failed, Received
// when it arrived whole.
class BodySink {
 public:
  virtual ~BodySink() = default;
  // Readies the place of the answer. 1, or the result that ends the exchange
  // with `message` set (0 passing, -1 final).
  virtual int Prepare(std::string& message) = 0;
  // The name the sink's messages give ("Can't write file: %s").
  virtual std::string Name() const = 0;
  // The head as received (cut at kMaxResponseHead); false when it could not be kept.
  virtual bool WriteHead(std::string_view head) = 0;
  virtual bool OpenBody() = 0;
  virtual bool WriteBody(std::string_view bytes) = 0;
  // Ends the body; false when a write failed.
  virtual bool Finish() = 0;
  virtual void Discard() = 0;
  virtual void Received() {}
};

// The fields of a response head the capture keeps; the defaults are the
// state before an answer.
struct ResponseHead {
  int status = 0;                 // the HTTP status code; 0 when no sound status line came
  int flag = kContentBinary;      // kContentText when the type is one the analysis reads
  uint32_t size = 0;              // Content-Length (0 for chunked)
  std::string modified;           // Last-Modified in local time "YYYY/MM/DD hh:mm:ss"
  uint64_t lastModifiedTime = 0;  // the same as a FILETIME
  SystemTime serverDate;          // Date
  std::string movedUrl;           // Location as sent
  std::string contentEncoding;
  std::string contentType;
  int headerLength = 0;           // bytes of the head, blank line included
};

// Where a request goes, as the capture's URL mapping gives it.
struct FetchEndpoint {
  std::string host;
  int port = 80;
  std::string requestUrl;  // the URL asked for (without fragment)
};

struct FetchRequest {
  std::string url;                 // absolute http or https URL (Shift_JIS)
  bool head = false;               // HEAD instead of GET
  std::string referrer;            // sent as Referer when absolute
  uint64_t maxBody = 8ull << 20;   // bytes kept in memory; a longer body fails (kHttpSizeOver)
  // Ends the transfer at once when stopped; nullptr takes the program's queue's stop.
  const os::TransferStop* stop = nullptr;

  // What a capture job brings; the plain form leaves these alone.
  std::optional<FetchEndpoint> endpoint;  // none: mapped from `url`
  int sizeUpTo = -1;        // size limit in kilobytes, 0 none; -1: maxBody rounded up
  bool xmlIsText = false;   // feeds and OPML lists read any XML type as text
  BodySink* sink = nullptr; // none: the body in memory (FetchResponse::body)
  std::function<void(uint64_t bytes)> progress;  // the running byte count of the answer
};

struct FetchResponse {
  int result = -1;          // the HttpResult of the exchange: 1 ok, 0 passing failure, -1 final, -3, -4
  int status = 0;           // the HTTP status code; 0 when no answer came or it was refused as it arrived
  std::string location;     // Location made absolute ("" without one)
  std::string contentType;
  std::string lastModified; // local time "YYYY/MM/DD hh:mm:ss", "" without one
  std::string body;         // decoded (gzip, deflate, chunked); empty for HEAD or with a sink
  std::string message;      // what went wrong, as a job's message would say; "" when nothing was said

  bool parsed = false;      // an answer's head was read into `fields`
  ResponseHead fields;
  // A final failure whose message says more than "Not Found." (certificate,
  // the transfer's bounds): a job keeps it.
  bool keepMessage = false;
  bool viaProxy = false;    // the request went through the system proxy
};

// Redirects are not followed: the answer says where they lead.
FetchResponse Fetch(const FetchRequest& request);

// The request text of `request`. `absoluteTarget`: the request goes to a
// proxy, which wants the whole URL as its target.
std::string BuildRequest(const FetchRequest& request, const FetchEndpoint& endpoint, std::string_view method,
                         std::string_view protocol, bool absoluteTarget);

// Takes the status code of a status line into `head.status`; true for 200,
// 202, 203 and the redirects.
bool ParseStatusLine(ResponseHead& head, std::string_view line);
// Parses a response head (and what follows it) into `response.fields`;
// `sizeUpTo` in kilobytes (0 none). 1 accepted, 0 no header (or a passing
// server error), -1 a status that is not accepted, -3 a Content-Length over
// the limit.
int ParseResponseHead(FetchResponse& response, std::string_view data, int sizeUpTo, bool xmlIsText);

// A Location value made absolute against the request: "/x" takes the
// scheme, host and port of the request, "//h/x" its scheme, "x" its
// directory. Cut to kMaxUrlLength.
std::string AbsoluteLocation(std::string_view url, const FetchEndpoint& endpoint, std::string_view location);

}  // namespace zentu
