// timer.dat and the error lists: what is written, what comes back after a
// restart, and what damaged files do.
#include <random>
#include <string>
#include <vector>

#include "capture/job.h"
#include "os/file.h"
#include "os/log.h"
#include "pagelib/url.h"
#include "tests/capture/job_fixture.h"

namespace zentu::testing {
namespace {

// A job with every field that a job file keeps set to something non-default.
DownloadJob FullJob(const std::string& url, int status, TreeNode* node) {
  DownloadJob j;
  j.URL = url;
  j.Status = status;
  j.SourceURL = "http://example.com/from.html";
  j.Trials = 2;
  j.DirName = "Z:\\data\\example.com";
  j.LocalFile = "Z:\\data\\example.com\\" + SJ("表示.html");  // a 0x5C trail byte
  j.FromLocal = true;
  j.SiteDown = true;
  j.Limit = 3;
  j.SizeUpTo = 2048;
  j.Filter = "http://example.com/";
  j.Type = kJobTypeNormal;
  j.UpLinkRoot = "../../";
  j.BaseURL = "http://example.com/dir/";
  j.Host = "example.com";
  j.RequestURL = url;
  j.Message = SJ("エラー回数が多いため取り込み中止しました");
  j.Port = 8080;
  j.Modified = "2007/01/02 03:04:05";
  j.Size = 255;
  j.ContentType = "text/html";
  j.Flag = kContentText;
  j.MovedURL = "http://example.com/moved.html";
  j.Connection = 302;
  j.Node = node;
  // Never written: a restored job has none of these.
  j.TempFile = "Z:\\tmp\\x.dat";
  j.HeaderLength = 120;
  j.Title = "title";
  j.FromCache = 1;
  j.LastModifiedTime = 12345;
  j.Code = 5;
  return j;
}

void ExpectSavedFieldsEqual(const DownloadJob& want, const DownloadJob& got) {
  EXPECT_EQ(got.URL, want.URL);
  EXPECT_EQ(got.SourceURL, want.SourceURL);
  EXPECT_EQ(got.Trials, want.Trials);
  EXPECT_EQ(got.DirName, want.DirName);
  EXPECT_EQ(got.LocalFile, want.LocalFile);
  EXPECT_EQ(got.SiteDown, want.SiteDown);
  EXPECT_EQ(got.Limit, want.Limit);
  EXPECT_EQ(got.SizeUpTo, want.SizeUpTo);
  EXPECT_EQ(got.Filter, want.Filter);
  EXPECT_EQ(got.Type, want.Type);
  EXPECT_EQ(got.UpLinkRoot, want.UpLinkRoot);
  EXPECT_EQ(got.BaseURL, want.BaseURL);
  EXPECT_EQ(got.Host, want.Host);
  EXPECT_EQ(got.RequestURL, want.RequestURL);
  EXPECT_EQ(got.Message, want.Message);
  EXPECT_EQ(got.Port, want.Port);
  EXPECT_EQ(got.Modified, want.Modified);
  EXPECT_EQ(got.Size, want.Size);
  EXPECT_EQ(got.ContentType, want.ContentType);
  EXPECT_EQ(got.Flag, want.Flag);
  EXPECT_EQ(got.MovedURL, want.MovedURL);
}

TEST_F(DownloadJobTest, TimerFileKeepsJobsOfEveryStatusAcrossRestart) {
  CurrentProfile().dirs.data = "Z:\\data";  // where FullJob's files lie
  // status written -> status restored (running steps resume one step earlier;
  // "analysed" has its page rewritten already and counts as complete).
  const struct {
    int status, restored;
    bool fromLocalKept;
  } rows[] = {{-1, -1, false}, {0, 0, true}, {1, 0, true}, {2, 2, true}, {3, 2, true},
              {4, 4, false},   {5, 4, false}, {6, 7, false}, {7, 7, false}};
  std::vector<DownloadJob> jobs;
  for (const auto& r : rows) {
    std::string url = "http://example.com/s" + std::to_string(r.status + 1) + ".html";
    jobs.push_back(FullJob(url, r.status, nullptr));
  }
  // Items are found again by their folder's path and their URL.
  SetUrl(star, jobs[2].URL);
  SetUrl(page, jobs[4].URL);
  SetUrl(news, jobs[5].URL);
  jobs[2].Node = star;  // an item in the receive folder
  jobs[4].Node = page;  // an item two folders down
  jobs[5].Node = news;  // an RSS folder's feed
  jobs[5].Type = kJobTypeRss;
  jobs[5].SiteDown = false;
  jobs[7].Node = page;  // an item whose URL is another: not this job's after a restart
  jobs[6].Port = 80;
  jobs[6].Size = 0;
  manager.RestoreJobs(jobs);
  ASSERT_EQ(SaveTimerFile(manager), 1);

  const std::string text = TimerText();
  EXPECT_EQ(text.find("\n"), text.find("\r\n") + 1) << "CR LF line ends";
  for (size_t i = text.find('\n'); i != std::string::npos; i = text.find('\n', i + 1)) {
    ASSERT_EQ(text[i - 1], '\r') << "bare LF at " << i;
  }
  EXPECT_NE(text.find("\r\nSize=FF\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\nPort=8080\r\n"), std::string::npos);
  EXPECT_NE(text.find("Tree=Zentu\t" + SJ("ニュース表示") + "\r\n"), std::string::npos);
  EXPECT_NE(text.find("Tree=Zentu\tSites\tSub\tPage\r\n"), std::string::npos);
  // Records in ascending URL order, each closed by an empty line.
  EXPECT_LT(text.find("URL=http://example.com/s0.html"), text.find("URL=http://example.com/s8.html"));
  EXPECT_EQ(text.substr(text.size() - 4), "\r\n\r\n");

  DownloadManager restarted;
  int startCount = 0;
  restarted.SetHook(&JobHooks::startWorkers, [&] { ++startCount; });
  ASSERT_EQ(LoadTimerFile(restarted), 1);
  EXPECT_TRUE(restarted.timerFileLoaded.load());
  EXPECT_EQ(startCount, 1);
  std::vector<DownloadJob> got = restarted.Snapshot();
  ASSERT_EQ(got.size(), jobs.size());
  for (size_t i = 0; i < jobs.size(); ++i) {
    SCOPED_TRACE(jobs[i].URL);
    DownloadJob want = jobs[i];
    if (!want.SiteDown) {
      // The site-download settings travel only with a site download.
      want.Limit = want.SizeUpTo = 0;
      want.Filter.clear();
    }
    if (i == 7) want.Node = nullptr;
    ExpectSavedFieldsEqual(want, got[i]);
    EXPECT_EQ(got[i].Status, rows[i].restored);
    EXPECT_EQ(got[i].FromLocal, rows[i].fromLocalKept);
    EXPECT_EQ(got[i].Connection, 0);
    EXPECT_TRUE(got[i].TempFile.empty()) << "working fields are not kept";
    EXPECT_EQ(got[i].Node, want.Node);
  }
  // The restored pending jobs are there to be taken up again.
  DownloadJob next;
  ASSERT_TRUE(restarted.ClaimNext(kJobWaiting, "", &next));
  EXPECT_EQ(next.URL, "http://example.com/s3.html");
  EXPECT_EQ(next.Port, 8080);
}

TEST_F(DownloadJobTest, SampleTimerFileRestoresIntoTree) {
  CurrentProfile().dirs.data = "Z:\\data";  // where the sample's files lie
  CopyData("jobs", "Timer");
  ASSERT_EQ(LoadTimerFile(manager), 1);
  std::vector<DownloadJob> got = manager.Snapshot();
  ASSERT_EQ(got.size(), 5u) << "the record without its closing empty line is dropped";
  std::map<std::string, DownloadJob> byUrl;
  for (auto& j : got) byUrl[j.URL] = j;
  EXPECT_EQ(byUrl.count("http://example.com/partial.html"), 0u);

  const DownloadJob& a = byUrl["http://example.com/a.html"];
  EXPECT_EQ(a.Status, kJobWaiting);
  EXPECT_EQ(a.Port, 8080);
  EXPECT_TRUE(a.FromLocal);
  EXPECT_EQ(a.Node, star);
  EXPECT_EQ(a.LocalFile, "Z:\\data\\example.com\\a.html");

  const DownloadJob& b = byUrl["http://example.com/b.css"];
  EXPECT_EQ(b.Status, kJobComplete) << "no Status line: complete";
  EXPECT_EQ(b.Port, 80);
  EXPECT_EQ(b.Node, nullptr);

  const DownloadJob& feed = byUrl["http://example.com/feed.xml"];
  EXPECT_EQ(feed.Type, kJobTypeRss);
  EXPECT_EQ(feed.Node, news) << "the feed job finds its RSS folder again";

  const DownloadJob& dup = byUrl["http://example.com/dup.html"];
  EXPECT_EQ(dup.Status, kJobError) << "the later record of a URL wins";
  EXPECT_EQ(dup.Message, "second");
  EXPECT_EQ(dup.Trials, 6);

  const DownloadJob& old = byUrl["http://example.com/old.html"];
  EXPECT_EQ(old.Status, kJobWaiting) << "a download cut short is fetched again";
  EXPECT_EQ(old.Modified, "2006/12/01 10:00:00");
  EXPECT_EQ(old.Size, 255u);
  EXPECT_TRUE(old.SiteDown);
  EXPECT_EQ(old.Limit, 3);
  EXPECT_EQ(old.SizeUpTo, 100);
  EXPECT_EQ(old.Connection, 0);
  EXPECT_EQ(old.Node, page);
  EXPECT_EQ(listener.rows.size(), 5u);
}

TEST_F(DownloadJobTest, RecordDefaultsAndKeys) {
  const struct {
    const char* text;
    int status, type, port;
    bool fromLocal, siteDown;
  } rows[] = {
      {"URL=http://h/x\r\n\r\n", kJobComplete, kJobTypeNone, 80, false, false},
      {"URL=http://h/x\r\nstatus=2\r\ntype=3\r\nPORT=81\r\n\r\n", kJobWaiting, kJobTypeOpml, 81, false, false},
      {"URL=http://h/x\r\nStatus= 0\r\nFromLocal=1\r\nSiteDown=1\r\n\r\n", 0, kJobTypeNone, 80, true, true},
      {"URL=http://h/x\r\nFromLocal=0\r\nSiteDown=2\r\nStatus=4\r\n\r\n", 4, kJobTypeNone, 80, false, false},
      // A status no worker takes up would keep the capture busy for ever.
      {"URL=http://h/x\r\nStatus=99\r\n\r\n", kJobComplete, kJobTypeNone, 80, false, false},
      {"URL=http://h/x\r\nStatus=abc\r\n\r\n", kJobComplete, kJobTypeNone, 80, false, false},
      {"URL=http://h/x\r\nStatus=99999999999\r\nPort=\r\n\r\n", kJobComplete, kJobTypeNone, 80, false, false},
      {"URL=http://h/x\r\nStatus=1\r\n\n", kJobUntreated, kJobTypeNone, 80, false, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    std::vector<JobRecord> recs = ParseJobRecords(r.text);
    ASSERT_EQ(recs.size(), 1u);
    const DownloadJob& j = recs[0].job;
    EXPECT_EQ(j.URL, "http://h/x");
    EXPECT_EQ(j.Status, r.status);
    EXPECT_EQ(j.Type, r.type);
    EXPECT_EQ(j.Port, r.port);
    EXPECT_EQ(j.FromLocal, r.fromLocal);
    EXPECT_EQ(j.SiteDown, r.siteDown);
  }
  // Records without a URL, an empty URL or a closing line give no job.
  EXPECT_TRUE(ParseJobRecords("Status=0\r\n\r\nURL=\r\n\r\nURL=http://h/y\r\n").empty());
  // A line that begins with CR ends a record, and the rest of it is no key;
  // Size is hexadecimal.
  auto recs = ParseJobRecords("URL=http://h/a\r\nSize=1f\r\n\rURL=http://h/b\r\n\r\n");
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].job.URL, "http://h/a");
  EXPECT_EQ(recs[0].job.Size, 31u);
}

TEST_F(DownloadJobTest, WrittenValuesCannotBreakRecords) {
  // A line break inside a value would end the record on reading and turn the
  // rest into keys of their own.
  DownloadJob j;
  j.URL = "http://example.com/x.html";
  j.Status = kJobWaiting;
  j.Message = "bad\r\n\r\nURL=http://evil/\r\nStatus=0";
  manager.RestoreJobs({j});
  ASSERT_EQ(SaveTimerFile(manager), 1);
  DownloadManager restarted;
  ASSERT_EQ(LoadTimerFile(restarted), 1);
  std::vector<DownloadJob> got = restarted.Snapshot();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].URL, j.URL);
  EXPECT_EQ(got[0].Status, kJobWaiting);
}

