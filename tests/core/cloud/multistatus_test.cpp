#include "core/cloud/webdav/Multistatus.h"

#include <gtest/gtest.h>

#include "core/cloud/http/Request.h"
#include "core/cloud/webdav/WebdavStore.h"

namespace {

using namespace KVO_Core;
using webdav::Entry;

// The same listing as a server may write it: Apache's prefixes, lower-case ones, a default
// namespace without any prefix.
std::string listing(std::string const& d, std::string const& lp) {
  auto el = [&](std::string const& prefix, std::string const& name, std::string const& body) {
    return "<" + prefix + name + ">" + body + "</" + prefix + name + ">";
  };
  std::string const ns =
      d.empty() ? " xmlns=\"DAV:\"" : " xmlns:" + d.substr(0, d.size() - 1) + "=\"DAV:\"";
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<" + d + "multistatus" + ns + ">\n" +
         el(d, "response",
            el(d, "href", "/dav/docs/") +
                el(d, "propstat",
                   el(d, "prop",
                      "<" + lp + "resourcetype><" + d + "collection/></" + lp + "resourcetype>" +
                          el(lp, "getlastmodified", "Sun, 06 Nov 1994 08:49:37 GMT")) +
                       el(d, "status", "HTTP/1.1 200 OK"))) +
         el(d, "response",
            el(d, "href", "/dav/docs/a%20b%23c.txt") +
                el(d, "propstat",
                   el(d, "prop",
                      el(lp, "resourcetype", "") + el(lp, "getcontentlength", "1234") +
                          el(lp, "getlastmodified", "Mon, 07 Nov 1994 08:49:37 GMT")) +
                       el(d, "status", "HTTP/1.1 200 OK"))) +
         el(d, "response",
            el(d, "href", "http://127.0.0.1:8081/dav/docs/sub/") +
                el(d, "propstat",
                   el(d, "prop", el(lp, "resourcetype", "<" + d + "collection/>")) +
                       el(d, "status", "HTTP/1.1 200 OK")) +
                el(d, "propstat",
                   el(d, "prop", el(lp, "getcontentlength", "")) +
                       el(d, "status", "HTTP/1.1 404 Not Found"))) +
         el(d, "response", el(d, "propstat", "")) + "</" + d + "multistatus>";
}

TEST(Multistatus, ReadsTheSameWithAnyPrefix) {
  std::vector<webdav::Response> const expected = {
      {"/dav/docs/", Entry{"docs", true, 0, 784111777}},
      {"/dav/docs/a%20b%23c.txt", Entry{"a b#c.txt", false, 1234, 784198177}},
      {"http://127.0.0.1:8081/dav/docs/sub/", Entry{"sub", true, 0, 0}},
  };
  for (auto const& [d, lp] : {std::pair{"D:", "lp1:"}, {"d:", "d:"}, {"", ""}}) {
    std::vector<webdav::Response> const got = webdav::read_multistatus(listing(d, lp));
    ASSERT_EQ(got.size(), expected.size()) << d;
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].href, expected[i].href) << d;
      EXPECT_EQ(got[i].entry, expected[i].entry) << d << " " << got[i].href;
    }
  }
}

TEST(Multistatus, RefusesWhatIsNotXmlTooDeepOrTooLong) {
  std::string nested;
  for (int i = 0; i < 200000; ++i) nested += "<a>";
  std::string many = "<multistatus>";
  for (std::size_t i = 0; i <= webdav::MAX_RESPONSES; ++i)
    many += "<response><href>x</href></response>";
  many += "</multistatus>";
  for (std::string const& bad :
       {std::string("<multistatus><response>"), std::string("plain text"), nested, many}) {
    try {
      webdav::read_multistatus(bad);
      ADD_FAILURE() << bad.substr(0, 40);
    } catch (http::Error const& e) {
      EXPECT_EQ(e.reason, Utilities::FilesystemUtil::FileInfoResult::unknown_error);
    }
  }
}

TEST(Multistatus, DepthScanSkipsWhatIsNotAnElement) {
  struct {
    char const* xml;
    std::size_t depth;
    bool within;
  } const cases[] = {
      {"<a><b><c/></b></a>", 2, true},
      {"<a><b><c></c></b></a>", 2, false},
      {"<?xml version=\"1.0\"?><!-- <x><y><z> --><a><![CDATA[<p><q><r>]]></a>", 1, true},
      {"<a x=\"<b><c>\" y='>'><b/></a>", 1, true},
      {"<!DOCTYPE a><a></a><b></b>", 1, true},
  };
  for (auto const& c : cases)
    EXPECT_EQ(webdav::xml_depth_within(c.xml, c.depth), c.within) << c.xml;
}

TEST(WebdavUrls, BuildsEncodedAddressesThatReadBackAsTheirPaths) {
  struct {
    char const* base;
    char const* path;
    bool dir;
    char const* url;
  } const cases[] = {
      {"http://127.0.0.1:8081/dav/", "", false, "http://127.0.0.1:8081/dav"},
      {"http://127.0.0.1:8081/dav//", "//", true, "http://127.0.0.1:8081/dav/"},
      {"https://h/dav", "/docs/a b#c.txt", false, "https://h/dav/docs/a%20b%23c.txt"},
      {"https://h/dav", "docs//sub/", true, "https://h/dav/docs/sub/"},
      {"https://h", "100% + é?😀", false, "https://h/100%25%20%2B%20%C3%A9%3F%F0%9F%98%80"},
  };
  for (auto const& c : cases) {
    std::string const url = webdav::url_of(c.base, c.path, c.dir);
    EXPECT_EQ(url, c.url);
  }
  EXPECT_EQ(webdav::href_path("https://h/100%25%20%2B%20%C3%A9%3F%F0%9F%98%80"), "/100% + é?😀");
  EXPECT_EQ(webdav::href_path("/dav/docs/"), webdav::href_path("http://127.0.0.1/dav/docs"));
  EXPECT_EQ(webdav::href_path("https://h"), "");
}

}  // namespace
