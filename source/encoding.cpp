// The host's text and the bytes of the temporary file. The host's strings
// are in its ANSI code page; editors of today save UTF-8 or UTF-16, with a
// byte-order mark or without. What an editor saved comes back in the code
// page, each character the code page lacks as an HTML numeric character
// reference ("&#20013;"), as a browser submits a form in a legacy encoding:
// the text is HTML source, so nothing is lost. UTF-8 is read as the WHATWG
// Encoding Standard reads it: a malformed sequence is one U+FFFD for each of
// its longest starts that could have been valid.
#include "source.h"

#include <strsafe.h>

static const DWORD kBad = 0xFFFFFFFF;
static const WCHAR kReplacement = 0xFFFD;
static const BYTE kUtf8Mark[] = {0xEF, 0xBB, 0xBF};

// One UTF-8 sequence at p: its length, with its code point in *cp; for a
// malformed one, the length of its longest valid start (at least 1) and kBad.
static DWORD NextUtf8(const BYTE* p, const BYTE* end, DWORD* cp)
{
    BYTE lead = p[0];
    DWORD need, low = 0x80, high = 0xBF;
    *cp = kBad;
    if (lead < 0x80) {
        *cp = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
        *cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        if (lead == 0xE0)
            low = 0xA0;  // no overlong form
        if (lead == 0xED)
            high = 0x9F;  // no surrogate
        *cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;  // nothing past U+10FFFF
        *cp = lead & 0x07;
    } else {
        return 1;
    }
    DWORD length = 1;
    for (DWORD i = 0; i < need; i++) {
        if (p + length >= end || p[length] < low || p[length] > high) {
            *cp = kBad;
            return length;
        }
        *cp = (*cp << 6) | (p[length] & 0x3F);
        length++;
        low = 0x80;
        high = 0xBF;
    }
    return length;
}

// 256 bytes, all ASCII: the words or'd together, looked at once.
static BOOL IsAsciiBlock(const BYTE* p)
{
    ULONGLONG any = 0;
    for (int i = 0; i < 32; i++) {
        ULONGLONG word;
        CopyMemory(&word, p + 8 * i, sizeof(word));
        any |= word;
    }
    return (any & 0x8080808080808080ULL) == 0;
}

// One pass: whether the bytes are valid UTF-8, and whether they hold a
// multi-byte sequence at all (plain ASCII is every encoding's).
static BOOL ScanUtf8(const BYTE* p, const BYTE* end, BOOL* multibyte)
{
    *multibyte = FALSE;
    while (p < end) {
        if (*p >= 0x80) {
            DWORD cp;
            p += NextUtf8(p, end, &cp);
            if (cp == kBad)
                return FALSE;
            *multibyte = TRUE;
            continue;
        }
        // A run of ASCII, the bulk of any HTML: eight bytes a step and,
        // once it has gone on for 64 (a plain page), 256 a step looked at
        // whole; then one. Short runs between other letters pay no long look.
        int words = 0;
        while (end - p >= 8) {
            ULONGLONG word;
            CopyMemory(&word, p, sizeof(word));
            if ((word & 0x8080808080808080ULL) != 0)
                break;
            p += 8;
            if (++words == 8) {
                while (end - p >= 256 && IsAsciiBlock(p))
                    p += 256;
            }
        }
        while (p < end && *p < 0x80)
            p++;
    }
    return TRUE;
}

BOOL IsUtf8WithMultibyte(const char* text, DWORD length)
{
    BOOL multibyte;
    return ScanUtf8((const BYTE*)text, (const BYTE*)text + length, &multibyte) && multibyte;
}

// The UTF-16 units of UTF-8 that may be malformed, each malformed part one
// U+FFFD; wide NULL counts only. Never more units than bytes.
static DWORD DecodeUtf8(const BYTE* p, const BYTE* end, WCHAR* wide)
{
    DWORD units = 0;
    while (p < end) {
        DWORD cp;
        p += NextUtf8(p, end, &cp);
        if (cp == kBad)
            cp = kReplacement;
        if (cp >= 0x10000) {
            if (wide != NULL) {
                wide[units] = (WCHAR)(0xD800 + ((cp - 0x10000) >> 10));
                wide[units + 1] = (WCHAR)(0xDC00 + ((cp - 0x10000) & 0x3FF));
            }
            units += 2;
        } else {
            if (wide != NULL)
                wide[units] = (WCHAR)cp;
            units++;
        }
    }
    return units;
}