TEST_F(DownloadJobTest, BadInputItemDeletedBehindTheQueuesBack) {
  // Whoever deletes items should detach them first; a save must not follow
  // an item that is gone all the same.
  TreeNode* doomed = AddItem(sub, "gone", "http://example.com/gone.html");
  manager.AddJob("http://example.com/gone.html", "", false, doomed);
  manager.AddJob("http://example.com/old.html", "", false, page);
  {
    std::lock_guard lock(TreeMutex());
    DestroyNode(doomed);
  }
  ASSERT_EQ(SaveTimerFile(manager), 1);
  std::vector<JobRecord> recs = ParseJobRecords(TimerText());
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].treePath, "");
  EXPECT_EQ(recs[1].treePath, "Zentu\tSites\tSub\tPage");
}

TEST_F(DownloadJobTest, ErrorListHoldsOnlyFailedJobs) {
  EXPECT_EQ(SaveErrorList(manager), -1) << "nothing failed: no file";
  std::vector<DownloadJob> jobs;
  for (int s = kJobError; s <= kJobComplete; ++s) {
    DownloadJob j;
    j.URL = "http://example.com/e" + std::to_string(s + 1);
    j.Status = s;
    j.FromLocal = true;
    j.Node = s == kJobError ? star : nullptr;
    jobs.push_back(j);
  }
  manager.RestoreJobs(jobs);
  ASSERT_EQ(SaveErrorList(manager), 1);
  std::vector<os::DirEntry> entries;
  ASSERT_TRUE(os::ListDirectory(Path("Error"), entries));
  ASSERT_EQ(entries.size(), 1u);
  // FakeClock: 2007-01-28 local time; milliseconds are the last three digits.
  EXPECT_EQ(entries[0].name.size(), std::string("YYYYMMDDhhmmssmmm.dat").size());
  EXPECT_EQ(entries[0].name.substr(0, 4), "2007");
  std::string text = ReadNative("Error/" + entries[0].name);
  std::vector<JobRecord> recs = ParseJobRecords(text);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].job.URL, "http://example.com/e0");
  EXPECT_EQ(recs[0].job.Status, kJobError);
  EXPECT_TRUE(recs[0].job.FromLocal) << "error lists keep FromLocal whatever the status";
  EXPECT_EQ(recs[0].treePath, "Zentu\t" + SJ("未整理フォルダ") + "\t*");
  // A second list in the same millisecond gets a name of its own.
  ASSERT_EQ(SaveErrorList(manager), 1);
  entries.clear();
  ASSERT_TRUE(os::ListDirectory(Path("Error"), entries));
  EXPECT_EQ(entries.size(), 2u);
}

