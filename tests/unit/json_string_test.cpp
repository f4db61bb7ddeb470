// UTF-16 text as a JSON string in UTF-8.
#include <gtest/gtest.h>

#include <string>

#include "agent/json_string.h"
#include "agent/output_buffer.h"
#include "util/xalloc.h"

namespace {

std::string json_string_of(const std::u16string& text) {
    output_buffer out = {0, 0, nullptr};
    output_add_json_string(&out, text.c_str());
    std::string got(out.data, out.used);
    xfree(out.data);
    return got;
}

TEST(JsonStringTest, Utf16BecomesEscapedUtf8) {
    const struct {
        const char* what;
        std::u16string text;
        std::string json;
    } cases[] = {
        {"empty", u"", R"("")"},
        {"ASCII", u"NTFS", R"("NTFS")"},
        {"quote and backslash", u"\"C:\\\"", R"("\"C:\\\"")"},
        {"controls and DEL", u"\x01\t\n\x1f\x7f", R"("\u0001\u0009\u000a\u001f\u007f")"},
        {"space and tilde stay", u" ~", R"(" ~")"},
        {"two bytes", u"\u00e9\u07ff", "\"\xc3\xa9\xdf\xbf\""},
        {"three bytes", u"\u0800\u20ac\uffff", "\"\xe0\xa0\x80\xe2\x82\xac\xef\xbf\xbf\""},
        {"surrogate pairs: four bytes", u"\U0001F600\U0010FFFF",
         "\"\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf\""},
        {"high surrogate alone at the end", std::u16string(1, u'\xd83d'), "\"\xef\xbf\xbd\""},
        {"high surrogate before a letter", std::u16string{u'\xd83d', u'a'}, "\"\xef\xbf\xbd" "a\""},
        {"low surrogate alone", std::u16string{u'a', u'\xde00'}, "\"a\xef\xbf\xbd\""},
        {"two high surrogates, then a pair",
         std::u16string{u'\xd800', u'\xd83d', u'\xde00'}, "\"\xef\xbf\xbd\xf0\x9f\x98\x80\""},
    };
    for (const auto& c : cases) EXPECT_EQ(json_string_of(c.text), c.json) << c.what;
}

}  // namespace
