#include "discovery/LabelMatcher.h"

#include "discovery/LaunchServiceManager.h"
#include "discovery/LaunchctlTable.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace daemonary {
namespace {

using namespace std::string_literals;
using ::testing::ElementsAre;
using ::testing::Optional;

constexpr std::nullopt_t none = std::nullopt;

std::vector<std::string_view> views(const std::vector<std::string>& texts) {
    return {texts.begin(), texts.end()};
}

TEST(LabelMatcherTest, TakesTheFirstTextInOrderNotTheClosestMatch) {
    const std::vector<std::string> texts = {
        "com.apple.other",
        "application.com.example.sync.1234",
        "com.example.sync", // an equal text later on still loses to the first container
        "com.example.sync.helper",
    };
    const std::vector<std::string> labels = {"com.example.sync", "sync.helper", "missing", "com",
                                             "Com.example.sync"};
    EXPECT_THAT(LabelMatcher(views(labels)).firstContaining(views(texts)),
                ElementsAre(Optional(1u), Optional(3u), none, Optional(0u), none));
}

TEST(LabelMatcherTest, EmptyRepeatedAndNestedLabelsAndArbitraryBytes) {
    const std::vector<std::string> texts = {"", "xab\0cd"s, "\xff\xfe", "aaaa"};
    const std::vector<std::string> labels = {"",  "b\0c"s, "a",  "aa",       "aaaa", "aaaaa",
                                             "a", "\xfe",  "ab", "\xff\xfe", "cd",   ""};
    EXPECT_THAT(LabelMatcher(views(labels)).firstContaining(views(texts)),
                ElementsAre(Optional(0u), Optional(1u), Optional(1u), Optional(3u), Optional(3u),
                            none, Optional(1u), Optional(2u), Optional(1u), Optional(2u),
                            Optional(1u), Optional(0u)));
    // Without texts nothing contains anything, not even the empty label.
    EXPECT_THAT(LabelMatcher(views(labels)).firstContaining(std::vector<std::string_view>{}),
                ::testing::Each(none));
    EXPECT_TRUE(LabelMatcher({}).firstContaining(views(texts)).empty());
}

// Labels from a few letters and dots, so that containment, overlaps, shared
// prefixes and suffixes, repeats and empty labels are all common.
std::string randomLabel(std::mt19937& random, std::size_t maxLength) {
    static constexpr std::string_view kAlphabet = "aab.c";
    std::uniform_int_distribution<std::size_t> length(0, maxLength);
    std::uniform_int_distribution<std::size_t> letter(0, kAlphabet.size() - 1);
    std::string label(length(random), ' ');
    for (char& ch : label) {
        ch = kAlphabet[letter(random)];
    }
    return label;
}

TEST(LabelMatcherTest, AgreesWithThePlainDefinitionOnGeneratedTables) {
    for (std::uint32_t seed = 1; seed <= 400; ++seed) {
        std::mt19937 random(seed);
        const std::size_t maxLength = 1 + seed % 12;
        LaunchctlTable table;
        const std::size_t entries = seed % 40;
        for (std::size_t i = 0; i < entries; ++i) {
            // Repeated labels keep their first position in the table.
            table.insert(randomLabel(random, maxLength + 4), std::nullopt, 0);
        }
        std::vector<std::string> labels;
        const std::size_t count = 1 + seed % 60;
        for (std::size_t i = 0; i < count; ++i) {
            if (i > 0 && random() % 5 == 0) {
                labels.push_back(labels[random() % labels.size()]);
            } else if (!table.empty() && random() % 4 == 0) {
                // A piece of a table label, so that many labels do match.
                const std::string& source = table.entries()[random() % table.size()].label;
                const std::size_t from = source.empty() ? 0 : random() % source.size();
                labels.push_back(source.substr(from, random() % (source.size() - from + 1)));
            } else {
                labels.push_back(randomLabel(random, maxLength));
            }
        }
        const std::vector<std::string_view> labelViews = views(labels);
        ASSERT_EQ(LabelMatcher(labelViews).firstContaining(table),
                  findContainingLabels(labelViews, table))
            << "seed " << seed;
    }
}

TEST(LabelMatcherTest, AgreesWithThePlainDefinitionOnRealisticLabels) {
    std::mt19937 random(7);
    const std::vector<std::string> vendors = {"com.apple.", "com.example.", "org.sample.",
                                              "application.com.example."};
    const std::vector<std::string> words = {"sync",   "syncd",  "agent", "helper", "update",
                                            "Finder", "finder", "d",     "xpc",    "mdworker"};
    const auto makeLabel = [&] {
        std::string label = vendors[random() % vendors.size()];
        const std::size_t parts = 1 + random() % 3;
        for (std::size_t p = 0; p < parts; ++p) {
            label += (p > 0 ? "." : "") + words[random() % words.size()];
        }
        if (random() % 3 == 0) {
            label += "." + std::to_string(random() % 100);
        }
        return label;
    };
    LaunchctlTable table;
    for (int i = 0; i < 500; ++i) {
        table.insert(makeLabel(), std::nullopt, 0);
    }
    std::vector<std::string> labels;
    for (int i = 0; i < 1500; ++i) {
        labels.push_back(random() % 2 == 0 ? makeLabel() : words[random() % words.size()]);
    }
    const std::vector<std::string_view> labelViews = views(labels);
    EXPECT_EQ(LabelMatcher(labelViews).firstContaining(table),
              findContainingLabels(labelViews, table));
}

} // namespace
} // namespace daemonary
