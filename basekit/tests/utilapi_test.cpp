#include "basekit/utilapi.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

TEST(UtilAPI, MD5MatchesTheReferenceVectors) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [text, digest] : vectors) EXPECT_EQ(CUtilAPI::MD5(std::string(text)), digest) << text;
    EXPECT_EQ(CUtilAPI::MD5(nullptr, 0), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(UtilAPI, MD5AgreesWithMd5sumAroundBlockBoundaries) {
    if (std::system("command -v md5sum >/dev/null 2>&1") != 0) GTEST_SKIP() << "md5sum not installed";
    char dir[] = "/tmp/basekit_md5_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::mt19937 rng(7);
    std::vector<std::size_t> sizes = {1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000, 1 << 20};
    std::vector<std::string> expected;
    std::string names;
    for (std::size_t size : sizes) {
        std::string data(size, '\0');
        for (char& c : data) c = static_cast<char>(rng() % 4 == 0 ? 0 : rng());  // NUL bytes included
        std::string path = std::string(dir) + "/f" + std::to_string(size);
        std::ofstream(path, std::ios::binary) << data;
        expected.push_back(CUtilAPI::MD5(data));
        names += " '" + path + "'";
    }
    FILE* p = popen(("md5sum" + names).c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[512];
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        ASSERT_NE(fgets(line, sizeof line, p), nullptr);
        EXPECT_EQ(std::string(line, 32), expected[i]) << "size " << sizes[i];
    }
    pclose(p);
    EXPECT_EQ(std::system(("rm -rf '" + std::string(dir) + "'").c_str()), 0);
}

TEST(UtilAPI, XMLSCEncodeEscapesAndAttributesDecode) {
    const std::string text = "a&b<c>d\"e'f &amp;";
    EXPECT_EQ(CUtilAPI::XMLSCEncode(text), "a&amp;b&lt;c&gt;d&quot;e&apos;f &amp;amp;");
    std::string value;
    ASSERT_NE(CUtilAPI::XMLGetAttribute("<x v=\"" + CUtilAPI::XMLSCEncode(text) + "\"/>", "v", value), 0);
    EXPECT_EQ(value, text);
}

TEST(UtilAPI, XMLGetAttributeReadsTheFirstElement) {
    std::string v = "untouched";
    const std::string vote = "<?xml version=\"1.0\"?><!-- id=\"9\" --><vote xid=\"1\" title='id=\"5\"' id = \"12\" "
                             "name='a b' empty=\"\" flag><item id=\"99\"/></vote>";
    EXPECT_NE(CUtilAPI::XMLGetAttribute(vote, "id", v), 0);
    EXPECT_EQ(v, "12");
    EXPECT_NE(CUtilAPI::XMLGetAttribute(vote, "name", v), 0);
    EXPECT_EQ(v, "a b");
    EXPECT_NE(CUtilAPI::XMLGetAttribute(vote, "empty", v), 0);
    EXPECT_EQ(v, "");
    v = "untouched";
    EXPECT_EQ(CUtilAPI::XMLGetAttribute(vote, "flag", v), 0);
    EXPECT_EQ(CUtilAPI::XMLGetAttribute(vote, "missing", v), 0);
    EXPECT_EQ(CUtilAPI::XMLGetAttribute("<a><b id=\"1\"/></a>", "id", v), 0);  // not on the first element
    EXPECT_EQ(v, "untouched");

    EXPECT_NE(CUtilAPI::XMLGetAttribute("<a t=\"&lt;&#65;&#x42;&bogus;&#0;&#xD800;&#x110000;&\"/>", "t", v), 0);
    EXPECT_EQ(v, "<AB&bogus;&#0;&#xD800;&#x110000;&");
    EXPECT_NE(CUtilAPI::XMLGetAttribute("<a t=\"&#x20AC;\">", "t", v), 0);
    EXPECT_EQ(v, "\xE2\x82\xAC");
}

TEST(UtilAPI, XMLGetElementReturnsTheWholeElement) {
    std::string e;
    const std::string msg = "<msg><!-- <ems>no</ems> --><r><![CDATA[<ems>no</ems>]]></r><emsx>no</emsx>"
                            "<ems lang=\"en\"><![CDATA[<b>hi</b></ems>]]></ems></msg>";
    ASSERT_NE(CUtilAPI::XMLGetElement(msg, "ems", e), 0);
    EXPECT_EQ(e, "<ems lang=\"en\"><![CDATA[<b>hi</b></ems>]]></ems>");
    std::string lang;
    EXPECT_NE(CUtilAPI::XMLGetAttribute(e, "lang", lang), 0);
    EXPECT_EQ(lang, "en");

    EXPECT_NE(CUtilAPI::XMLGetElement("<x><ems a=\"/>\"/></x>", "ems", e), 0);
    EXPECT_EQ(e, "<ems a=\"/>\"/>");
    EXPECT_NE(CUtilAPI::XMLGetElement("<a><a/><a>x</a></a><a>y</a>", "a", e), 0);
    EXPECT_EQ(e, "<a><a/><a>x</a></a>");
    e = "untouched";
    EXPECT_EQ(CUtilAPI::XMLGetElement("<ems>open", "ems", e), 0);
    EXPECT_EQ(CUtilAPI::XMLGetElement("<ems>", "", e), 0);
    EXPECT_EQ(e, "untouched");
}

TEST(UtilAPI, XMLHelpersSurviveTruncatedInput) {
    const std::string doc = "<?xml version=\"1.0\"?><!DOCTYPE x><root a='1' b=\"&amp;&#x41;\"><!-- c -->"
                            "<ems lang=\"zh\"><![CDATA[x]]></ems><p/></root>";
    std::string v;
    for (std::size_t n = 0; n <= doc.size(); ++n) {
        // Copies on the heap, so that the address sanitizer sees any read past the end.
        std::string cut(doc.data(), n);
        CUtilAPI::XMLGetAttribute(cut, "b", v);
        CUtilAPI::XMLGetAttribute(cut, "a", v);
        CUtilAPI::XMLGetElement(cut, "ems", v);
        CUtilAPI::XMLGetElement(cut, "p", v);
    }
    EXPECT_NE(CUtilAPI::XMLGetElement(doc, "p", v), 0);
    EXPECT_EQ(v, "<p/>");
}

TEST(UtilAPI, UnLegalXMLUTF82SpaceReplacesEveryBadByte) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBD\t\n\r\x7F", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBD\t\n\r\x7F"},
        {std::string("\x01\x08\x0B\x0C\x1F\0z", 7), "      z"},
        {"\xC0\xAF|\xC1\xBF", "  |  "},              // overlong two-byte forms
        {"\xE0\x80\xAF|\xF0\x80\x80\xAF", "   |    "},  // overlong three- and four-byte forms
        {"\xED\xA0\x80\xED\xBF\xBF", "      "},        // surrogates
        {"\xF4\x90\x80\x80|\xF5\x80\x80\x80|\xFF", "    |    | "},
        {"\x80\xBF", "  "},                                // stray continuation bytes
        {"ab\xE2\x82", "ab  "},                            // cut off at the end
        {"\xE2\x82" "A\xF0\x9F\x98", "  A   "},
        {"\xEF\xBF\xBE\xEF\xBF\xBF", "      "},            // U+FFFE, U+FFFF
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(CUtilAPI::UnLegalXMLUTF82Space(in), out);

    std::mt19937 rng(11);
    for (int i = 0; i < 2000; ++i) {
        std::string in(rng() % 24, '\0');
        for (char& c : in) c = static_cast<char>(rng());
        std::string out = CUtilAPI::UnLegalXMLUTF82Space(in);
        ASSERT_EQ(out.size(), in.size());
        for (std::size_t k = 0; k < in.size(); ++k) ASSERT_TRUE(out[k] == in[k] || out[k] == ' ');
        ASSERT_EQ(CUtilAPI::UnLegalXMLUTF82Space(out), out);  // the result is clean
    }
}
