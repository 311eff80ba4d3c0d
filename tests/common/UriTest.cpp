#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "common/Uri.hpp"

// The URLs below are the ones the engine has always written: every expectation was recorded from the URI
// library the engine used before this module, so a change here changes the URLs the engine requests.

namespace halcyne {
namespace {

TEST(UriTest, EncodesWhatMayNotStandInAUrlAndTheReservedCharacters) {
    struct Case {
        std::string text, reserved, expected;
    };
    const Case cases[] = {
        {"AZaz09-._~", "?#", "AZaz09-._~"},
        {"a b\tc", "?#", "a%20b%09c"},
        {"/p/a?b#c", "?#", "/p/a%3Fb%23c"},
        {"/p/a?b#c", "?#/", "%2Fp%2Fa%3Fb%23c"},
        {"%41", "?#", "%2541"},
        {"!$&'()*+,;=:@", "?#", "%21%24&%27%28%29%2A+%2C;=:@"},
        {"<>{}|\\\"^`[]", "", "%3C%3E%7B%7D%7C%5C%22%5E%60%5B%5D"},
        {"\x01\x1F\x7F", "", "%01%1F%7F"},
        {"\xC3\xA9\xFF", "", "%C3%A9%FF"},
        {std::string("a\0b", 3), "", "a%00b"},
    };
    for (const Case& c : cases) {
        std::string out = "kept:";
        UriEncode(c.text, c.reserved, out);
        EXPECT_EQ(out, "kept:" + c.expected) << c.text;
    }
}

TEST(UriTest, DecodesEscapesAndRefusesABrokenOne) {
    EXPECT_EQ(UriDecode("a%20b%2f%C3%A9+"), "a b/\xC3\xA9+");
    for (const char* broken : {"%", "a%4", "%4g", "%g4", "%%41"}) {
        EXPECT_THROW(UriDecode(broken), UriSyntaxError) << broken;
    }
}

TEST(UriTest, SplitsAUrlIntoItsParts) {
    struct Case {
        std::string url, scheme, host;
        std::uint16_t port;
        std::string authority, path, rawQuery, fragment, written;
    };
    const Case cases[] = {
        {"http://h", "http", "h", 80, "h", "", "", "", "http://h"},
        {"HTTP://Host.Example:80/Path", "http", "host.example", 80, "host.example", "/Path", "", "",
         "http://host.example/Path"},
        {"https://h:443/", "https", "h", 443, "h", "/", "", "", "https://h/"},
        {"https://h:80/a%20b?q=1%2F#f%41", "https", "h", 80, "h:80", "/a b", "q=1%2F", "fA",
         "https://h:80/a%20b?q=1%2F#fA"},
        {"http://u:p@h:8080/x", "http", "h", 8080, "u:p@h:8080", "/x", "", "", "http://u:p@h:8080/x"},
        {"http://a@b@c/", "http", "c", 80, "b@c", "/", "", "", "http://b@c/"},
        {"http://[::1]:8080/x", "http", "::1", 8080, "[::1]:8080", "/x", "", "", "http://[::1]:8080/x"},
        {"http://[FE80::1]/", "http", "fe80::1", 80, "[fe80::1]", "/", "", "", "http://[fe80::1]/"},
        {"http://[::1]junk:5/", "http", "::1", 80, "[::1]", "/", "", "", "http://[::1]/"},
        // Ports: empty is the default; white space before, '+', leading zeros and ',' are read.
        {"http://h:/x", "http", "h", 80, "h", "/x", "", "", "http://h/x"},
        {"http://h:8,080/", "http", "h", 8080, "h:8080", "/", "", "", "http://h:8080/"},
        {"http://h: 81/", "http", "h", 81, "h:81", "/", "", "", "http://h:81/"},
        {"http://h:+81/", "http", "h", 81, "h:81", "/", "", "", "http://h:81/"},
        {"http://h:0081/", "http", "h", 81, "h:81", "/", "", "", "http://h:81/"},
        {"http://h?x", "http", "h", 80, "h", "", "x", "", "http://h/?x"},
        {"http://h#y", "http", "h", 80, "h", "", "", "y", "http://h/#y"},
        // Without "scheme://" there is no authority.
        {"h:1/path", "h", "", 0, "", "1/path", "", "", "h:1/path"},
        {"mailto:a@b", "mailto", "", 0, "", "a@b", "", "", "mailto:a@b"},
        {"host.example", "", "", 0, "", "host.example", "", "", "host.example"},
        {"/a/b?q#f", "", "", 0, "", "/a/b", "q", "f", "/a/b?q#f"},
        {"./a:b", "", "", 0, "", "./a:b", "", "", "./a:b"},
        {"?q", "", "", 0, "", "", "q", "", "?q"},
        {"#f%20g", "", "", 0, "", "", "", "f g", "#f%20g"},
        {"", "", "", 0, "", "", "", "", ""},
    };
    for (const Case& c : cases) {
        const Uri uri(c.url);
        EXPECT_EQ(uri.Scheme(), c.scheme) << c.url;
        EXPECT_EQ(uri.Host(), c.host) << c.url;
        EXPECT_EQ(uri.Port(), c.port) << c.url;
        EXPECT_EQ(uri.Authority(), c.authority) << c.url;
        EXPECT_EQ(uri.Path(), c.path) << c.url;
        EXPECT_EQ(uri.RawQuery(), c.rawQuery) << c.url;
        EXPECT_EQ(uri.Fragment(), c.fragment) << c.url;
        EXPECT_EQ(uri.ToString(), c.written) << c.url;
    }
    EXPECT_EQ(Uri("http://h/?a%20b").Query(), "a b");
    EXPECT_THROW(Uri("http://h/?a%2").Query(), UriSyntaxError);
}

TEST(UriTest, RefusesAUrlItCannotRead) {
    for (const char* url :
         {"http://h:0", "http://h:65536", "http://h:-1", "http://h:81 ", "http://h:1:2", "http://h:x",
          "http://[::1", "http://h/%", "http://h/%4", "http://h/%4g", "http://h/#%zz", "x:"}) {
        EXPECT_THROW(Uri{url}, UriSyntaxError) << url;
    }
}

TEST(UriTest, WritesASchemeAndAuthority) {
    struct Case {
        std::string scheme, authority;
        bool throws;
        std::string written;
    };
    const Case cases[] = {
        {"http", "H.example", false, "http://h.example"},
        {"http", "h:80", false, "http://h"},
        {"https", "h:443", false, "https://h"},
        {"https", "h:80", false, "https://h:80"},
        {"HTTPS", "h:8443", false, "https://h:8443"},
        {"http", "[::1]:81", false, "http://[::1]:81"},
        {"http", "u@h", false, "http://u@h"},
        {"http", "h/path?q", false, "http://h"},
        {"http", ":81", false, "http://:81"},
        {"http", "h:", false, "http://h"},
        {"http", "h:x", true, ""},
        {"http", "[::1", true, ""},
        {"http", "h:70000", true, ""},
    };
    for (const Case& c : cases) {
        if (c.throws) {
            EXPECT_THROW(Uri(c.scheme, c.authority), UriSyntaxError) << c.authority;
        } else {
            EXPECT_EQ(Uri(c.scheme, c.authority).ToString(), c.written) << c.authority;
        }
    }
}

// A node's folder: its path with "./" resolved against it.
TEST(UriTest, ResolvesTheFolderOfAPath) {
    struct Case {
        std::string authority, path;
        bool throws;
        std::string written;
    };
    const Case cases[] = {
        {"h", "/packages/", false, "http://h/packages/"},
        {"h", "/packages", false, "http://h/"},
        {"h", "", false, "http://h/"},
        {"h", "/", false, "http://h/"},
        {"h:81", "/a/./b/../c", false, "http://h:81/a/"},
        {"h", "/a/b/..", false, "http://h/a/b/"},
        {"h", "/../../x/", false, "http://h/x/"},
        {"h", "/a%20b/%2F/", false, "http://h/a%20b/"},
        {"h", "a/b", false, "http://h/a/"},
        {"h", "//x//y", false, "http://h/x/"},
        {"h", "/a b/\xC3\xA9?#/", false, "http://h/a%20b/%C3%A9%3F%23/"},
        {"h", "/%zz/", true, ""},
    };
    for (const Case& c : cases) {
        Uri node;
        node.SetScheme("http");
        node.SetAuthority(c.authority);
        if (c.throws) {
            EXPECT_THROW(node.SetPath(c.path), UriSyntaxError) << c.path;
            continue;
        }
        node.SetPath(c.path);
        node.Resolve("./");
        EXPECT_EQ(node.ToString(), c.written) << c.path;
    }
}

TEST(UriTest, ResolvesAReferenceAgainstARoot) {
    struct Case {
        std::string reference;
        bool throws;
        std::string path, written;
    };
    const Case cases[] = {
        {"", false, "/", "http://file/"},
        {"a", false, "/a", "http://file/a"},
        {"a/b/", false, "/a/b/", "http://file/a/b/"},
        {"./a", false, "/a", "http://file/a"},
        {"a/./b", false, "/a/b", "http://file/a/b"},
        {"a/../b", false, "/b", "http://file/b"},
        {"../../a", false, "/a", "http://file/a"},
        {"a/..", false, "/", "http://file/"},
        {"a/.", false, "/a/", "http://file/a/"},
        {"..", false, "/", "http://file/"},
        {".", false, "/", "http://file/"},
        {"a//b", false, "/a/b", "http://file/a/b"},
        {"/x/../y", false, "/y", "http://file/y"},
        {"./a:b", false, "/a:b", "http://file/a:b"},
        {"a%20b", false, "/a b", "http://file/a%20b"},
        {"a%2Fb", false, "/a/b", "http://file/a/b"},
        {"?q", false, "/", "http://file/?q"},
        {"#f", false, "/", "http://file/#f"},
        {"x:y/z", false, "y/z", "x:y/z"},
        {"http://o/p/../q", false, "/q", "http://o/q"},
        {"a?q#f", false, "/a", "http://file/a?q#f"},
        {"a%zz", true, "", ""},
    };
    for (const Case& c : cases) {
        Uri root("http", "file");
        root.SetPath("/");
        if (c.throws) {
            EXPECT_THROW(root.Resolve(c.reference), UriSyntaxError) << c.reference;
            continue;
        }
        root.Resolve(c.reference);
        EXPECT_EQ(root.Path(), c.path) << c.reference;
        EXPECT_EQ(root.ToString(), c.written) << c.reference;
    }
}

}  // namespace
}  // namespace halcyne
