// One HTTP request without a capture job: for the modules that want a page's
// answer and not a saved copy (feeds, the site download's profile look-up,
// redirects resolved ahead). It goes through the capture's client, so it
// shares its connections, its limits, its proxy, cookie and password rules,
// and its messages; nothing is written below the data folder but the
// temporary spool, which is gone when it returns.
#pragma once
#include <cstdint>
#include <string>

#include "os/socket.h"

namespace zentu {

struct FetchRequest {
  std::string url;                 // absolute http or https URL (Shift_JIS)
  bool head = false;               // HEAD instead of GET
  std::string referrer;            // sent as Referer when absolute
  uint64_t maxBody = 8ull << 20;   // bytes kept in memory; a longer body fails (kHttpSizeOver)
  // Ends the transfer at once when stopped; nullptr takes the program's queue's stop.
  const os::TransferStop* stop = nullptr;
};

struct FetchResponse {
  int result = -1;          // the HttpResult of the exchange: 1 ok, 0 passing failure, -1 final, -3, -4
  int status = 0;           // the HTTP status code; 0 when no answer came or it was refused as it arrived
  std::string location;     // Location made absolute ("" without one)
  std::string contentType;
  std::string lastModified; // local time "YYYY/MM/DD hh:mm:ss", "" without one
  std::string body;         // decoded (gzip, deflate, chunked); empty for HEAD
  std::string message;      // what went wrong, as a job's message would say
};

// Redirects are not followed: the answer says where they lead.
FetchResponse Fetch(const FetchRequest& request);

}  // namespace zentu
