#include "tests/support/sample_site.h"

#include <iconv.h>

namespace zentu::testing {

const std::string& SampleGif() {
  static const std::string gif(
      "GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00!\xf9\x04\x01\x00\x00\x00\x00"
      ",\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02"
      "D\x01\x00;",
      43);
  return gif;
}

std::string FromUtf8(const std::string& utf8, const char* encoding) {
  iconv_t cd = iconv_open(encoding, "UTF-8");
  std::string in = utf8, out(utf8.size() * 4 + 16, '\0');
  char* ip = in.data();
  size_t il = in.size();
  char* op = out.data();
  size_t ol = out.size();
  iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  out.resize(out.size() - ol);
  return out;
}

void ServeSampleResources(TestServer& server, SampleImages images) {
  const HeaderList html = {{"Content-Type", "text/html"}};
  const HeaderList css = {{"Content-Type", "text/css"}};
  auto add = [&](const std::string& path, const std::string& body, const HeaderList& headers) {
    server.Add({.path = path, .headers = headers, .body = body});
  };
  add("/css/main.css", "@import \"imported.css\";\nbody { background: url(../img/cssbg.png); }\n", css);
  add("/css/imported.css", "@import url(\"deep.css\");\n.x { background-image: url('/img/imp.gif') }\n", css);
  add("/css/deep.css", ".y{background:url(deep.png)}\n", css);
  add("/frame/left.html", "<html><body><img src=\"utf.png\">\xE5\xB7\xA6</body></html>\n", html);
  add("/frame/right.html", "<html><body>right</body></html>\n", html);
  const bool gif = images == SampleImages::Gif;
  const HeaderList image = {{"Content-Type", gif ? "image/gif" : "image/png"}};
  for (const char* img : {"/img/script.gif", "/img/bg.gif", "/img/a.gif", "/img/root.png", "/img/abs.jpg",
                          "/img/cssbg.png", "/img/imp.gif", "/css/deep.png", "/img/inner.gif", "/frame/utf.png",
                          "/img/moved.gif"})
    add(img, gif ? SampleGif() : std::string("\x89PNG-not-really:") + img, image);
  server.Add({.path = "/redirect.gif", .status = 302, .headers = {{"Location", "/img/moved.gif"}}});
  server.Add({.path = "/img/missing.png", .status = 404, .body = "no"});
}

}  // namespace zentu::testing