TEST_F(DownloadJobTest, JobFileFailuresAreLogged) {
  // No timer.dat yet: logged, and the queue counts as loaded.
  EXPECT_EQ(LoadTimerFile(manager), 0);
  EXPECT_TRUE(LogContains("Can't open file [" + Path("Timer\\timer.dat") + "]"));
  EXPECT_TRUE(manager.timerFileLoaded.load());
  // A directory that cannot exist (no such drive).
  CurrentProfile().dirs.timer = "Q:\\nowhere";
  EXPECT_EQ(SaveTimerFile(manager), 0);
  EXPECT_TRUE(LogContains("[Error] Can't create directory: Q:\\nowhere"));
  // A failed write keeps the old timer.dat whole.
  CurrentProfile().dirs.timer = Path("Timer");
  manager.AddJob("http://example.com/keep.html", "", false, nullptr);
  ASSERT_EQ(SaveTimerFile(manager), 1);
  const std::string before = TimerText();
  manager.AddJob("http://example.com/more.html", "", false, nullptr);
  os::SetFileFaultAt(1);
  EXPECT_EQ(SaveTimerFile(manager), 0);
  os::SetFileFaultAt(0);
  EXPECT_TRUE(LogContains("Can't open file [" + Path("Timer\\timer.dat") + "]"));
  EXPECT_EQ(TimerText(), before);
}