// UTF-8 to UTF-16 in a new block: the system's conversion for valid UTF-8
// (knownValid: already scanned, not scanned again);
// the module's own decoder for a malformed one, which Windows versions
// replace differently (XP drops what Vista replaces).
static WCHAR* WideFromUtf8(const BYTE* p, DWORD size, BOOL knownValid, DWORD* units)
{
    *units = 0;
    if (size > 0x7FFFFFFF / sizeof(WCHAR))
        return NULL;
    if (size == 0)
        return (WCHAR*)AllocBlock(sizeof(WCHAR));
    BOOL multibyte;
    BOOL valid = knownValid || ScanUtf8(p, p + size, &multibyte);
    int count = valid ? MultiByteToWideChar(CP_UTF8, 0, (const char*)p, (int)size, NULL, 0)
                      : (int)DecodeUtf8(p, p + size, NULL);
    if (count <= 0 || (DWORD)count > size)
        return NULL;
    WCHAR* wide = (WCHAR*)AllocBlock((SIZE_T)count * sizeof(WCHAR));
    if (wide == NULL)
        return NULL;
    if (valid ? MultiByteToWideChar(CP_UTF8, 0, (const char*)p, (int)size, wide, count) != count
              : DecodeUtf8(p, p + size, wide) != (DWORD)count) {
        FreeBlock(wide);
        return NULL;
    }
    *units = (DWORD)count;
    return wide;
}

static BOOL IsHigh(WCHAR c) { return c >= 0xD800 && c <= 0xDBFF; }
static BOOL IsLow(WCHAR c) { return c >= 0xDC00 && c <= 0xDFFF; }

// UTF-16 where it was read, byte order made the machine's, a lone
// surrogate made U+FFFD; an odd last byte, a cut unit, is one U+FFFD too,
// in the slack after the bytes. The input's end with a lead surrogate and
// a lone byte pending is one error, one U+FFFD, as the WHATWG decoder has it.
static WCHAR* WideInPlace(BYTE* p, DWORD size, BOOL bigEndian, DWORD* units)
{
    WCHAR* wide = (WCHAR*)p;
    DWORD count = size / 2;
    for (DWORD i = 0; bigEndian && i < count; i++)
        wide[i] = (WCHAR)((p[2 * i] << 8) | p[2 * i + 1]);
    if (size % 2 != 0 && count > 0 && IsHigh(wide[count - 1]))
        wide[count - 1] = kReplacement;
    else if (size % 2 != 0)
        wide[count++] = kReplacement;
    for (DWORD i = 0; i < count; i++) {
        if (IsHigh(wide[i]) && i + 1 < count && IsLow(wide[i + 1]))
            i++;
        else if (IsHigh(wide[i]) || IsLow(wide[i]))
            wide[i] = kReplacement;
    }
    *units = count;
    return wide;
}

// "&#N;" for a code point, decimal, into out when given; answers its length.
static DWORD Reference(DWORD cp, char* out)
{
    char digits[10];
    DWORD count = 0;
    do {
        digits[count++] = (char)('0' + cp % 10);
        cp /= 10;
    } while (cp != 0 && count < ARRAYSIZE(digits));
    if (out != NULL) {
        *out++ = '&';
        *out++ = '#';
        for (DWORD i = count; i > 0; i--)
            *out++ = digits[i - 1];
        *out = ';';
    }
    return count + 3;
}

// The code page's conversion of units characters into out (NULL: counts
// only), *lacked set when it lacks one of them. Where the code page is
// UTF-8 (a Windows set to use it) it lacks none, and Windows refuses the
// flag and the question there.
static int ToCodePage(const WCHAR* wide, DWORD units, char* out, DWORD room, BOOL* lacked)
{
    *lacked = FALSE;
    if (GetACP() == CP_UTF8)
        return WideCharToMultiByte(CP_ACP, 0, wide, (int)units, out, out != NULL ? (int)room : 0, NULL, NULL);
    return WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, (int)units, out,
                               out != NULL ? (int)room : 0, NULL, lacked);
}

