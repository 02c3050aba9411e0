#include "plist/PropertyList.h"

#include "PlistTestSupport.h"
#include "platform/FileSystem.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <plist/plist.h>

namespace daemonary {
namespace {

using test::BinaryPlistBuilder;
using test::nestedBinaryArrays;
using test::nestedXmlArrays;

std::string fixture(const std::string& name) {
    auto bytes = readFile(std::string(DAEMONARY_TEST_DATA_DIR) + "/plist/" + name);
    EXPECT_TRUE(bytes) << name;
    return bytes.value_or("");
}

// The library's own writer, as an independent source of binary lists.
std::string toBinary(const std::string& xml) {
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &root);
    EXPECT_NE(root, nullptr);
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    plist_free(root);
    std::string binary(bytes, length);
    std::free(bytes);
    return binary;
}

TEST(PropertyListTest, ReadsEveryValueKindFromXml) {
    const auto value = parsePropertyList(fixture("all-types.plist"));
    ASSERT_TRUE(value);
    const PlistDictionary* root = value->dictionary();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->size(), 11u);
    EXPECT_EQ(root->at("Label"), PlistValue(std::string("com.example.types")));
    EXPECT_EQ(root->at("Count"), PlistValue(std::int64_t{42}));
    EXPECT_EQ(root->at("Negative"), PlistValue(std::int64_t{-7}));
    EXPECT_EQ(root->at("Ratio"), PlistValue(0.25));
    EXPECT_EQ(root->at("Enabled"), PlistValue(true));
    EXPECT_EQ(root->at("Disabled"), PlistValue(false));
    EXPECT_EQ(root->at("Created"), PlistValue(PlistDate{731311628}));
    EXPECT_EQ(root->at("Blob"), PlistValue(PlistData{"\xde\xad\xbe\xef\x01\x02\x03"}));
    EXPECT_EQ(root->at("Escaped"), PlistValue(std::string("a <b> & \"c\" \xc3\xa9")));
    const PlistArray* items = root->at("Items").array();
    ASSERT_NE(items, nullptr);
    ASSERT_EQ(items->size(), 3u);
    EXPECT_EQ((*items)[0], PlistValue(std::string("one")));
    EXPECT_EQ((*items)[1], PlistValue(PlistArray{}));
    EXPECT_EQ((*items)[2], PlistValue(PlistDictionary{}));
    EXPECT_EQ(root->at("Nested").dictionary()->at("Inner"), PlistValue(std::string("<not a tag>")));
}

TEST(PropertyListTest, BinaryListReadsLikeItsXmlForm) {
    for (const char* name : {"all-types.plist", "launch-agent.plist", "top-level-array.plist"}) {
        const auto xml = fixture(name);
        const auto binary = toBinary(xml);
        ASSERT_TRUE(binary.starts_with("bplist00"));
        const auto fromXml = parsePropertyList(xml);
        const auto fromBinary = parsePropertyList(binary);
        ASSERT_TRUE(fromXml) << name;
        ASSERT_TRUE(fromBinary) << name;
        EXPECT_EQ(*fromXml, *fromBinary) << name;
    }
}

TEST(PropertyListTest, RejectsWhatIsNotAPropertyList) {
    EXPECT_FALSE(parsePropertyList(""));
    EXPECT_FALSE(parsePropertyList(fixture("not-a-plist.plist")));
    EXPECT_FALSE(parsePropertyList(fixture("truncated.plist")));
    EXPECT_FALSE(parsePropertyList("bplist00"));
    const auto binary = toBinary(fixture("launch-agent.plist"));
    EXPECT_FALSE(parsePropertyList(binary.substr(0, binary.size() - 1)));
    EXPECT_FALSE(parsePropertyList(binary.substr(0, binary.size() / 2)));
}

