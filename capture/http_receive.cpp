// Receiving a response: the head is kept and the body goes to the request's
// sink as it arrives, a chunked or compressed body decoded, stopping where
// the body ends. Nothing here knows of capture jobs.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <zlib.h>

#include "capture/http.h"
#include "capture/http_internal.h"
#include "os/file.h"
#include "os/log.h"
#include "os/socket.h"

namespace zentu {

using namespace http_detail;

namespace {

// Statuses whose body is kept; for the others the head says all.
bool WantsBody(int status) {
  if (status >= 200 && status < 300) return status != 204 && status != 205;
  return status >= 300 && status < 400 && status != 304;
}

// Writes the head and the body of a response as it arrives, decoding a chunked
// body and stopping where the body ends.
class Spooler {
 public:
  enum class Outcome { Running, Complete, HeadTooLong, ChunkError, Truncated, SizeOver, TooLarge, BadCoding,
                       WriteError };

  ~Spooler() {
    if (inflating_) inflateEnd(&zs_);
  }

  Spooler(BodySink& sink, bool headOnly, int sizeUpTo, uint64_t maxBody)
      : sink_(sink), headOnly_(headOnly), sizeUpTo_(sizeUpTo), maxBody_(maxBody) {}

  const std::string& head() const { return headText_; }

  Outcome outcome() const { return outcome_; }
  uint64_t bodyBytes() const { return bodyBytes_; }
  // The body file was made (a body came, or at least its head said one would).
  bool BodyMade() const { return bodyMade_; }
  int64_t contentLength() const { return info_.contentLength; }
  // The answer ended where its framing says, with no byte after it, and the
  // server keeps the connection: the next request may use it.
  bool Reusable() const { return outcome_ == Outcome::Complete && exactEnd_ && info_.keepAlive && !leftover_; }

  // Takes received bytes; false once nothing more is wanted.
  bool Feed(const char* data, size_t size) {
    if (phase_ == Phase::Head) {
      headData_.append(data, size);
      if (!StartsWithHttp()) {
        // Not an HTTP answer at all: keep a little of it for the header check.
        return Finish(WriteHeadBytes(std::string_view(headData_).substr(0, kMaxResponseHead)));
      }
      const size_t end = FindHeadEndFrom();
      if (end == std::string::npos) {
        if (headData_.size() > kMaxResponseHead) return Fail(Outcome::HeadTooLong);
        return true;
      }
      if (end > kMaxResponseHead) return Fail(Outcome::HeadTooLong);
      if (!WriteHeadBytes(std::string_view(headData_).substr(0, end))) return Fail(Outcome::WriteError);
      info_ = InspectHead(std::string_view(headData_).substr(0, end));
      if (!WantsBody(info_.status) || headOnly_) {
        if (NoBodyFollows()) {
          // A HEAD answer, or one without a body by its status, ends with its head.
          exactEnd_ = true;
          leftover_ = headData_.size() > end;
          return Finish(true);
        }
        // A short body of an answer that is not kept is read past, so the
        // connection can serve the next request; a longer one is not worth it.
        if (info_.chunked || info_.contentLength <= 0 || info_.contentLength > 65536) return Finish(true);
        discard_ = true;
      }
      if (sizeUpTo_ > 0 && info_.contentLength >= 0 &&
          static_cast<uint64_t>(info_.contentLength) / 1024 > static_cast<uint64_t>(sizeUpTo_))
        return Finish(true);  // the header check refuses it
      if (info_.contentLength >= 0 && static_cast<uint64_t>(info_.contentLength) > maxBody_)
        return Fail(Outcome::TooLarge);
      if (!sink_.OpenBody()) return Fail(Outcome::WriteError);
      bodyOpen_ = true;
      if (info_.coding == HeadInfo::Coding::Gzip || info_.coding == HeadInfo::Coding::Deflate) {
        // 15 + 32: zlib or gzip, told by the header; a raw deflate stream is
        // tried when the first bytes are neither (servers send both as "deflate").
        if (inflateInit2(&zs_, 15 + 32) != Z_OK) return Fail(Outcome::WriteError);
        inflating_ = true;
      }
      phase_ = info_.chunked ? Phase::ChunkSize : Phase::Body;
      std::string rest = headData_.substr(end);
      headData_.clear();
      headData_.shrink_to_fit();
      if (info_.contentLength == 0 && !info_.chunked) {
        exactEnd_ = true;
        leftover_ = !rest.empty();
        return Finish(true);
      }
      return rest.empty() ? true : FeedBody(rest.data(), rest.size());
    }
    return FeedBody(data, size);
  }

