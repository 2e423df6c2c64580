// The parts of a site download that are no job's: the check of the dialog's
// filter and the hand-over to an external downloader. The jobs themselves
// are queued by the command channel with AddSiteJob, and followed by the
// pipeline.
#pragma once
#include <string>
#include <string_view>

namespace zentu {

// The site a URL belongs to: its scheme and host with the port, in lower
// case ("http://example.com:8080"); "" when it has none.
std::string SiteBaseUrl(std::string_view url);
// Whether the filter keeps the download on the URL's own site: it must begin
// with the site's base and go on with "/" or end there. (A bare prefix test
// let "http://example.com.evil.net/" pass for "http://example.com".)
bool SiteFilterAccepted(std::string_view url, std::string_view filter);

// Starts the configured external downloader (the profile's Downloader: a
// program path, a native path or a name on PATH) with the URL as its one
// argument; no shell reads either. Only http, https and ftp URLs are handed
// over, so a URL can never pass for one of the program's options. On failure
// the user is told why. 1 when the program was started.
int StartExternalDownloader(std::string_view downloader, std::string_view url);

}  // namespace zentu
