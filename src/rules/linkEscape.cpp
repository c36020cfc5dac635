#include "rules/linkRules.h"

#include <stdint.h>
#include <string.h>

// Variables that cmd.exe makes up itself, whatever the environment holds, and
// PATH, which the launcher may add to the environment of the cmd.exe it starts.
static const char *const cmdVariables[] = {
    "CD", "DATE", "TIME", "RANDOM", "ERRORLEVEL", "CMDCMDLINE", "CMDEXTVERSION",
    "HIGHESTNUMANODENUMBER", "__CD__", "__APPDIR__", "PROMPT", "FIRMWARE_TYPE", "PATH",
};

static const char variableReason[] = "the name of a variable between two '%'";
static const char tooLongReason[] = "too many characters";

// The next character of text[*i..end) as cmd.exe's case-blind lookup of a name
// sees it: ASCII letters in capitals, and the two letters beyond ASCII whose
// capitals are ASCII (dotless i and long s, in UTF-8) as those capitals; any
// other byte as it is.
static unsigned char nextFolded(const char *text, size_t end, size_t *i)
{
    const unsigned char *p = (const unsigned char *)text + *i;
    if (*i + 1 < end && p[0] == 0xC4 && p[1] == 0xB1) {
        *i += 2;
        return 'I';
    }
    if (*i + 1 < end && p[0] == 0xC5 && p[1] == 0xBF) {
        *i += 2;
        return 'S';
    }
    *i += 1;
    return p[0] >= 'a' && p[0] <= 'z' ? (unsigned char)(p[0] - 'a' + 'A') : p[0];
}

struct Folded {
    uint32_t hash;    // FNV-1a of the folded characters
    bool beyondAscii; // a character beyond ASCII is left after folding
};

static Folded fold(const char *text, size_t begin, size_t end)
{
    Folded folded = {2166136261u, false};
    for (size_t i = begin; i < end;) {
        unsigned char c = nextFolded(text, end, &i);
        folded.beyondAscii |= c >= 0x80;
        folded.hash = (folded.hash ^ c) * 16777619u;
    }
    return folded;
}

static bool sameFolded(const char *a, size_t aEnd, const char *b, size_t bBegin, size_t bEnd)
{
    size_t i = 0, j = bBegin;
    while (i < aEnd && j < bEnd)
        if (nextFolded(a, aEnd, &i) != nextFolded(b, bEnd, &j))
            return false;
    return i == aEnd && j == bEnd;
}

// The texts that cmd.exe could take for a variable name, as an open-addressing
// hash table: every name of the environment is then looked up once, so the
// check is linear in the link and the environment.
struct Candidate {
    uint32_t hash;
    uint32_t begin, end; // in the text; end 0: free slot
};
static const size_t tableSlots = 16384;
static Candidate table[tableSlots];
static size_t tableMask;
static const char *tableText;

static bool known(const char *name, size_t length, uint32_t hash)
{
    for (size_t slot = hash & tableMask; table[slot].end; slot = (slot + 1) & tableMask)
        if (table[slot].hash == hash && sameFolded(name, length, tableText, table[slot].begin, table[slot].end))
            return true;
    return false;
}

static void addCandidate(size_t begin, size_t end, bool *beyondAscii)
{
    Folded folded = fold(tableText, begin, end);
    *beyondAscii |= folded.beyondAscii;
    if (known(tableText + begin, end - begin, folded.hash))
        return;
    size_t slot = folded.hash & tableMask;
    while (table[slot].end)
        slot = (slot + 1) & tableMask;
    table[slot] = Candidate{folded.hash, (uint32_t)begin, (uint32_t)end};
}

// Length of an environment string's name; names such as "=C:" begin with '='.
static size_t envNameLength(const char *entry)
{
    const char *eq = strchr(entry + 1, '=');
    return eq ? (size_t)(eq - entry) : strlen(entry);
}

// Whether some text between a '%' and the next '%' of text[0..n), or between a
// '%' and a ':' that a '%' follows later (the ":~" and ":=" modifiers), names
// a variable: cmd.exe would put its value in place of the text. A name cannot
// hold the '%' that would have closed it, so each '%' opens at most two names.
static const char *variableIn(const char *text, size_t n, const char *env)
{
    size_t percents = 0, lastPercent = 0;
    for (size_t i = 0; i < n; ++i)
        if (text[i] == '%') {
            ++percents;
            lastPercent = i;
        }
    if (percents < 2)
        return NULL;
    size_t slots = 16;
    while (slots < 4 * percents)
        slots *= 2;
    if (slots > tableSlots)
        return tooLongReason;
    memset(table, 0, slots * sizeof *table);
    tableMask = slots - 1;
    tableText = text;

    bool candidatesBeyond = false;
    for (size_t i = 0; i < n; ++i) {
        if (text[i] != '%')
            continue;
        size_t stop = i + 1;
        while (stop < n && text[stop] != '%' && text[stop] != ':')
            ++stop;
        size_t end = stop;
        while (end < n && text[end] != '%')
            ++end;
        bool colonCloses = stop < n && text[stop] == ':' && stop < lastPercent;
        bool percentCloses = end < n;
        // Names such as "=C:" are cmd.exe's own, whatever follows.
        if (i + 1 < n && text[i + 1] == '=' && (colonCloses || percentCloses))
            return variableReason;
        if (colonCloses && stop > i + 1)
            addCandidate(i + 1, stop, &candidatesBeyond);
        if (percentCloses && end > i + 1)
            addCandidate(i + 1, end, &candidatesBeyond);
    }

    for (const char *name : cmdVariables)
        if (known(name, strlen(name), fold(name, 0, strlen(name)).hash))
            return variableReason;
    // Beyond ASCII, which letters are the same in capitals is the system's to
    // say: such a name and such a text are taken to be the same.
    bool namesBeyond = false;
    for (const char *entry = env; *entry; entry += strlen(entry) + 1) {
        size_t length = envNameLength(entry);
        if (entry[0] == '=')
            continue;
        Folded folded = fold(entry, 0, length);
        namesBeyond |= folded.beyondAscii;
        if (known(entry, length, folded.hash))
            return variableReason;
    }
    return namesBeyond && candidatesBeyond ? variableReason : NULL;
}

const char *escapeLink(const char *link, const char *env, char *out, size_t outSize)
{
    size_t n = 0;
    for (const unsigned char *p = (const unsigned char *)link; *p; ++p) {
        if (*p == '"')
            return "a double quote";
        if (*p < 0x20 || *p == 0x7F)
            return "a control character";
        if (*p == ' ')
            return "a blank";
        // Wine's cmd.exe expands %^NAME% as %NAME%: names are looked up without carets.
        if (*p != '^') {
            if (n + 1 >= outSize)
                return tooLongReason;
            out[n++] = (char)*p;
        }
    }
    const char *variable = variableIn(out, n, env);
    if (variable)
        return variable;

    n = 0;
    for (const char *p = link; *p; ++p) {
        size_t special = strchr("&|<>^()", *p) ? 1 : 0;
        if (n + special + 1 >= outSize)
            return tooLongReason;
        if (special)
            out[n++] = '^';
        out[n++] = *p;
    }
    out[n] = '\0';
    return NULL;
}
