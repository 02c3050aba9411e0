#include "text/JsonText.h"

#include <gtest/gtest.h>

namespace daemonary {
namespace {

// CSI (U+009B) starts an escape sequence on terminals that take C1 controls
// in UTF-8; U+202E shows what follows reversed. Neither may reach a terminal
// raw from a JSON document, which must still read back to the same text.
TEST(JsonTextTest, EscapesC1BidiAndDeleteAndStillReadsBack) {
    const std::string label = "com.evil\xC2\x9B"
                              "2J\xE2\x80\xAEgpj.exe\xE2\x81\xA6x\xE2\x81\xA9\x7F\x1B"
                              "\xC2\xA0\xE2\x80\xAF\xC3\xA9";
    const nlohmann::ordered_json document = {{"label", label}, {label, {1, label}}};
    for (const int indent : {-1, 2}) {
        const std::string text = jsonText(document, indent);
        for (const std::string_view raw :
             {"\xC2\x9B", "\xE2\x80\xAE", "\xE2\x81\xA6", "\xE2\x81\xA9", "\x7F", "\x1B"}) {
            EXPECT_EQ(text.find(raw), std::string::npos) << text;
        }
        for (const std::string_view escape :
             {"\\u009b", "\\u202e", "\\u2066", "\\u2069", "\\u007f", "\\u001b"}) {
            EXPECT_NE(text.find(escape), std::string::npos) << escape;
        }
        // Printable neighbours (no-break space, U+202F, é) stay as they are.
        EXPECT_NE(text.find("\xC2\xA0\xE2\x80\xAF\xC3\xA9"), std::string::npos);
        EXPECT_EQ(nlohmann::ordered_json::parse(text), document);
    }
    // Bytes that are not UTF-8 become U+FFFD, as the library writes them.
    EXPECT_EQ(jsonText(nlohmann::json("a\xFF")), "\"a\xEF\xBF\xBD\"");
}

} // namespace
} // namespace daemonary