// Converts a run of units into out (NULL: counts only) at *at: one call
// when the code page holds the whole run; else the run is halved, a
// surrogate pair never split, down to the characters it lacks, each written
// as a reference. A few lacking characters in a long text cost a few calls
// each. FALSE when a conversion fails.
static BOOL ConvertRun(const WCHAR* wide, DWORD units, char* out, DWORD room, ULONGLONG* at)
{
    BOOL lacked;
    int got = ToCodePage(wide, units, out != NULL ? out + *at : NULL, out != NULL ? (DWORD)(room - *at) : 0,
                         &lacked);
    if (got <= 0)
        return FALSE;
    if (!lacked) {
        *at += (DWORD)got;
        return TRUE;
    }
    BOOL pair = units == 2 && IsHigh(wide[0]) && IsLow(wide[1]);
    if (units == 1 || pair) {
        DWORD cp = pair ? 0x10000 + (((DWORD)wide[0] - 0xD800) << 10) + (wide[1] - 0xDC00) : wide[0];
        *at += Reference(cp, out != NULL ? out + *at : NULL);
        return TRUE;
    }
    DWORD half = units / 2;
    if (IsLow(wide[half]) && IsHigh(wide[half - 1]))
        half++;  // the pair goes to the first half; a run of one pair was taken above
    return ConvertRun(wide, half, out, room, at) && ConvertRun(wide + half, units - half, out, room, at);
}

// The host's text from UTF-16, in a new block: counted first, then written
// into a block of exactly that size, so a size that would not fit is
// refused before anything is allocated.
static char* HostTextFromWide(const WCHAR* wide, DWORD units)
{
    ULONGLONG size = 0;
    if (units > 0x7FFFFFFF || (units > 0 && !ConvertRun(wide, units, NULL, 0, &size)) || size > 0x7FFFFFFE)
        return NULL;
    char* text = (char*)AllocBlock((SIZE_T)size + 1);
    if (text == NULL)
        return NULL;
    ULONGLONG written = 0;
    if (units > 0 && (!ConvertRun(wide, units, text, (DWORD)size, &written) || written != size)) {
        FreeBlock(text);
        return NULL;
    }
    text[size] = '\0';
    return text;
}

enum TextForm { kFormBytes, kFormUtf8, kFormUtf16LE, kFormUtf16BE };

// How the editor saved the file, decided once from its bytes: by a mark; by
// valid UTF-8 with a multi-byte sequence, unless the host's own text was
// such UTF-8 (its bytes are its own) and the module did not write UTF-8; or
// as the bytes they are. *skip is the mark's length.
static int SavedForm(const BYTE* p, DWORD size, const TextOrigin* origin, DWORD* skip)
{
    *skip = 0;
    if (size >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
        *skip = 3;
        return kFormUtf8;
    }
    if (size >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
        *skip = 2;
        return kFormUtf16LE;
    }
    if (size >= 2 && p[0] == 0xFE && p[1] == 0xFF) {
        *skip = 2;
        return kFormUtf16BE;
    }
    if (origin->hostTextUtf8 && !origin->wroteUtf8)
        return kFormBytes;
    BOOL multibyte;
    return ScanUtf8(p, p + size, &multibyte) && multibyte ? kFormUtf8 : kFormBytes;
}

char* HostTextFromFile(char* bytes, DWORD size, const TextOrigin* origin)
{
    BYTE* p = (BYTE*)bytes;
    DWORD skip;
    int form = SavedForm(p, size, origin, &skip);
    if (form == kFormBytes) {
        bytes[size] = '\0';  // the host's text ends at its first NUL, as stored
        return bytes;
    }

    char* text = NULL;
    DWORD units = 0;
    if (form == kFormUtf8) {
        // Without a mark, the bytes were found valid to be taken for UTF-8.
        WCHAR* wide = WideFromUtf8(p + skip, size - skip, skip == 0, &units);
        // The file's bytes go before the host's text is made: the peak is
        // the text in UTF-16 and in the code page.
        FreeBlock(bytes);
        if (wide != NULL)
            text = HostTextFromWide(wide, units);
        FreeBlock(wide);
        return text;
    }
    WCHAR* wide = WideInPlace(p + skip, size - skip, form == kFormUtf16BE, &units);
    text = HostTextFromWide(wide, units);
    FreeBlock(bytes);
    return text;
}

