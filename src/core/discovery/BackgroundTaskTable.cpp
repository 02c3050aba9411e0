#include "discovery/BackgroundTaskTable.h"

#include "text/Text.h"
#include "text/TextParsing.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace daemonary {

namespace {

using Text = std::optional<std::string> BackgroundItem::*;

// Field names as either shape prints them ("Indentifier" is how one spells it).
constexpr std::pair<std::string_view, Text> kTextFields[] = {
    {"UUID", &BackgroundItem::uuid},
    {"Name", &BackgroundItem::name},
    {"Developer Name", &BackgroundItem::developerName},
    {"Team Identifier", &BackgroundItem::teamIdentifier},
    {"Identifier", &BackgroundItem::identifier},
    {"Indentifier", &BackgroundItem::identifier},
    {"URL", &BackgroundItem::url},
    {"Executable Path", &BackgroundItem::executablePath},
    {"Bundle Identifier", &BackgroundItem::bundleIdentifier},
    {"Parent Identifier", &BackgroundItem::parentIdentifier},
};

constexpr std::pair<std::string_view, std::uint64_t> kTypeWords[] = {
    {"app", BackgroundItem::kApp},
    {"login", BackgroundItem::kLoginItem},
    {"agent", BackgroundItem::kAgent},
    {"daemon", BackgroundItem::kDaemon},
    {"developer", BackgroundItem::kDeveloper},
    {"legacy", BackgroundItem::kLegacy},
    {"curated", 0x80000},
};

constexpr std::pair<std::string_view, std::uint64_t> kDispositionWords[] = {
    {"enabled", BackgroundItem::kEnabled},
    {"allowed", BackgroundItem::kAllowed},
    {"hidden", BackgroundItem::kHidden},
    {"notified", BackgroundItem::kNotified},
};

constexpr std::string_view kUidHeader = "Records for UID";

bool isAsciiSpace(char c) {
    return c == ' ' || c == '\t';
}

// "11", "0xb", "0x90010"; nothing for anything else or more than 64 bits.
std::optional<std::uint64_t> parseFlags(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 19) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        }
        if (digit < 0 || (base == 16 && value >> 60)) {
            return std::nullopt;
        }
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    return value;
}

// "words (value)": the words and the value, when the text ends in one.
std::pair<std::string_view, std::optional<std::uint64_t>> splitValue(std::string_view text) {
    if (!text.empty() && text.back() == ')') {
        const auto open = text.rfind('(');
        if (open != std::string_view::npos) {
            if (const auto value = parseFlags(text.substr(open + 1, text.size() - open - 2))) {
                return {trimWhitespace(text.substr(0, open)), value};
            }
        }
    }
    return {text, std::nullopt};
}

std::vector<std::string_view> wordsOf(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || isAsciiSpace(text[i]) || text[i] == ',' || text[i] == '[' ||
            text[i] == ']') {
            if (i > start) {
                words.push_back(text.substr(start, i - start));
            }
            start = i + 1;
        }
    }
    return words;
}

template <std::size_t N>
std::uint64_t flagsFromWords(const std::vector<std::string_view>& words,
                             const std::pair<std::string_view, std::uint64_t> (&table)[N]) {
    std::uint64_t flags = 0;
    for (const std::string_view word : words) {
        for (const auto& [name, flag] : table) {
            if (word == name) {
                flags |= flag;
            }
        }
    }
    return flags;
}

std::string hexText(std::uint64_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string digits;
    do {
        digits.insert(digits.begin(), kDigits[value % 16]);
        value /= 16;
    } while (value != 0);
    return "0x" + digits;
}

void setType(BackgroundItem& record, std::string_view value) {
    const auto [words, flags] = splitValue(value);
    const std::vector<std::string_view> parts = wordsOf(words);
    record.typeFlags = flags ? *flags : flagsFromWords(parts, kTypeWords);
    std::string text;
    for (const std::string_view part : parts) {
        text.append(text.empty() ? "" : " ").append(part);
    }
    if (text.empty() && !flags) {
        return;
    }
    record.type =
        (text.empty() ? std::string() : text + " ") + "(" + hexText(record.typeFlags) + ")";
}

