// The reference for the library's code page 932 names: what ICU's windows-31j converter makes
// of the bytes, a bad byte as U+FFFD, as UTF-8 cut to the whole characters that fit the name
// field's 512 bytes. Shared by the decoder's tests and its fuzzer. The same for code page
// 437: ICU's ibm-437 for the upper half, ASCII for the lower.
#pragma once

#include <cstddef>
#include <string>
#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ustring.h>
#include <vector>

// text cut to the whole characters that fit in 512 bytes.
inline std::string IcuFitName(std::string text)
{
    if (text.size() > 512) {
        std::size_t cut = 512;
        while ((static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut;
        text.resize(cut);
    }
    return text;
}

inline std::string IcuCp932(const char *s, std::size_t n)
{
    static UConverter *converter = [] {
        UErrorCode err = U_ZERO_ERROR;
        UConverter *c = ucnv_open("windows-31j", &err);
        ucnv_setToUCallBack(
            c,
            [](const void *, UConverterToUnicodeArgs *args, const char *, int32_t,
               UConverterCallbackReason reason, UErrorCode *e) {
                static const UChar kReplacement = 0xFFFD;
                if (reason <= UCNV_IRREGULAR) {
                    *e = U_ZERO_ERROR;
                    ucnv_cbToUWriteUChars(args, &kReplacement, 1, 0, e);
                }
            },
            nullptr, nullptr, nullptr, &err);
        return U_SUCCESS(err) ? c : nullptr;
    }();
    if (!converter)
        return "<no converter>";
    std::vector<UChar> units(n + 1);
    UErrorCode err = U_ZERO_ERROR;
    const int32_t count =
        ucnv_toUChars(converter, units.data(), int32_t(units.size()), s, int32_t(n), &err);
    std::string text(std::size_t(count) * 3 + 1, '\0');
    int32_t length = 0;
    err = U_ZERO_ERROR;
    u_strToUTF8(text.data(), int32_t(text.size()), &length, units.data(), count, &err);
    text.resize(std::size_t(length));
    return IcuFitName(text);
}

inline std::string IcuCp437(const char *s, std::size_t n)
{
    static UConverter *converter = [] {
        UErrorCode err = U_ZERO_ERROR;
        UConverter *c = ucnv_open("ibm-437", &err);
        return U_SUCCESS(err) ? c : nullptr;
    }();
    if (!converter)
        return "<no converter>";
    std::string text;
    for (std::size_t i = 0; i < n; ++i) {
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            text += s[i];
            continue;
        }
        UChar unit[2];
        UErrorCode err = U_ZERO_ERROR;
        const int32_t count = ucnv_toUChars(converter, unit, 2, s + i, 1, &err);
        char utf8[8];
        int32_t length = 0;
        err = U_ZERO_ERROR;
        u_strToUTF8(utf8, 8, &length, unit, count, &err);
        text.append(utf8, std::size_t(length));
    }
    return IcuFitName(text);
}