BYTE* FileBytesInUtf8(const char* text, DWORD length, DWORD* size)
{
    *size = 0;
    WCHAR* wide = NULL;
    BYTE* bytes = NULL;
    int units = 0, utf8 = 0;
    if (length > 0x7FFFFFFF / sizeof(WCHAR))
        goto out;
    if (length > 0) {
        units = MultiByteToWideChar(CP_ACP, 0, text, (int)length, NULL, 0);
        if (units <= 0 || (DWORD)units > length)
            goto out;
        wide = (WCHAR*)AllocBlock((SIZE_T)units * sizeof(WCHAR));
        if (wide == NULL || MultiByteToWideChar(CP_ACP, 0, text, (int)length, wide, units) != units)
            goto out;
        // At most three bytes for each unit: a pair's four are two units'.
        utf8 = WideCharToMultiByte(CP_UTF8, 0, wide, units, NULL, 0, NULL, NULL);
        if (utf8 <= 0 || (DWORD)utf8 > (DWORD)units * 3)
            goto out;
    }
    bytes = (BYTE*)AllocBlock(sizeof(kUtf8Mark) + (SIZE_T)utf8);
    if (bytes == NULL)
        goto out;
    CopyMemory(bytes, kUtf8Mark, sizeof(kUtf8Mark));
    if (utf8 > 0 &&
        WideCharToMultiByte(CP_UTF8, 0, wide, units, (char*)bytes + sizeof(kUtf8Mark), utf8, NULL, NULL) != utf8) {
        FreeBlock(bytes);
        bytes = NULL;
        goto out;
    }
    *size = sizeof(kUtf8Mark) + (DWORD)utf8;

out:
    FreeBlock(wide);
    return bytes;
}

// Names compared letter by letter in ASCII: a locale's own case rules (a
// Turkish dotless i) must not turn "ansi" into another word.
static BOOL SameName(const WCHAR* a, const WCHAR* b)
{
    for (;; a++, b++) {
        WCHAR x = *a >= L'a' && *a <= L'z' ? (WCHAR)(*a - 32) : *a;
        WCHAR y = *b >= L'a' && *b <= L'z' ? (WCHAR)(*b - 32) : *b;
        if (x != y)
            return FALSE;
        if (x == L'\0')
            return TRUE;
    }
}

static const WCHAR kEncodingNotStarted[] = L"Scrivlet was not started.";
static const WCHAR kEncodingTakes[] = L"It takes \"UTF-8\" or \"ANSI\".";

BOOL ReadEditorEncoding(BOOL* utf8)
{
    *utf8 = FALSE;
    BOOL known = TRUE;
    WCHAR* value = NULL;
    WCHAR* text = NULL;
    SIZE_T length;
    if (!ReadEditorEncodingText(&value)) {
        WCHAR unreadable[160];
        StringCchPrintfW(unreadable, ARRAYSIZE(unreadable), L"%s\n\nEditorEncoding in the settings could not be read. %s",
                         kEncodingNotStarted, kEncodingTakes);  // fits: fixed texts
        MessageBoxW(NULL, unreadable, NULL, MB_OK | MB_ICONERROR);
        return FALSE;
    }
    if (value == NULL || SameName(value, L"ANSI"))
        goto out;
    if (SameName(value, L"UTF-8") || SameName(value, L"UTF8")) {
        *utf8 = TRUE;
        goto out;
    }
    // The value named whole, however long: its box is sized to it.
    known = FALSE;
    length = (SIZE_T)lstrlenW(value) + 160;
    text = (WCHAR*)AllocBlock(length * sizeof(WCHAR));
    if (text != NULL && FAILED(StringCchPrintfW(text, length, L"%s\n\nEditorEncoding in the settings is \"%s\". %s",
                                                kEncodingNotStarted, value, kEncodingTakes))) {
        FreeBlock(text);
        text = NULL;
    }
    MessageBoxW(NULL, text != NULL ? text : kEncodingNotStarted, NULL, MB_OK | MB_ICONERROR);

out:
    FreeBlock(text);
    FreeBlock(value);
    return known;
}
