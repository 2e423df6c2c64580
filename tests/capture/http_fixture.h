// Shared set-up of the HTTP client tests: a temporary home with a data
// directory, a short time-out, the test CA trusted, and helpers to make and
// claim jobs for URLs of the test server.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "capture/cookies.h"
#include "capture/http.h"
#include "capture/rules.h"
#include "os/file.h"
#include "os/log.h"
#include "os/path.h"
#include "os/tls.h"
#include "tests/capture/job_fixture.h"
#include "tests/support/testca.h"
#include "tests/support/testserver.h"

namespace zentu::testing {

class HttpTest : public DownloadJobTest {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(os::AddTrustedCaFile(GetTestCa().caFile));
    StartWinsock();
  }
  static void TearDownTestSuite() { os::ResetTrustedCaFiles(); }

  void SetUp() override {
    DownloadJobTest::SetUp();
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY"}) ::unsetenv(name);
    CurrentProfile().TimeOut = 1000;  // stalls end quickly
    ClearCaptureRules();
    ClearCookieMemory();
    SetHttpProgress({});
    CloseKeptConnections();  // every test starts with no kept connection
  }
  void TearDown() override {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY"}) ::unsetenv(name);
    SetHttpProgress({});
    ClearCaptureRules();
    DownloadJobTest::TearDown();
  }

  // A job for the URL with the fields job initialisation gives it.
  static DownloadJob MakeJob(const std::string& url) {
    DownloadJob job;
    job.URL = url;
    EXPECT_TRUE(MapJobLocation(job)) << url;
    return job;
  }

  // Queues the URL with the item and claims it, as a worker would.
  DownloadJob Claim(const std::string& url, TreeNode* node, int status = kJobWaiting) {
    manager.AddJob(url, "", false, node);
    DownloadJob job;
    EXPECT_EQ(manager.ClaimJob(url, &job), 1);
    EXPECT_TRUE(MapJobLocation(job));
    job.Status = status;
    return job;
  }

  static std::string Read(const std::string& path) {
    std::string data;
    if (!os::ReadWholeFile(path, data)) return "<missing>";
    return data;
  }

  // Files left in the temporary directory.
  std::vector<std::string> TempFiles() {
    std::vector<os::DirEntry> entries;
    os::ListDirectory(CurrentProfile().dirs.data + "\\Temp", entries);
    std::vector<std::string> names;
    for (const auto& e : entries) names.push_back(e.name);
    return names;
  }
};

}  // namespace zentu::testing