// --- Damaged files: run under AddressSanitizer in CI ------------------------------

TEST_F(DownloadJobTest, BadInputTruncatedTimerFileKeepsCompleteRecords) {
  std::vector<DownloadJob> jobs;
  for (int i = 0; i < 4; ++i) jobs.push_back(FullJob("http://example.com/t" + std::to_string(i), 2, nullptr));
  manager.RestoreJobs(jobs);
  ASSERT_EQ(SaveTimerFile(manager), 1);
  const std::string text = TimerText();
  // Where each record ends (just past its empty line).
  std::vector<size_t> ends;
  for (size_t i = text.find("\r\n\r\n"); i != std::string::npos; i = text.find("\r\n\r\n", i + 4)) {
    ends.push_back(i + 4);
  }
  ASSERT_EQ(ends.size(), 4u);
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    std::vector<JobRecord> recs = ParseJobRecords(std::string_view(text).substr(0, cut));
    size_t complete = 0;
    // A record counts once its empty line has begun (its lone "\r" ends it too).
    while (complete < ends.size() && cut >= ends[complete] - 1) ++complete;
    ASSERT_EQ(recs.size(), complete) << "cut at " << cut;
    for (size_t k = 0; k < recs.size(); ++k) ExpectSavedFieldsEqual(
        [&] { DownloadJob w = jobs[k]; w.FromLocal = true; return w; }(), recs[k].job);
  }
}