TEST(PropertyListTest, DeepXmlNestingIsUnparsableNotACrash) {
    EXPECT_FALSE(parsePropertyList(nestedXmlArrays(200'000)));
    EXPECT_TRUE(parsePropertyList(nestedXmlArrays(kMaxPlistDepth)));
    EXPECT_FALSE(parsePropertyList(nestedXmlArrays(kMaxPlistDepth + 1)));
}

TEST(PropertyListTest, XmlClosingTagsTheParserSkipsDoNotHideDepth) {
    // Closing tags inside comments, CDATA, processing instructions and
    // attribute values close nothing for the parser, so they must not lower
    // the depth that the check sees either.
    for (const std::string hidden :
         {"<!-- </array> -->", "<![CDATA[</array>]]>", "<? </array> ?>",
          "<!DOCTYPE x [ </array> ]>", "<string a=\"</array>\">x</string>"}) {
        std::string xml = "<plist version=\"1.0\">";
        for (int i = 0; i < 300; ++i) {
            xml += "<array>" + hidden;
        }
        for (int i = 0; i < 300; ++i) {
            xml += "</array>";
        }
        xml += "</plist>";
        EXPECT_FALSE(parsePropertyList(xml)) << hidden;
    }
}

// Shapes met in definitions from public projects: comments before the
// declaration or inside arrays (with quotes, backticks, "--"), single-quoted
// declarations, a DOCTYPE with an internal subset, processing instructions,
// CDATA holding markup, CRLF line ends.
TEST(PropertyListTest, RealWorldDefinitionShapesParse) {
    struct Case {
        const char* file;
        const char* label;
        const char* firstArgument; // Program, else ProgramArguments[0]
    };
    const Case cases[] = {
        {"comment-before-declaration.plist", "com.example.shape.server",
         "/usr/local/bin/shape-server"},
        {"comment-in-arguments.plist", "com.example.shape.everyday", "sh"},
        {"comment-with-dashes.plist", "com.example.shape.sync", "/opt/sync/bin/sync-agent"},
        {"single-quoted-declaration.plist", "com.example.shape.templated",
         "/usr/local/bin/templated"},
        {"internal-subset.plist", "com.example.shape.subset",
         "/Library/Application Support/Northwind/subset"},
        {"processing-instruction.plist", "com.example.shape.styled", "/usr/libexec/styled"},
        {"cdata-arguments.plist", "com.example.shape.cdata", "/bin/sh"},
    };
    for (const Case& c : cases) {
        const auto value = parsePropertyList(fixture(std::string("shapes/") + c.file));
        ASSERT_TRUE(value) << c.file;
        const PlistDictionary* root = value->dictionary();
        ASSERT_NE(root, nullptr) << c.file;
        EXPECT_EQ(root->at("Label"), PlistValue(std::string(c.label))) << c.file;
        const PlistValue* first = nullptr;
        if (const auto program = root->find("Program"); program != root->end()) {
            first = &program->second;
        } else {
            const PlistArray* arguments = root->at("ProgramArguments").array();
            ASSERT_NE(arguments, nullptr) << c.file;
            ASSERT_FALSE(arguments->empty()) << c.file;
            first = &arguments->front();
        }
        EXPECT_EQ(*first, PlistValue(std::string(c.firstArgument))) << c.file;
    }
    // Markup inside CDATA is text, quotes and all.
    const auto cdata = parsePropertyList(fixture("shapes/cdata-arguments.plist"));
    ASSERT_TRUE(cdata);
    EXPECT_EQ((*cdata->dictionary()->at("ProgramArguments").array())[2],
              PlistValue(std::string("echo \"<dict>\" > \"$HOME/shape.log\" && echo '<!--'")));
}

// Where the reader already takes files as macOS does; the byte-order mark
// handling and the nesting guard must leave these alone.
TEST(PropertyListTest, SurroundingsMacOSAcceptsOrRejects) {
    const std::string body = "<plist version=\"1.0\"><dict><key>Label</key><string>x</string>"
                             "</dict></plist>";
    const std::string declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    struct Case {
        const char* name;
        std::string xml;
        bool accepted;
    };
    const Case cases[] = {
        {"leading white space", " \t\r\n" + declaration + "\n" + body, true},
        {"data after the end", declaration + body + "\n</dict> trailing words <dict>", true},
        {"text between elements",
         declaration + "<plist version=\"1.0\"><dict>words<key>Label</key><string>x</string>"
                       "</dict></plist>",
         false},
        {"a comment never closed", declaration + "<!-- " + body, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parsePropertyList(c.xml).has_value(), c.accepted) << c.name;
        EXPECT_EQ(parsePropertyList("\xEF\xBB\xBF" + c.xml).has_value(), c.accepted) << c.name;
    }
}

TEST(PropertyListTest, ByteOrderMarkedTextReadsLikeUtf8) {
    // Non-ASCII in the BMP and beyond it (a surrogate pair in UTF-16).
    const std::string body = "<plist version=\"1.0\"><dict><key>Label</key>"
                             "<string>com.example.caf\xC3\xA9.\xF0\x9F\x9A\x80</string></dict>"
                             "</plist>\n";
    const std::string utf8 = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + body;
    const auto expected = parsePropertyList(utf8);
    ASSERT_TRUE(expected);
    // Editors that write UTF-16 or UTF-32 also say so in the declaration.
    const std::string utf16 = "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n" + body;
    const std::string utf32 = "<?xml version=\"1.0\" encoding=\"UTF-32\"?>\n" + body;
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"UTF-8 with a mark", "\xEF\xBB\xBF" + utf8},
        {"UTF-8 with a mark and a comment first", "\xEF\xBB\xBF<!-- saved by an editor -->" + utf8},
        {"UTF-16 LE", test::encodeUnicode(utf16, 2, false)},
        {"UTF-16 BE", test::encodeUnicode(utf16, 2, true)},
        {"UTF-16 LE, declared UTF-8", test::encodeUnicode(utf8, 2, false)},
        {"UTF-32 LE", test::encodeUnicode(utf32, 4, false)},
        {"UTF-32 BE", test::encodeUnicode(utf32, 4, true)},
    };
    for (const Case& c : cases) {
        const auto value = parsePropertyList(c.bytes);
        ASSERT_TRUE(value) << c.name;
        EXPECT_EQ(*value, *expected) << c.name;
    }
}

TEST(PropertyListTest, MalformedByteOrderMarkedTextIsUnparsable) {
    const std::string xml = "<plist version=\"1.0\"><string>x</string></plist>";
    const std::string littleEndian = test::encodeUnicode(xml, 2, false);
    const std::string bigEndian = test::encodeUnicode(xml, 2, true);
    ASSERT_TRUE(parsePropertyList(littleEndian));
    ASSERT_TRUE(parsePropertyList(bigEndian));
    const std::string highSurrogate("\x00\xD8", 2); // little-endian U+D800
    const std::string lowSurrogate("\x00\xDC", 2);  // little-endian U+DC00
    const std::string inString = "<string>";
    const std::size_t stringAt = 2 + 2 * (xml.find(inString) + inString.size());
    const auto insertAt = [&](std::string bytes, const std::string& units) {
        return bytes.insert(stringAt, units);
    };
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"UTF-16 with an odd byte count", littleEndian + "<"},
        {"UTF-16 BE with an odd byte count", bigEndian.substr(0, bigEndian.size() - 1)},
        {"a lone high surrogate", insertAt(littleEndian, highSurrogate)},
        {"a lone low surrogate", insertAt(littleEndian, lowSurrogate)},
        {"two high surrogates", insertAt(littleEndian, highSurrogate + highSurrogate)},
        {"a high surrogate at the end", littleEndian + highSurrogate},
        {"UTF-32 with a partial unit", test::encodeUnicode(xml, 4, false) + std::string(2, '\0')},
        {"UTF-32 beyond U+10FFFF",
         test::encodeUnicode(xml, 4, true) + std::string("\x00\x11\x00\x00", 4)},
        {"UTF-32 holding a surrogate",
         test::encodeUnicode(xml, 4, true) + std::string("\x00\x00\xD8\x00", 4)},
        {"a UTF-8 mark alone", "\xEF\xBB\xBF"},
        {"a UTF-16 mark alone", "\xFF\xFE"},
        {"a UTF-32 mark alone", std::string("\x00\x00\xFE\xFF", 4)},
        {"a marked binary list", "\xEF\xBB\xBF" + toBinary(fixture("launch-agent.plist"))},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(parsePropertyList(c.bytes)) << c.name;
    }
}