  // The peer closed the connection.
  void End() {
    if (outcome_ != Outcome::Running) return;
    switch (phase_) {
      case Phase::Head:
        // Whatever came is all there is; the header check says what it lacks.
        Finish(WriteHeadBytes(std::string_view(headData_).substr(0, kMaxResponseHead)));
        return;
      case Phase::Body:
        if (info_.contentLength >= 0 && bodyBytes_ < static_cast<uint64_t>(info_.contentLength)) {
          Fail(Outcome::Truncated);
          return;
        }
        FinishBody();
        return;
      case Phase::Trailer:
        FinishBody();  // the last chunk came; a missing end of the trailer loses nothing
        return;
      default:
        Fail(Outcome::Truncated);  // the last chunk never came
        return;
    }
  }

  // Ends the sink's body; false when a write failed.
  bool Close() {
    if (!bodyOpen_) return true;
    bodyOpen_ = false;
    return sink_.Finish();
  }

 private:
  enum class Phase { Head, Body, ChunkSize, ChunkData, ChunkEnd, Trailer, Done };

  bool StartsWithHttp() const {
    static const char kHttp[] = "http";
    for (size_t i = 0; i < headData_.size() && i < 4; ++i)
      if (std::tolower(static_cast<unsigned char>(headData_[i])) != kHttp[i]) return false;
    return true;
  }

  // FindHeadEnd, resuming at the line that was incomplete before.
  size_t FindHeadEndFrom() {
    size_t line = lineStart_;
    while (line < headData_.size()) {
      size_t lf = headData_.find('\n', line);
      if (line > 0 && (headData_[line] == '\r' || headData_[line] == '\n'))
        return lf == std::string::npos ? std::string::npos : lf + 1;
      if (lf == std::string::npos) break;
      line = lf + 1;
    }
    lineStart_ = line;
    return std::string::npos;
  }

  bool WriteHeadBytes(std::string_view bytes) {
    headText_.assign(bytes);
    return sink_.WriteHead(bytes);
  }

  // The answer carries no body by its status (or because the request was HEAD).
  bool NoBodyFollows() const {
    return headOnly_ || info_.status == 204 || info_.status == 304 || (info_.status >= 100 && info_.status < 200);
  }

  bool Finish(bool ok) {
    if (!ok) return Fail(Outcome::WriteError);
    phase_ = Phase::Done;
    outcome_ = Outcome::Complete;
    return false;
  }

  // The body is complete on the wire; a compressed one must have ended too.
  bool FinishBody() {
    if (inflating_ && !inflateDone_ && !discard_ && bodyBytes_ > 0) return Fail(Outcome::BadCoding);
    return Finish(true);
  }

  bool Fail(Outcome outcome) {
    phase_ = Phase::Done;
    outcome_ = outcome;
    return false;
  }

  bool WriteBody(const char* data, size_t size) {
    if (size == 0) return true;
    bodyBytes_ += size;
    if (discard_) return true;  // the body of an answer that is not kept
    if (!inflating_) return Store(data, size);
    if (inflateDone_) return true;  // bytes after the end of the stream are ignored
    zs_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    zs_.avail_in = static_cast<uInt>(size);
    char out[65536];
    while (zs_.avail_in > 0) {
      zs_.next_out = reinterpret_cast<Bytef*>(out);
      zs_.avail_out = sizeof out;
      int r = inflate(&zs_, Z_NO_FLUSH);
      if (r == Z_DATA_ERROR && !rawTried_ && zs_.total_out == 0 && bodyBytes_ == size &&
          info_.coding == HeadInfo::Coding::Deflate) {
        // "deflate" without its zlib wrapper: start again as a raw stream.
        rawTried_ = true;
        inflateEnd(&zs_);
        zs_ = z_stream{};
        if (inflateInit2(&zs_, -15) != Z_OK) return Fail(Outcome::BadCoding);
        zs_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        zs_.avail_in = static_cast<uInt>(size);
        continue;
      }
      if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR) return Fail(Outcome::BadCoding);
      const size_t produced = sizeof out - zs_.avail_out;
      if (!Store(out, produced)) return false;
      if (r == Z_STREAM_END) {
        inflateDone_ = true;
        break;
      }
      if (r == Z_BUF_ERROR && produced == 0) break;
    }
    return true;
  }

