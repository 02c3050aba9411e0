#include "table/NaturalCompare.h"

namespace daemonary {

namespace {

bool isAsciiDigit(QChar c) {
    return c.unicode() >= u'0' && c.unicode() <= u'9';
}

} // namespace

int naturalCompare(QStringView a, QStringView b) {
    qsizetype i = 0;
    qsizetype j = 0;
    // Decides between texts that are equal apart from leading zeros ("07" vs "7").
    int zeroTieBreak = 0;
    while (i < a.size() && j < b.size()) {
        if (isAsciiDigit(a[i]) && isAsciiDigit(b[j])) {
            const qsizetype aRunStart = i;
            const qsizetype bRunStart = j;
            while (i < a.size() && a[i] == u'0') {
                ++i;
            }
            while (j < b.size() && b[j] == u'0') {
                ++j;
            }
            const qsizetype aZeros = i - aRunStart;
            const qsizetype bZeros = j - bRunStart;
            const qsizetype aDigitsStart = i;
            const qsizetype bDigitsStart = j;
            while (i < a.size() && isAsciiDigit(a[i])) {
                ++i;
            }
            while (j < b.size() && isAsciiDigit(b[j])) {
                ++j;
            }
            const qsizetype aLength = i - aDigitsStart;
            const qsizetype bLength = j - bDigitsStart;
            // Without leading zeros, a longer run is a larger number.
            if (aLength != bLength) {
                return aLength < bLength ? -1 : 1;
            }
            for (qsizetype k = 0; k < aLength; ++k) {
                const char16_t x = a[aDigitsStart + k].unicode();
                const char16_t y = b[bDigitsStart + k].unicode();
                if (x != y) {
                    return x < y ? -1 : 1;
                }
            }
            if (zeroTieBreak == 0 && aZeros != bZeros) {
                zeroTieBreak = aZeros < bZeros ? -1 : 1;
            }
            continue;
        }
        const char16_t x = a[i].toCaseFolded().unicode();
        const char16_t y = b[j].toCaseFolded().unicode();
        if (x != y) {
            return x < y ? -1 : 1;
        }
        ++i;
        ++j;
    }
    const bool aDone = i >= a.size();
    const bool bDone = j >= b.size();
    if (aDone != bDone) {
        return aDone ? -1 : 1;
    }
    return zeroTieBreak;
}

} // namespace daemonary