// Markup inside comments, CDATA, processing instructions and the DOCTYPE
// builds nothing, so it must not count towards the nesting limit; nor may a
// quote in a comment stretch it over the real elements after it.
TEST(PropertyListTest, NestingGuardSkipsWhatTheParserSkips) {
    const auto siblings = [](std::size_t count, const std::string& between) {
        std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">"
                          "<dict><key>Items</key><array>";
        for (std::size_t i = 0; i < count; ++i) {
            xml += between + "<dict><key>k</key><string>v</string></dict>";
        }
        return xml + "</array></dict></plist>\n";
    };
    const auto repeated = [](const std::string& text, std::size_t count) {
        std::string out;
        for (std::size_t i = 0; i < count; ++i) {
            out += text;
        }
        return out;
    };
    const std::string manyEntities =
        "<!DOCTYPE plist [" + repeated("<!ENTITY e \"<dict>\">", 300) + "]>";
    struct Case {
        const char* name;
        std::string xml;
    };
    const Case cases[] = {
        {"a quote in a comment before them", "<!-- the \"daemon -->" + siblings(300, "")},
        {"a quote in a comment before each", siblings(300, "<!-- \" -->")},
        {"an opening in a comment before each", siblings(300, "<!-- <dict> -->")},
        {"dashes in comments", siblings(300, "<!-- run --verbose <array> -- <dict> --->")},
        {"an opening in a processing instruction before each",
         siblings(300, "<?note \"<dict>\" <array ?>")},
        {"openings in a CDATA string", "<plist version=\"1.0\"><string><![CDATA[\"" +
                                           repeated("<dict>", 300) + "]]></string></plist>"},
        {"openings in an internal subset", manyEntities + siblings(300, "")},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(parsePropertyList(c.xml)) << c.name;
    }
    const auto value = parsePropertyList(siblings(300, "<!-- <dict> \" -->"));
    ASSERT_TRUE(value);
    EXPECT_EQ(value->dictionary()->at("Items").array()->size(), 300u);

    // What follows the end of a region counts again, quotes or not.
    const std::string deep = nestedXmlArrays(kMaxPlistDepth + 1);
    const std::size_t plist = deep.find("<plist");
    for (const std::string region : {"<!-- \" -->", "<!-- <!-- -->", "<?pi ?>", "<!DOCTYPE plist>",
                                     "<!DOCTYPE x [ \"]>\" ]>"}) {
        std::string xml = deep;
        xml.insert(plist, region);
        EXPECT_FALSE(parsePropertyList(xml)) << region;
    }
    std::string afterCdata = deep;
    afterCdata.insert(deep.find("<array>") + 7, "<string><![CDATA[\"]]></string>");
    EXPECT_FALSE(parsePropertyList(afterCdata));
}

