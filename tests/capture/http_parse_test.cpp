// The HTTP client's text handling: status lines, response heads, dates,
// Base64, redirect targets; and answers that are not HTTP as it should be.
#include "os/clock.h"
#include "tests/capture/http_fixture.h"

namespace zentu::testing {
namespace {

TEST(HttpStatusLine, AcceptedCodesAndMalformedLines) {
  const struct {
    const char* line;
    bool accepted;
    int code;  // Connection afterwards; -1 = unchanged
  } rows[] = {
      {"HTTP/1.0 200 OK", true, 200},
      {"HTTP/1.1 202 Accepted", true, 202},
      {"HTTP/1.1 203 Non-Authoritative", true, 203},
      {"HTTP/1.1 301 Moved Permanently", true, 301},
      {"HTTP/1.1 302 Found", true, 302},
      {"HTTP/1.1 304 Not Modified", false, 304},
      {"HTTP/1.1 307 Temporary Redirect", true, 307},
      {"HTTP/1.1 308 Permanent Redirect", true, 308},
      {"HTTP/1.1 303 See Other", true, 303},
      {"HTTP/1.1 404 Not Found", false, 404},
      {"HTTP/1.1 200 ", true, 200},
      {"HTTP/1.1 200OK", false, -1},
      {"HTTP/1.1 200", false, -1},
      {"HTTP/1.1", false, -1},
      {"HTTP/1.1 OK 200", false, -1},
      {"HTTP/1.1 2000000000000 OK", false, -1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    log::Clear();
    DownloadJob job;
    job.Connection = -1;
    EXPECT_EQ(ParseStatusLine(job, row.line), row.accepted);
    EXPECT_EQ(job.Connection, row.code);
    EXPECT_EQ(LogContains("No status code"), row.code == -1);
  }
}

TEST(HttpDate, Rfc1123Only) {
  const struct {
    const char* text;
    bool ok;
    SystemTime time;
    const char* zone;
  } rows[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", true, {1994, 11, 0, 6, 8, 49, 37, 0}, "GMT"},
      {"sun, 06 nov 1994 08:49:37 gmt", true, {1994, 11, 0, 6, 8, 49, 37, 0}, "gmt"},
      {"6 Dec 2007 23:59:59 GMT", true, {2007, 12, 0, 6, 23, 59, 59, 0}, "GMT"},
      {"Thu, 29 Feb 2024 00:00:00 GMT", true, {2024, 2, 0, 29, 0, 0, 0, 0}, "GMT"},
      {"Sunday, 06-Nov-94 08:49:37 GMT", false, {}, ""},
      {"Sun Nov  6 08:49:37 1994", false, {}, ""},
      {"Sun, 31 Feb 2020 00:00:00 GMT", false, {}, ""},
      {"Sun, 06 Xyz 1994 08:49:37 GMT", false, {}, ""},
      {"Sun, 06 Nov 1994 24:00:00 GMT", false, {}, ""},
      {"", false, {}, ""},
      {"garbage \x81\x5c 12", false, {}, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    SystemTime t;
    std::string zone;
    EXPECT_EQ(ParseHttpDate(row.text, t, &zone), row.ok);
    if (row.ok) {
      EXPECT_EQ(t, row.time);
      EXPECT_EQ(zone, row.zone);
    }
  }
  EXPECT_EQ(SystemTimeToFileTime({1970, 1, 0, 1, 0, 0, 0, 0}), os::kFileTimeUnixEpoch);
  EXPECT_EQ(SystemTimeToFileTime({1994, 11, 0, 6, 8, 49, 37, 0}), os::FileTimeFromUnix(784111777));
  EXPECT_EQ(os::UnixFromFileTime(os::FileTimeFromUnix(784111777)), 784111777);
  EXPECT_EQ(SystemTimeToFileTime({2023, 13, 0, 1, 0, 0, 0, 0}), 0u);
}

TEST(HttpBase64, Rfc4648Vectors) {
  const std::pair<const char*, const char*> rows[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                                                      {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                                                      {"foobar", "Zm9vYmFy"}};
  for (const auto& [in, out] : rows) EXPECT_EQ(EncodeBase64(in), out) << in;
  EXPECT_EQ(EncodeBase64(std::string("\xff\xfe\x00", 3)), "//4A");
}

TEST(HttpRedirectTarget, LocationsMadeAbsolute) {
  DownloadJob job;
  job.URL = "http://h.example:8080/a/b.html#top";
  job.RequestURL = "http://h.example:8080/a/b.html";
  job.Host = "h.example";
  const std::pair<const char*, const char*> rows[] = {
      {"http://other.example/x", "http://other.example/x"},
      {"/x.html", "http://h.example:8080/x.html"},
      {"//cdn.example/y", "http://cdn.example/y"},
      {"c.html", "http://h.example:8080/a/c.html"},
      {"../up.html", "http://h.example:8080/up.html"},
      {"/../../etc/x", "http://h.example:8080/etc/x"},
      {"\\..\\x", "http://h.example:8080/x"},
      {"?page=2", "http://h.example:8080/a/b.html?page=2"},
  };
  for (const auto& [in, out] : rows) EXPECT_EQ(AbsoluteMovedURL(job, in), out) << in;
  job.RequestURL = "https://s.example/dir/";
  EXPECT_EQ(AbsoluteMovedURL(job, "/login"), "https://s.example/login");
  EXPECT_EQ(AbsoluteMovedURL(job, std::string(3000, 'a')).size(), kMaxUrlLength);
}

// Response heads written to a temporary file and parsed as the client does.
class HttpHeadTest : public HttpTest {
 protected:
  int Parse(DownloadJob& job, const std::string& head, const std::string& body = "") {
    WriteNative("resp.dat", head + body);
    job.TempFile = Path("resp.dat");
    return ParseResponseHeader(job);
  }
};

TEST_F(HttpHeadTest, FieldsIntoTheJob) {
  const struct {
    std::string head;
    int result;
    int flag;
    uint32_t size;
    const char* moved;
    const char* encoding;
  } rows[] = {
      {"HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: 123\r\n\r\n", 1, 100, 123, "", ""},
      {"HTTP/1.0 200 OK\nContent-Type: image/gif\nContent-Length:77\n\n", 1, 101, 77, "", ""},
      {"HTTP/1.0 200 OK\r\ncontent-type: application/xml\r\n\r\n", 1, 100, 0, "", ""},
      {"HTTP/1.0 200 OK\r\nContent-Type: application/x-javascript\r\n\r\n", 1, 100, 0, "", ""},
      {"HTTP/1.0 200 OK\r\nContent-Type: Text/HTML\r\n\r\n", 1, 101, 0, "", ""},  // case-sensitive
      {"HTTP/1.1 200 OK\r\nContent-Length: 99\r\nTransfer-Encoding: chunked\r\n\r\n", 1, 101, 0, "", ""},
      {"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n", 1, 101, 0, "", "gzip"},
      {"HTTP/1.1 302 Found\r\nLocation:   http://x.example/y  \r\n\r\n", 1, 101, 0, "http://x.example/y", ""},
      {"HTTP/1.1 404 Not Found\r\nLocation: /z\r\nContent-Length: 5\r\n\r\n", -1, 101, 5, "/z", ""},
      {"HTTP/1.1 503 Busy\r\n\r\n", 0, 101, 0, "", ""},
      {"http/1.0 200 OK\r\n\r\n", 1, 101, 0, "", ""},
      {"<html><body>no header</body></html>\r\n\r\n", 0, 101, 0, "", ""},
      {"ICY 200 OK\r\n\r\n", 0, 101, 0, "", ""},
      {"\r\nHTTP/1.0 200 OK\r\n\r\n", 0, 101, 0, "", ""},
      {"", 0, 101, 0, "", ""},
      {"HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n", 0, 100, 0, "", ""},  // no end of head
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(n++);
    DownloadJob job;
    job.Size = 4242;  // left from an earlier answer
    job.MovedURL = "stale";
    EXPECT_EQ(Parse(job, row.head, "BODY"), row.result) << job.Message;
    EXPECT_EQ(job.Flag, row.flag);
    EXPECT_EQ(job.Size, row.size);
    EXPECT_EQ(job.MovedURL, row.moved);
    EXPECT_EQ(job.ContentEncoding, row.encoding);
    if (row.result == 1) {
      EXPECT_EQ(static_cast<size_t>(job.HeaderLength), row.head.size());
    }
  }
}

// One job answers several times (HEAD then GET, retries): each head is judged alone.
TEST_F(HttpHeadTest, StatusOfAnEarlierAnswerDoesNotCarryOver) {
  const struct {
    const char* earlier;
    const char* head;
    int result;
    int connection;
  } rows[] = {
      {"HTTP/1.1 503 Busy\r\n\r\n", "HTTP/1.1 200OK\r\n\r\n", -1, 0},
      {"HTTP/1.1 500 Oops\r\n\r\n", "HTTP/1.1 502\r\n\r\n", -1, 0},
      {"HTTP/1.1 504 Late\r\n\r\n", "HTTP/1.1\r\n\r\n", -1, 0},
      {"HTTP/1.1 200 OK\r\n\r\n", "HTTP/1.1 503 Busy\r\n\r\n", 0, 503},
      {"HTTP/1.1 503 Busy\r\n\r\n", "<html>\r\n\r\n", 0, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.head);
    DownloadJob job;
    Parse(job, row.earlier);
    EXPECT_EQ(Parse(job, row.head), row.result);
    EXPECT_EQ(job.Connection, row.connection);
  }
}

TEST_F(HttpHeadTest, MessagesDatesAndSizeLimit) {
  DownloadJob job;
  EXPECT_EQ(Parse(job, "garbage\r\n\r\n"), 0);
  EXPECT_EQ(job.Message, "No Header.");
  EXPECT_TRUE(LogContains("Header Error ..."));
  EXPECT_EQ(Parse(job, "<html>\r\n\r\n"), 0);
  EXPECT_TRUE(LogContains("Header Error..."));

  job = DownloadJob{};
  job.TempFile = Path("missing.dat");
  EXPECT_EQ(ParseResponseHeader(job), 0);
  EXPECT_EQ(job.Message, "Can't open file: " + Path("missing.dat"));

  job = DownloadJob{};
  ASSERT_EQ(Parse(job,
                  "HTTP/1.0 200 OK\r\nDate: Mon, 07 Nov 1994 01:02:03 GMT\r\n"
                  "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n"),
            1);
  EXPECT_EQ(job.ServerDate, (SystemTime{1994, 11, 0, 7, 1, 2, 3, 0}));
  EXPECT_EQ(job.LastModifiedTime, os::FileTimeFromUnix(784111777));
  const os::LocalTime t = os::GetClock().ToLocal(784111777);
  char text[32];
  std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  EXPECT_EQ(job.Modified, text);
  ASSERT_EQ(Parse(job, "HTTP/1.0 200 OK\r\nLast-Modified: yesterday\r\n\r\n"), 1);
  EXPECT_EQ(job.Modified, "") << "an unreadable date is no date";
  EXPECT_EQ(job.LastModifiedTime, 0u);

  const struct {
    int limit;
    const char* length;
    int result;
  } limits[] = {{2048, "2097152", 1}, {2047, "2097152", -3}, {0, "99999999999999999999999", 1},
                {1, "99999999999999999999999", -3}};
  for (const auto& row : limits) {
    SCOPED_TRACE(row.length);
    job = DownloadJob{};
    job.SizeUpTo = row.limit;
    EXPECT_EQ(Parse(job, std::string("HTTP/1.0 200 OK\r\nContent-Length: ") + row.length + "\r\n\r\n"), row.result);
  }
  EXPECT_EQ(job.Message, "size over [18014398509481983KB > 1KB]");
}

// --- Answers that are not what HTTP says they should be ---------------------------------------

TEST_F(HttpTest, BadInputStatusAndHead) {
  TestServer server;
  const struct {
    Route route;
    int result;
    const char* message;  // "" = "Not Found." (a rejected status)
    const char* log;
  } rows[] = {
      {{.path = "/a", .fault = Fault::MalformedStatus}, kHttpFailed, "Not Found.", "No status code"},
      {{.path = "/b", .statusLine = "HTTP/1.1 200"}, kHttpFailed, "Not Found.", "No status code"},
      {{.path = "/c", .statusLine = "HTTP/1.1 \x81\x40\xff 200 OK"}, kHttpFailed, "Not Found.", "No status code"},
      {{.path = "/d", .body = "<html><body>old server</body></html>", .fault = Fault::Raw}, kHttpRetry, "No Header.",
       "Header Error..."},
      {{.path = "/e", .fault = Fault::Garbage}, kHttpRetry, "No Header.", "Header Error ..."},
      {{.path = "/f", .fault = Fault::Garbage, .faultSize = 300000}, kHttpRetry, "No Header.", "Header Error ..."},
      {{.path = "/g", .fault = Fault::EndlessHeader}, kHttpRetry, "Header too long. [> 65536 bytes]",
       "Header too long"},
      {{.path = "/h", .body = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n", .fault = Fault::Raw}, kHttpRetry,
       "Incomplete Header.", "no end of header"},
      {{.path = "/i", .body = "", .fault = Fault::Raw}, kHttpRetry, "No Header.", ""},
      {{.path = "/j",
        .body = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n0\r\n\r\n",
        .fault = Fault::Raw},
       kHttpRetry, "Broken chunked data.", "Broken chunked data"},
      {{.path = "/k",
        .body = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nabcdeXX3\r\nabc\r\n0\r\n\r\n",
        .fault = Fault::Raw},
       kHttpRetry, "Broken chunked data.", "Broken chunked data"},
      {{.path = "/l", .body = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nabcde\r\n", .fault = Fault::Raw},
       kHttpRetry, "Connection closed. [5]", "before the last chunk"},
      {{.path = "/m",
        .body = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFFFF\r\nabc",
        .fault = Fault::Raw},
       kHttpRetry, "Broken chunked data.", "Broken chunked data"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.route.path);
    log::Clear();
    server.Add(row.route);
    DownloadJob job = MakeJob(server.Url(row.route.path));
    job.Status = kJobWaiting;
    EXPECT_EQ(GetProcedure(job, manager), row.result);
    EXPECT_EQ(job.Message, row.message);
    if (*row.log) {
      EXPECT_TRUE(LogContains(row.log));
    }
    EXPECT_FALSE(os::PathExists(job.LocalFile));
    EXPECT_TRUE(TempFiles().empty());
  }
}

TEST_F(HttpTest, BadInputLongLinesAndLocation) {
  TestServer server;
  server.Add(Route{.path = "/long",
                   .headers = {{"Content-Type", "text/html"}},
                   .body = "<p>fine</p>",
                   .fault = Fault::LongHeaderLine,
                   .faultSize = 8192});
  server.Add(Route{.path = "/huge", .headers = {{"Content-Type", "text/html"}}, .body = "<p>",
                   .fault = Fault::LongHeaderLine, .faultSize = 70000});
  server.Add(Route{.path = "/moved", .status = 302, .fault = Fault::LongLocation, .faultSize = 4096});
  server.Add(Route{.path = "/nul",
                   .headers = {{"Content-Type", std::string("text/html\0\x01\x02", 12)},
                               {"Location", std::string("/a\0b", 4)}},
                   .body = "<p>"});

  DownloadJob job = MakeJob(server.Url("/long"));
  job.Status = kJobWaiting;
  EXPECT_EQ(GetProcedure(job, manager), kHttpOk) << "a long line is one line, not a head's end";
  EXPECT_EQ(job.Status, kJobDownloaded);
  EXPECT_EQ(Read(job.LocalFile), "<p>fine</p>");

  job = MakeJob(server.Url("/huge"));
  EXPECT_EQ(HttpRequest(job, kHttpGet), kHttpRetry);
  EXPECT_EQ(job.Message, "Header too long. [> 65536 bytes]");

  job = MakeJob(server.Url("/moved"));
  EXPECT_EQ(HttpRequest(job, kHttpHead), kHttpOk);
  EXPECT_EQ(job.MovedURL.size(), kMaxUrlLength);
  EXPECT_EQ(job.MovedURL.substr(0, 17), "http://127.0.0.1:");

  job = MakeJob(server.Url("/nul"));
  EXPECT_EQ(HttpRequest(job, kHttpGet), kHttpOk);
  EXPECT_EQ(job.Flag, kContentText);
  EXPECT_EQ(job.MovedURL, "/ab") << "control bytes never reach a URL";
}

}  // namespace
}  // namespace zentu::testing