  bool Store(const char* data, size_t size) {
    if (size == 0) return true;
    if (!sink_.WriteBody(std::string_view(data, size))) return Fail(Outcome::WriteError);
    storedBytes_ += size;
    if (storedBytes_ > maxBody_) return Fail(Outcome::TooLarge);
    if (sizeUpTo_ > 0 && storedBytes_ / 1024 > static_cast<uint64_t>(sizeUpTo_)) return Fail(Outcome::SizeOver);
    return true;
  }

  // Appends to line_ up to and including LF; true when the line is complete.
  bool TakeLine(const char*& data, size_t& size) {
    const void* lf = std::memchr(data, '\n', size);
    size_t n = lf ? static_cast<size_t>(static_cast<const char*>(lf) - data) + 1 : size;
    line_.append(data, n);
    data += n;
    size -= n;
    return lf != nullptr;
  }

  bool FeedBody(const char* data, size_t size) {
    while (size > 0 || phase_ == Phase::Done) {
      switch (phase_) {
        case Phase::Body: {
          size_t n = size;
          if (info_.contentLength >= 0) {
            uint64_t left = static_cast<uint64_t>(info_.contentLength) - bodyBytes_;
            if (n > left) n = static_cast<size_t>(left);
          }
          if (!WriteBody(data, n)) return false;
          data += n;
          size -= n;
          if (info_.contentLength >= 0 && bodyBytes_ == static_cast<uint64_t>(info_.contentLength)) {
            exactEnd_ = true;
            leftover_ = size > 0;
            return FinishBody();
          }
          break;
        }
        case Phase::ChunkSize: {
          bool complete = TakeLine(data, size);
          if (line_.size() > 4096) return Fail(Outcome::ChunkError);
          if (!complete) return true;
          uint64_t chunk = 0;
          size_t i = 0, digits = 0;
          while (i < line_.size() && (line_[i] == ' ' || line_[i] == '\t')) ++i;
          for (; i < line_.size() && std::isxdigit(static_cast<unsigned char>(line_[i])); ++i, ++digits) {
            if (chunk >> 56) return Fail(Outcome::ChunkError);
            char c = static_cast<char>(std::tolower(static_cast<unsigned char>(line_[i])));
            chunk = chunk * 16 + static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
          }
          while (i < line_.size() && (line_[i] == ' ' || line_[i] == '\t')) ++i;
          if (digits == 0 || (i < line_.size() && line_[i] != ';' && line_[i] != '\r' && line_[i] != '\n'))
            return Fail(Outcome::ChunkError);
          line_.clear();
          chunkLeft_ = chunk;
          phase_ = chunk == 0 ? Phase::Trailer : Phase::ChunkData;
          break;
        }
        case Phase::ChunkData: {
          size_t n = size < chunkLeft_ ? size : static_cast<size_t>(chunkLeft_);
          if (!WriteBody(data, n)) return false;
          data += n;
          size -= n;
          chunkLeft_ -= n;
          if (chunkLeft_ == 0) phase_ = Phase::ChunkEnd;
          break;
        }
        case Phase::ChunkEnd: {
          bool complete = TakeLine(data, size);
          if (line_ != "\r\n" && line_ != "\n" && line_ != "\r") return Fail(Outcome::ChunkError);
          if (!complete) return true;
          line_.clear();
          phase_ = Phase::ChunkSize;
          break;
        }
        case Phase::Trailer: {
          bool complete = TakeLine(data, size);
          trailerBytes_ += line_.size();
          if (trailerBytes_ > kMaxResponseHead) return Fail(Outcome::ChunkError);
          if (!complete) return true;
          bool blank = line_ == "\r\n" || line_ == "\n";
          line_.clear();
          if (blank) {
            exactEnd_ = true;
            leftover_ = size > 0;
            return FinishBody();
          }
          break;
        }
        case Phase::Done:
          return false;
        case Phase::Head:
          return false;
      }
    }
    return true;
  }

  BodySink& sink_;
  bool bodyOpen_ = false;
  bool headOnly_;
  int sizeUpTo_;
  uint64_t maxBody_;
  std::string headText_;
  Phase phase_ = Phase::Head;
  Outcome outcome_ = Outcome::Running;
  std::string headData_;
  size_t lineStart_ = 0;
  HeadInfo info_;
  uint64_t bodyBytes_ = 0;    // body bytes as they came over the wire
  uint64_t storedBytes_ = 0;  // bytes written to the body file (decoded)
  bool exactEnd_ = false;     // the answer ended by its framing, not by a close
  bool leftover_ = false;     // bytes came after the end of the answer
  bool discard_ = false;  // the body is read past, not kept
  bool bodyMade_ = false;
  z_stream zs_{};
  bool inflating_ = false, inflateDone_ = false, rawTried_ = false;
  uint64_t chunkLeft_ = 0;
  uint64_t trailerBytes_ = 0;
  std::string line_;
};

constexpr size_t kReceiveBuffer = 256 * 1024;

}  // namespace

