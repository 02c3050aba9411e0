#include "Extension.h"
#include "ExtensionRunner.h"
#include "ItemsTable.h"
#include "QueryContext.h"

#include <gtest/gtest.h>
#include <thrift/protocol/TProtocolException.h>
#include <thrift/transport/TBufferTransports.h>

namespace daemonary {
namespace {

QueryContext parsed(const std::string& text) {
    auto result = QueryContext::parse(text);
    if (const auto* error = std::get_if<QueryContextError>(&result)) {
        ADD_FAILURE() << text << ": " << error->message;
        return {};
    }
    return std::get<QueryContext>(result);
}

TEST(QueryContextTest, ReadsConstraintsInEveryShapeCoresWrite) {
    // osquery 5, with the used columns.
    const QueryContext current = parsed(
        R"({"constraints":[{"name":"category","list":[{"op":2,"expr":"System"}],"affinity":"TEXT"},)"
        R"({"name":"label","list":[{"op":65,"expr":"com.%"}],"affinity":"TEXT"}],)"
        R"("colsUsed":["label","category"],"colsUsedBitset":3})");
    EXPECT_EQ(current.equalTo("category"), (std::set<std::string, std::less<>>{"System"}));
    EXPECT_EQ(current.equalTo("label"), std::nullopt) << "LIKE is not equality";
    EXPECT_TRUE(current.uses("label", 1));
    EXPECT_FALSE(current.uses("signer", 9));

    // Before osquery 3: operators as text, an empty list as "".
    const QueryContext old =
        parsed(R"({"constraints":[{"name":"category","list":[{"op":"2","expr":"User"}]},)"
               R"({"name":"pid","list":""}]})");
    EXPECT_EQ(old.equalTo("category"), (std::set<std::string, std::less<>>{"User"}));
    EXPECT_TRUE(old.uses("signer", 9)) << "no used columns named: every column is read";

    // Only the bitset: bit i is column i.
    const QueryContext bits = parsed(R"({"constraints":[],"colsUsedBitset":5})");
    EXPECT_TRUE(bits.uses("a", 0));
    EXPECT_FALSE(bits.uses("b", 1));
    EXPECT_TRUE(bits.uses("c", 2));

    // count(*) reads no column at all.
    EXPECT_FALSE(parsed(R"({"constraints":[],"colsUsed":[]})").uses("signer", 9));
}

TEST(QueryContextTest, EqualitiesThatDisagreeMatchNothing) {
    const QueryContext context = parsed(R"({"constraints":[{"name":"category","list":[)"
                                        R"({"op":2,"expr":"System"},{"op":2,"expr":"User"}]}]})");
    EXPECT_EQ(context.equalTo("category"), (std::set<std::string, std::less<>>{}));
    EXPECT_TRUE(requestedScopes(context).empty());
    EXPECT_TRUE(requestedScopes(parsed(R"({"constraints":[{"name":"category","list":[)"
                                       R"({"op":2,"expr":"system"}]}]})"))
                    .empty())
        << "SQL's = is case-sensitive";
    EXPECT_EQ(requestedScopes(parsed(R"({"constraints":[]})")).size(), allScopes().size());
}

TEST(QueryContextTest, RefusesWhatIsNotAContext) {
    const std::string deep = std::string(200'000, '[') + std::string(200'000, ']');
    for (const std::string& text : {
             std::string("not json"),
             std::string("[]"),
             std::string(R"({"constraints":{}})"),
             std::string(R"({"constraints":[7]})"),
             std::string(R"({"constraints":[{"list":[]}]})"),
             std::string(R"({"constraints":[{"name":"x","list":{"op":2}}]})"),
             std::string(R"({"constraints":[{"name":"x","list":[{"op":2,"expr":5}]}]})"),
             std::string(R"({"constraints":[{"name":"x","list":[{"op":-1,"expr":"a"}]}]})"),
             std::string(R"({"constraints":[{"name":"x","list":[{"op":"2x","expr":"a"}]}]})"),
             std::string(
                 R"({"constraints":[{"name":"x","list":[{"op":"99999999999","expr":"a"}]}]})"),
             std::string(R"({"constraints":[],"colsUsed":[1]})"),
             std::string(R"({"constraints":[],"colsUsedBitset":-1})"),
             std::string(R"({"constraints":[],"x":)") + deep + "}",
             std::string(QueryContext::kMaxBytes + 1, ' '),
         }) {
        EXPECT_TRUE(std::holds_alternative<QueryContextError>(QueryContext::parse(text)))
            << text.substr(0, 80);
    }
}

TEST(ItemsTableRowTest, MapsListingKeysToColumns) {
    struct Case {
        const char* record;
        TableRow expected;
    };
    const Case cases[] = {
        {R"({"label":"a","status":"Active","pid":42,"type":"Launch Agent","path":"/p.plist",)"
         R"("executablePath":"/bin/a","disabled":true,"systemDefault":true,)"
         R"j("signer":"Developer ID: Org (TEAM1)","team":"TEAM1"})j",
         {{"category", "User"},
          {"label", "a"},
          {"status", "Active"},
          {"pid", "42"},
          {"type", "Launch Agent"},
          {"path", "/p.plist"},
          {"program", "/bin/a"},
          {"disabled", "1"},
          {"allowed_in_background", "1"},
          {"signer", "Developer ID: Org (TEAM1)"},
          {"team", "TEAM1"},
          {"system_default", "1"}}},
        // Absent keys: no value, or the state the key's absence means.
        {R"({"label":"b","allowedInBackground":false,"systemDefault":false})",
         {{"category", "User"},
          {"label", "b"},
          {"disabled", "0"},
          {"allowed_in_background", "0"},
          {"system_default", "0"}}},
        // Unknown (sfltool gave no answer): NULL, never "allowed".
        {R"({"label":"c","allowedInBackground":null})",
         {{"category", "User"}, {"label", "c"}, {"disabled", "0"}, {"system_default", "0"}}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ItemsTable::row(LaunchScope::user, nlohmann::ordered_json::parse(c.record)),
                  c.expected)
            << c.record;
    }
    nlohmann::ordered_json broken = {{"label", "bad\xff"}};
    EXPECT_EQ(ItemsTable::row(LaunchScope::user, broken).at("label"), "bad\xEF\xBF\xBD");
}

// A length prefix is read before its bytes arrive: a request announcing a
// 2 GB string or a billion map entries must be refused before memory is set
// aside for it, and bytes that are no strict message at all at once.
TEST(ExtensionProtocolTest, RefusesHugeLengthsBeforeAllocating) {
    using apache::thrift::protocol::TProtocolException;
    const std::string header("\x80\x01\x00\x01", 4);
    const std::string huge("\x7f\xff\xff\xff", 4);
    const std::string callName =
        std::string("\x00\x00\x00\x04", 4) + "call" + std::string("\x00\x00\x00\x01", 4);
    struct Case {
        std::string bytes;
        bool readArguments; // past the message header, into call()'s arguments
        TProtocolException::TProtocolExceptionType expected;
    };
    const Case cases[] = {
        {header + huge, false, TProtocolException::SIZE_LIMIT},
        {header + callName + "\x0b" + std::string("\x00\x01", 2) + huge, true,
         TProtocolException::SIZE_LIMIT},
        {header + callName + "\x0d" + std::string("\x00\x03", 2) + "\x0b\x0b" + huge, true,
         TProtocolException::SIZE_LIMIT},
        {"GET / HTTP/1.0\r\n\r\n", false, TProtocolException::BAD_VERSION},
    };
    for (const Case& c : cases) {
        auto buffer = std::make_shared<apache::thrift::transport::TMemoryBuffer>();
        buffer->write(reinterpret_cast<const std::uint8_t*>(c.bytes.data()),
                      static_cast<std::uint32_t>(c.bytes.size()));
        const auto protocol = ExtensionRunner::requestProtocolFactory()->getProtocol(buffer);
        try {
            std::string name;
            apache::thrift::protocol::TMessageType type{};
            std::int32_t sequence = 0;
            protocol->readMessageBegin(name, type, sequence);
            if (c.readArguments) {
                osquery_api::Extension_call_args arguments;
                arguments.read(protocol.get());
            }
            ADD_FAILURE() << "read without complaint";
        } catch (const TProtocolException& refused) {
            EXPECT_EQ(refused.getType(), c.expected) << refused.what();
        } catch (const std::exception& other) {
            ADD_FAILURE() << "not refused by the protocol: " << other.what();
        }
    }
}

} // namespace
} // namespace daemonary