void setDisposition(BackgroundItem& record, std::string_view value) {
    const auto [words, flags] = splitValue(value);
    const std::vector<std::string_view> parts = wordsOf(words);
    if (!flags && parts.empty()) {
        return;
    }
    // The words win over the value: published dumps print "visible" with the
    // hidden bit set and values that contradict their own words.
    std::uint64_t result = flags.value_or(0);
    for (const std::string_view word : parts) {
        for (const auto& [name, flag] : kDispositionWords) {
            if (word == name) {
                result |= flag;
            }
        }
        if (word == "disabled") {
            result &= ~BackgroundItem::kEnabled;
        } else if (word == "disallowed") {
            result &= ~BackgroundItem::kAllowed;
        } else if (word == "visible") {
            result &= ~BackgroundItem::kHidden;
        }
    }
    record.dispositionFlags = result;
}

// "Records for UID 501 : 1CAA…": the UID, nothing when it cannot be read.
std::optional<std::int64_t> uidOfHeader(std::string_view line) {
    line = trimWhitespace(line.substr(kUidHeader.size()));
    const bool negative = line.starts_with('-');
    if (negative) {
        line.remove_prefix(1);
    }
    std::size_t digits = 0;
    while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') {
        ++digits;
    }
    if (digits == 0 || digits > 12 ||
        (digits < line.size() && !isAsciiSpace(line[digits]) && line[digits] != ':')) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        value = value * 10 + (line[i] - '0');
    }
    return negative ? -value : value;
}

// "#1", "#12:", with nothing else on the line.
bool isRecordStart(std::string_view line) {
    if (line.size() < 2 || line.front() != '#') {
        return false;
    }
    line.remove_prefix(1);
    if (line.back() == ':') {
        line.remove_suffix(1);
    }
    if (line.empty()) {
        return false;
    }
    for (const char c : line) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

bool hasAnyField(const BackgroundItem& record) {
    if (record.type || record.dispositionFlags) {
        return true;
    }
    for (const auto& [name, member] : kTextFields) {
        if (record.*member) {
            return true;
        }
    }
    return false;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<std::string> percentDecoded(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            result.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) {
            return std::nullopt;
        }
        const int high = hexDigit(text[i + 1]);
        const int low = hexDigit(text[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        result.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return result;
}

// Components joined by single slashes, "." dropped; nothing when a component
// is "..".
std::optional<std::string> normalisedPath(std::string_view path) {
    std::string result;
    for (std::string_view rest = path; !rest.empty();) {
        const auto slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            return std::nullopt;
        }
        result.append("/").append(part);
    }
    return result.empty() ? std::string("/") : result;
}

} // namespace

std::vector<BackgroundItem> parseDumpBtm(std::string_view text) {
    std::vector<BackgroundItem> records;
    BackgroundItem current;
    std::optional<std::int64_t> uid;
    // The records of a UID block whose header cannot be read belong to no
    // one known: they are passed over rather than taken for everyone's.
    bool unreadableBlock = false;
    const auto finish = [&] {
        if (hasAnyField(current) && !unreadableBlock) {
            current.uid = uid;
            records.push_back(std::move(current));
        }
        current = BackgroundItem{};
    };
    std::string_view rest = text;
    std::string_view rawLine;
    while (records.size() < kMaxBackgroundRecords && nextLine(rest, rawLine)) {
        const std::string_view line = trimWhitespace(rawLine);
        if (line.empty() || line.front() == '=') {
            continue;
        }
        if (line.starts_with(kUidHeader)) {
            finish();
            uid = uidOfHeader(line);
            unreadableBlock = !uid;
            continue;
        }
        if (isRecordStart(line)) {
            finish();
            continue;
        }
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) {
            continue;
        }
        const std::string_view key = trimWhitespace(line.substr(0, colon));
        std::string_view value = trimWhitespace(line.substr(colon + 1));
        if (value == "(null)") {
            value = {};
        }
        if (key == "Type" || key == "Disposition") {
            const bool isType = key == "Type";
            if (isType ? current.type.has_value() : current.dispositionFlags.has_value()) {
                finish();
            }
            isType ? setType(current, value) : setDisposition(current, value);
            continue;
        }
        for (const auto& [name, member] : kTextFields) {
            if (key != name) {
                continue;
            }
            if (current.*member) {
                finish();
            }
            if (!value.empty()) {
                current.*member = std::string(value);
            }
            break;
        }
    }
    if (records.size() < kMaxBackgroundRecords) {
        finish();
    }
    return records;
}