TEST_F(DownloadJobTest, BadInputBinaryTimerFileLoadsWhatIsSound) {
  std::mt19937 rng(20070128);
  std::string garbage;
  for (int i = 0; i < 200000; ++i) garbage += static_cast<char>(rng() & 0xFF);
  // A sound record behind the garbage must survive it.
  const std::string good = "\r\n\r\nURL=http://example.com/good.html\r\nStatus=2\r\nType=1\r\n\r\n";
  WriteNative("Timer/timer.dat", garbage + good);
  ASSERT_EQ(LoadTimerFile(manager), 1);
  DownloadJob j;
  ASSERT_TRUE(manager.FindJob("http://example.com/good.html", &j));
  EXPECT_EQ(j.Status, kJobWaiting);
  for (const DownloadJob& any : manager.Snapshot()) {
    EXPECT_FALSE(any.URL.empty());
    EXPECT_LE(any.URL.size(), kMaxUrlLength);
    EXPECT_EQ(any.URL.find('\n'), std::string::npos);
    EXPECT_EQ(any.URL.find('\0'), std::string::npos);
    EXPECT_TRUE(any.Status == kJobError || any.Status == kJobUntreated || any.Status == kJobWaiting ||
                any.Status == kJobDownloaded || any.Status == kJobComplete);
  }
  // Many random files: no crash, only whole records with a URL.
  for (int round = 0; round < 200; ++round) {
    std::string text;
    int lines = static_cast<int>(rng() % 40);
    for (int l = 0; l < lines; ++l) {
      static const char* const kKeys[] = {"URL=", "Status=", "Size=", "Tree=", "Port=", "", "\r", "\0"};
      text += kKeys[rng() % 8];
      int n = static_cast<int>(rng() % 12);
      for (int c = 0; c < n; ++c) text += static_cast<char>(rng() & 0xFF);
      text += (rng() % 3) ? "\r\n" : "\n";
    }
    for (const JobRecord& r : ParseJobRecords(text)) EXPECT_FALSE(r.job.URL.empty());
  }
}