int http_detail::ReceiveAnswer(const FetchRequest& request, os::Connection& connection, BodySink& sink,
                               FetchResponse& response, ReceiveInfo& info) {
  info = ReceiveInfo{};
  if (const int ready = sink.Prepare(response.message); ready <= 0) return ready < 0 ? kHttpFailed : kHttpRetry;
  const std::string path = sink.Name();
  const int sizeUpTo = request.sizeUpTo > 0 ? request.sizeUpTo : 0;
  Spooler spooler(sink, request.head, sizeUpTo, MaxBodyBytes());
  std::unique_ptr<char[]> buffer(new char[kReceiveBuffer]);
  uint64_t total = 0;
  for (;;) {
    long n = connection.Receive(buffer.get(), kReceiveBuffer);
    if (n < 0) {
      spooler.Close();
      sink.Discard();
      return TransferFailure(request.url, response.message, connection);
    }
    if (n == 0) {
      spooler.End();
      break;
    }
    total += static_cast<uint64_t>(n);
    info.bytes = total;
    if (request.progress) request.progress(total);
    if (!spooler.Feed(buffer.get(), static_cast<size_t>(n))) break;
  }
  const bool closed = spooler.Close();
  info.reusable = closed && spooler.Reusable();
  info.head = spooler.head();

  int result = kHttpOk;
  switch (spooler.outcome()) {
    case Spooler::Outcome::Complete:
    case Spooler::Outcome::Running:
      if (!closed) {
        WriteLog("Can't write file: %s", path.c_str());
        FormatMessage(response.message, "Can't write file: %s", path.c_str());
        result = kHttpRetry;
      }
      break;
    case Spooler::Outcome::HeadTooLong:
      WriteLog("> Header too long [> %zu bytes]", kMaxResponseHead);
      FormatMessage(response.message, "Header too long. [> %zu bytes]", kMaxResponseHead);
      result = kHttpRetry;
      break;
    case Spooler::Outcome::BadCoding:
      WriteLog("> Broken compressed data: %s", request.url.c_str());
      FormatMessage(response.message, "Broken compressed data.");
      result = kHttpRetry;
      break;
    case Spooler::Outcome::ChunkError:
      WriteLog("> Broken chunked data");
      FormatMessage(response.message, "Broken chunked data.");
      result = kHttpRetry;
      break;
    case Spooler::Outcome::Truncated:
      if (spooler.contentLength() >= 0) {
        WriteLog("> Connection closed at %llu of %lld bytes", static_cast<unsigned long long>(spooler.bodyBytes()),
                 static_cast<long long>(spooler.contentLength()));
        FormatMessage(response.message, "Connection closed. [%llu/%lld]", static_cast<unsigned long long>(spooler.bodyBytes()),
                      static_cast<long long>(spooler.contentLength()));
      } else {
        WriteLog("> Connection closed before the last chunk");
        FormatMessage(response.message, "Connection closed. [%llu]", static_cast<unsigned long long>(spooler.bodyBytes()));
      }
      result = kHttpRetry;
      break;
    case Spooler::Outcome::SizeOver: {
      const unsigned long long kb = spooler.bodyBytes() / 1024;
      WriteLog("size over [%lluKB > %dKB]", kb, sizeUpTo);
      FormatMessage(response.message, "size over [%lluKB > %dKB]", kb, sizeUpTo);
      result = kHttpSizeOver;
      break;
    }
    case Spooler::Outcome::TooLarge: {
      const unsigned long long limit = MaxBodyBytes();
      WriteLog("> Body too large [> %llu bytes]: %s", limit, request.url.c_str());
      FormatMessage(response.message, "Body too large. [> %llu bytes]", limit);
      result = kHttpFailed;
      break;
    }
    case Spooler::Outcome::WriteError:
      WriteLog("Can't write file: %s", path.c_str());
      FormatMessage(response.message, "Can't write file: %s", path.c_str());
      result = kHttpRetry;
      break;
  }
  if (result != kHttpOk) {
    sink.Discard();
    return result;
  }
  sink.Received();
  return kHttpOk;
}

}  // namespace zentu