std::optional<std::string> pathFromBtmUrl(std::string_view url,
                                          std::optional<std::string_view> parentPath) {
    std::string_view path = url;
    constexpr std::string_view kFileScheme = "file://";
    if (path.starts_with(kFileScheme)) {
        path.remove_prefix(kFileScheme.size());
        if (path.starts_with("localhost/")) {
            path.remove_prefix(std::string_view("localhost").size());
        }
        if (!path.starts_with('/')) {
            return std::nullopt; // another host's file
        }
    } else if (const auto colon = path.find(':');
               colon != std::string_view::npos &&
               path.substr(0, colon).find('/') == std::string_view::npos) {
        return std::nullopt; // another scheme
    }
    std::optional<std::string> decoded = percentDecoded(path);
    if (!decoded || decoded->empty() || decoded->find('\0') != std::string::npos) {
        return std::nullopt;
    }
    if (decoded->front() != '/') {
        if (!parentPath || parentPath->empty() || parentPath->front() != '/') {
            return std::nullopt;
        }
        decoded = std::string(*parentPath) + "/" + *decoded;
    }
    return normalisedPath(*decoded);
}

std::optional<std::string> pathFromBtmPath(std::string_view path,
                                           std::optional<std::string_view> parentPath) {
    if (path.starts_with("file:")) {
        return pathFromBtmUrl(path, parentPath);
    }
    if (path.empty() || path.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    if (path.front() == '/') {
        return normalisedPath(path);
    }
    if (!parentPath || parentPath->empty() || parentPath->front() != '/') {
        return std::nullopt;
    }
    return normalisedPath(std::string(*parentPath) + "/" + std::string(path));
}

std::string_view withoutNumberPrefix(std::string_view identifier) {
    std::size_t digits = 0;
    while (digits < identifier.size() && identifier[digits] >= '0' && identifier[digits] <= '9') {
        ++digits;
    }
    if (digits > 0 && digits + 1 < identifier.size() && identifier[digits] == '.') {
        identifier.remove_prefix(digits + 1);
    }
    return identifier;
}

std::string plainIdentifier(std::string_view identifier) {
    constexpr std::string_view kWord = "identifier";
    for (std::size_t at = identifier.find(kWord); at != std::string_view::npos;
         at = identifier.find(kWord, at + 1)) {
        const char before = at == 0 ? ' ' : identifier[at - 1];
        if (!isAsciiSpace(before) && before != '(') {
            continue;
        }
        std::string_view rest = identifier.substr(at + kWord.size());
        const std::size_t spaces = rest.find_first_not_of(" \t");
        if (spaces == 0 || spaces == std::string_view::npos || rest[spaces] != '"') {
            continue;
        }
        rest.remove_prefix(spaces + 1);
        const std::size_t close = rest.find('"');
        if (close != std::string_view::npos && close > 0) {
            return std::string(rest.substr(0, close));
        }
    }
    return std::string(withoutNumberPrefix(identifier));
}

namespace {

// Neither a scheme nor an absolute path: "Contents/Library/LoginItems/H.app".
bool isRelativeReference(std::string_view url) {
    if (url.empty() || url.front() == '/') {
        return false;
    }
    const auto colon = url.find(':');
    return colon == std::string_view::npos ||
           url.substr(0, colon).find('/') != std::string_view::npos;
}

std::string recordName(const BackgroundItem& record) {
    return displayableText(record.name.value_or(record.uuid.value_or("?")));
}

} // namespace

BackgroundTaskTable::BackgroundTaskTable(std::vector<BackgroundItem> printed, std::int64_t userUid)
    : m_known(true) {
    // 0: the user's own block, 1: the system's, 2: printed without a header.
    std::vector<BackgroundItem> records;
    std::vector<int> ranks;
    for (BackgroundItem& record : printed) {
        const int rank = !record.uid ? 2 : *record.uid == userUid ? 0 : *record.uid < 0 ? 1 : -1;
        if (rank >= 0) {
            records.push_back(std::move(record));
            ranks.push_back(rank);
        }
    }
    std::vector<std::size_t> byRank(records.size());
    for (std::size_t i = 0; i < byRank.size(); ++i) {
        byRank[i] = i;
    }
    std::stable_sort(byRank.begin(), byRank.end(),
                     [&ranks](std::size_t a, std::size_t b) { return ranks[a] < ranks[b]; });

    std::unordered_map<std::string, std::size_t> byIdentifier;
    for (const std::size_t i : byRank) {
        if (records[i].identifier) {
            byIdentifier.try_emplace(plainIdentifier(*records[i].identifier), i);
        }
    }
    std::vector<std::optional<std::string>> paths(records.size());
    std::vector<bool> refused(records.size(), false);
    const auto parentPathOf = [&](std::size_t i) -> std::optional<std::string_view> {
        if (!records[i].parentIdentifier) {
            return std::nullopt;
        }
        const auto parent = byIdentifier.find(plainIdentifier(*records[i].parentIdentifier));
        if (parent == byIdentifier.end() || parent->second == i || !paths[parent->second]) {
            return std::nullopt;
        }
        return *paths[parent->second];
    };
    // Absolute URLs first, then relative ones through their parents, a level
    // of nesting per pass.
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (records[i].url && !isRelativeReference(*records[i].url)) {
            paths[i] = pathFromBtmUrl(*records[i].url, std::nullopt);
            refused[i] = !paths[i];
        }
    }
    for (bool progress = true; progress;) {
        progress = false;
        for (std::size_t i = 0; i < records.size(); ++i) {
            if (!records[i].url || paths[i] || refused[i]) {
                continue;
            }
            if (const auto parentPath = parentPathOf(i)) {
                paths[i] = pathFromBtmUrl(*records[i].url, parentPath);
                refused[i] = !paths[i];
                progress = true;
            }
        }
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        // Without its parent a relative URL stays unknown, unless it could
        // never be resolved: one that climbs is refused all the same.
        if (records[i].url && !paths[i] && !refused[i]) {
            refused[i] = !pathFromBtmUrl(*records[i].url, std::string_view("/"));
        }
    }

    std::vector<std::size_t> positions(records.size(), 0);
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (refused[i]) {
            m_problems.push_back("sfltool: refused the URL " + displayableText(*records[i].url) +
                                 " of background item " + recordName(records[i]));
        }
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (refused[i]) {
            continue;
        }
        BackgroundItem record = records[i];
        if (record.executablePath) {
            const std::optional<std::string_view> parentPath = parentPathOf(i);
            std::optional<std::string> program =
                pathFromBtmPath(*record.executablePath, parentPath);
            if (!program && (parentPath || !pathFromBtmPath(*record.executablePath, "/"))) {
                m_problems.push_back("sfltool: refused the executable path " +
                                     displayableText(*record.executablePath) +
                                     " of background item " + recordName(record));
            }
            record.executablePath = std::move(program);
        }
        record.url = paths[i];
        positions[i] = m_records.size();
        m_records.push_back(std::move(record));
    }
    for (const std::size_t i : byRank) {
        if (refused[i]) {
            continue;
        }
        const std::size_t position = positions[i];
        const BackgroundItem& record = m_records[position];
        if (record.identifier) {
            m_byIdentifier.try_emplace(plainIdentifier(*record.identifier), position);
        }
        if (record.isJob()) {
            if (record.url) {
                m_jobsByPath.try_emplace(*record.url, position);
            }
            if (record.identifier) {
                m_jobsByLabel.try_emplace(plainIdentifier(*record.identifier), position);
            }
            if (record.bundleIdentifier) {
                m_jobsByLabel.try_emplace(*record.bundleIdentifier, position);
            }
        }
    }
}

std::optional<std::size_t> BackgroundTaskTable::findJob(std::string_view macPath,
                                                        std::string_view label) const {
    if (!macPath.empty()) {
        if (const auto found = m_jobsByPath.find(std::string(macPath));
            found != m_jobsByPath.end()) {
            return found->second;
        }
    }
    if (!label.empty()) {
        if (const auto found = m_jobsByLabel.find(std::string(label));
            found != m_jobsByLabel.end()) {
            return found->second;
        }
    }
    return std::nullopt;
}

const BackgroundItem* BackgroundTaskTable::parentOf(const BackgroundItem& record) const {
    if (!record.parentIdentifier) {
        return nullptr;
    }
    const auto found = m_byIdentifier.find(plainIdentifier(*record.parentIdentifier));
    if (found == m_byIdentifier.end() || &m_records[found->second] == &record) {
        return nullptr;
    }
    return &m_records[found->second];
}

} // namespace daemonary