TEST_F(DownloadJobTest, BadInputLongLinesStayWhole) {
  // Over 2048 bytes: the tail of a long line is not read as a line of its own,
  // so it cannot inject keys; values keep at most the URL buffer's length.
  const std::string longMessage = "Message=" + std::string(2040, 'm') + "Status=0";
  const std::string longUrl = "http://example.com/" + std::string(5000, 'u');
  const std::string text = "URL=http://example.com/one.html\r\nStatus=7\r\n" + longMessage +
                           "\r\nX-Unknown=" + std::string(70000, 'x') + "\r\nTree=" +
                           std::string(3000, '\t') + "\r\n\r\n" + "URL=" + longUrl +
                           "\r\nStatus=2\r\n\r\n" + "URL=http://example.com/two.html\r\nStatus=4\r\n\r\n";
  WriteNative("Timer/timer.dat", text);
  ASSERT_EQ(LoadTimerFile(manager), 1);
  std::vector<DownloadJob> got = manager.Snapshot();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].URL, "http://example.com/one.html");
  EXPECT_EQ(got[0].Status, kJobComplete) << "\"Status=0\" inside the long message is no key";
  EXPECT_EQ(got[0].Message.size(), kMaxUrlLength);
  EXPECT_EQ(got[0].Node, nullptr);
  EXPECT_EQ(got[1].URL, "http://example.com/two.html");
  EXPECT_EQ(got[1].Status, kJobDownloaded);
  EXPECT_EQ(got[2].URL, longUrl.substr(0, kMaxUrlLength));
  EXPECT_EQ(got[2].Status, kJobWaiting);
}

TEST_F(DownloadJobTest, BadInputUnknownKeysAreIgnored) {
  const std::string text =
      "# comment\r\nURL=http://example.com/k.html\r\nColour=red\r\nConnection=404\r\nStatus=2\r\n"
      "Tree=Zentu\tno such folder\r\n=\r\nURLX\r\nSize=zz\r\nType=-7\r\n\r\n"
      "Whatever=1\r\n\r\n";
  WriteNative("Timer/timer.dat", text);
  ASSERT_EQ(LoadTimerFile(manager), 1);
  std::vector<DownloadJob> got = manager.Snapshot();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].URL, "http://example.com/k.html");
  EXPECT_EQ(got[0].Status, kJobWaiting);
  EXPECT_EQ(got[0].Connection, 0);
  EXPECT_EQ(got[0].Size, 0u);
  EXPECT_EQ(got[0].Type, -7);
  EXPECT_EQ(got[0].Node, nullptr);
}

// timer.dat can be edited by anyone who can write it: a local file outside
// the data folder, or one that climbs out of it, is never trusted.
TEST_F(DownloadJobTest, HostileTimerFileLocalFilesStayInTheDataFolder) {
  const std::string data = CurrentProfile().dirs.data;
  const struct {
    const char* url;
    std::string dir, file;
    int status, restored;
  } rows[] = {
      {"http://example.com/a.html", "Z:\\home\\victim", "Z:\\home\\victim\\.bashrc", 4, 0},
      {"http://example.com/b.html", data + "\\example.com", data + "\\example.com\\..\\..\\..\\x", 2, 0},
      {"http://example.com/c.html", data + "\\..\\out", data + "\\example.com\\c.html", 7, 7},
      {"http://example.com/d.html", data + "\\example.com", data + "\\example.com\\d.html", 4, 4},
  };
  std::string text;
  for (const auto& r : rows)
    text += std::string("URL=") + r.url + "\nStatus=" + std::to_string(r.status) + "\nType=1\nDirName=" + r.dir +
            "\nLocalFile=" + r.file + "\n\n";
  ASSERT_TRUE(os::CreateDirectories(CurrentProfile().dirs.timer));
  ASSERT_TRUE(os::WriteCrLfTextFile(CurrentProfile().dirs.timer + "\\timer.dat", text));
  DownloadManager restarted;
  ASSERT_EQ(LoadTimerFile(restarted), 1);
  const std::vector<DownloadJob> got = restarted.Snapshot();
  ASSERT_EQ(got.size(), 4u);
  for (size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(rows[i].url);
    EXPECT_EQ(got[i].Status, rows[i].restored);
    EXPECT_TRUE(IsPathBelow(data, got[i].LocalFile)) << got[i].LocalFile;
    EXPECT_TRUE(IsPathBelow(data, got[i].DirName)) << got[i].DirName;
  }
  EXPECT_EQ(got[0].LocalFile, data + "\\example.com\\a.html");
  EXPECT_EQ(got[3].LocalFile, rows[3].file);  // a sound record is kept as it was
  EXPECT_TRUE(LogContains("Z:\\home\\victim\\.bashrc lies outside the data folder"));
}

}  // namespace
}  // namespace zentu::testing