TEST(PropertyListTest, ManySiblingContainersAreFine) {
    std::string xml = "<plist version=\"1.0\"><array>";
    for (int i = 0; i < 5000; ++i) {
        xml += "<dict><key>k</key><array><string>v</string></array></dict><array/>";
    }
    xml += "</array></plist>";
    const auto value = parsePropertyList(xml);
    ASSERT_TRUE(value);
    EXPECT_EQ(value->array()->size(), 10000u);
}

TEST(PropertyListTest, DeepBinaryNestingIsUnparsableNotACrash) {
    const auto deep = nestedBinaryArrays(200'000);
    EXPECT_GT(deep.size(), 1'500'000u);
    EXPECT_FALSE(parsePropertyList(deep));
    EXPECT_TRUE(parsePropertyList(nestedBinaryArrays(kMaxPlistDepth)));
    EXPECT_FALSE(parsePropertyList(nestedBinaryArrays(kMaxPlistDepth + 1)));
}

TEST(PropertyListTest, MalformedBinaryStructuresAreRejected) {
    {
        BinaryPlistBuilder cycle; // an array holding itself
        cycle.addArray({0});
        EXPECT_FALSE(parsePropertyList(cycle.build(0)));
    }
    {
        BinaryPlistBuilder longCycle;
        longCycle.addArray({1});
        longCycle.addDictionary({2}, {0});
        longCycle.addString("key");
        EXPECT_FALSE(parsePropertyList(longCycle.build(0)));
    }
    {
        // The library aborts on a key that is not a string.
        BinaryPlistBuilder numericKey;
        numericKey.addDictionary({1}, {2});
        numericKey.addInteger(7);
        numericKey.addString("value");
        EXPECT_FALSE(parsePropertyList(numericKey.build(0)));

        // ... and on a key holding a NUL character.
        BinaryPlistBuilder nulKey;
        nulKey.addDictionary({1}, {2});
        nulKey.addString(std::string("a\0b", 3));
        nulKey.addString("value");
        EXPECT_FALSE(parsePropertyList(nulKey.build(0)));

        BinaryPlistBuilder utf16NulKey;
        utf16NulKey.addDictionary({1}, {2});
        utf16NulKey.add(std::string("\x62\x00\x61\x00\x00", 5));
        utf16NulKey.addString("value");
        EXPECT_FALSE(parsePropertyList(utf16NulKey.build(0)));
    }
    {
        BinaryPlistBuilder dangling;
        dangling.addArray({5});
        EXPECT_FALSE(parsePropertyList(dangling.build(0)));
    }
    {
        BinaryPlistBuilder topOutOfRange;
        topOutOfRange.addString("x");
        EXPECT_FALSE(parsePropertyList(topOutOfRange.build(3)));
    }
    {
        BinaryPlistBuilder overlong; // a string claiming more bytes than exist
        overlong.add(std::string("\x5f\x12\x7f\xff\xff\xff", 6) + "abc");
        EXPECT_FALSE(parsePropertyList(overlong.build(0)));
    }
    {
        // Each array holds the next one twice: 40 levels are 2^40 nodes
        // once shared objects are expanded.
        BinaryPlistBuilder bomb;
        for (std::uint32_t i = 0; i < 40; ++i) {
            bomb.addArray({i + 1, i + 1});
        }
        bomb.addString("leaf");
        EXPECT_FALSE(parsePropertyList(bomb.build(0)));
    }
    {
        BinaryPlistBuilder shared; // modest sharing is normal and accepted
        const auto leaf = shared.addString("same");
        const auto inner = shared.addArray({leaf, leaf, leaf});
        const auto top = shared.addArray({inner, inner});
        const auto value = parsePropertyList(shared.build(top));
        ASSERT_TRUE(value);
        EXPECT_EQ(value->array()->size(), 2u);
        EXPECT_EQ((*value->array())[1].array()->size(), 3u);
    }
    {
        auto valid = nestedBinaryArrays(3);
        valid[valid.size() - 1] = '\x7f'; // offset table past the end
        EXPECT_FALSE(parsePropertyList(valid));
    }
}

TEST(PropertyListTest, Descriptions) {
    EXPECT_EQ(PlistValue(std::string("text")).description(), "text");
    EXPECT_EQ(PlistValue(std::int64_t{-12}).description(), "-12");
    EXPECT_EQ(PlistValue(0.25).description(), "0.25");
    EXPECT_EQ(PlistValue(3.0).description(), "3");
    EXPECT_EQ(PlistValue(0.1).description(), "0.1");
    EXPECT_EQ(PlistValue(true).description(), "true");
    EXPECT_EQ(PlistValue(false).description(), "false");
    EXPECT_EQ(PlistValue(PlistDate{731311628}).description(), "2024-03-05 06:07:08 +0000");
    EXPECT_EQ(PlistValue(PlistDate{0}).description(), "2001-01-01 00:00:00 +0000");
    EXPECT_EQ(PlistValue(PlistDate{-0.5}).description(), "2000-12-31 23:59:59 +0000");
    EXPECT_EQ(PlistValue(PlistData{"\xde\xad\xbe\xef\x01\x02\x03"}).description(),
              "<deadbeef 010203>");
    EXPECT_EQ(PlistValue(PlistData{}).description(), "<>");
    EXPECT_EQ(PlistValue(PlistArray{PlistValue(true), PlistValue(false)}).description(),
              "(2 items)");
    EXPECT_EQ(PlistValue(PlistDictionary{}).description(), "{0 items}");
    EXPECT_EQ(PlistValue(PlistArray{PlistValue(true)}).description(), "(1 item)");
}

TEST(PropertyListTest, LargeAndNegativeIntegersSurvive) {
    const auto value = parsePropertyList(
        "<plist version=\"1.0\"><array><integer>-9223372036854775808</integer>"
        "<integer>9223372036854775807</integer><integer>-1</integer></array></plist>");
    ASSERT_TRUE(value);
    const auto& array = *value->array();
    EXPECT_EQ(array[0], PlistValue(std::numeric_limits<std::int64_t>::min()));
    EXPECT_EQ(array[1], PlistValue(std::numeric_limits<std::int64_t>::max()));
    EXPECT_EQ(array[2], PlistValue(std::int64_t{-1}));
}

} // namespace
} // namespace daemonary
