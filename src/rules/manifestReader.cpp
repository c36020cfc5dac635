#include "rules/manifestReader.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "rules/manifestSignature.h"

size_t nextManifestPiece(const char *data, size_t size, size_t *at, char *piece)
{
    size_t n = 0;
    while (*at < size && n < MANIFEST_PIECE_CHARS) {
        char c = data[*at];
        if (c == '\x1a')
            break;
        ++*at;
        if (c == '\r' && *at < size && data[*at] == '\n')
            continue;
        piece[n++] = c;
        if (c == '\n')
            break;
    }
    piece[n] = '\0';
    return n;
}

const char *manifestProblemName(enum ManifestProblemCode code)
{
    static const char *const names[] = {"bom",       "nul-byte",      "end-of-file-byte", "long-line",
                                        "passed-over", "not-canonical", "duplicate-path"};
    return names[code];
}

static void addProblem(struct Manifest *m, unsigned line, enum ManifestProblemCode code, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

static void addProblem(struct Manifest *m, unsigned line, enum ManifestProblemCode code, const char *format, ...)
{
    if (!m->problems)
        return;
    if (m->problemCount < MANIFEST_MAX_PROBLEMS) {
        struct ManifestProblem *p = &m->problems[m->problemCount];
        p->line = line;
        p->code = code;
        va_list args;
        va_start(args, format);
        vsnprintf(p->detail, sizeof p->detail, format, args);
        va_end(args);
    }
    ++m->problemCount;
}

// Why a piece that is neither an entry nor a "JRE" line is passed over.
static void passedOver(struct Manifest *m, unsigned line, const char *piece, enum ManifestLineForm form,
                       const struct ManifestLine *f)
{
    char text[200], wholeLine[MANIFEST_PIECE_CHARS + 1];
    switch (form) {
    case MANIFEST_OTHER_KIND:
        snprintf(wholeLine, sizeof wholeLine, "%s", piece);
        // Empty lines are passed over too, but they hide nothing; nor do the
        // freshness lines of a signed manifest.
        if (strspn(piece, " \t\r\n") != strlen(piece) && !isFreshnessLine(strip(wholeLine)))
            addProblem(m, line, MANIFEST_PASSED_OVER, "the kind \"%s\" is none of JRE, id, md5, sha1, sha256 (case counts)",
                       shownText(f->kind, text, sizeof text));
        return;
    case MANIFEST_NO_VERSION:
        addProblem(m, line, MANIFEST_PASSED_OVER, "JRE without a version");
        return;
    case MANIFEST_NO_VALUE:
        addProblem(m, line, MANIFEST_PASSED_OVER, "no value after \"%s:\"", f->kind);
        return;
    case MANIFEST_NO_PATH:
        if (!*strip(f->value))
            addProblem(m, line, MANIFEST_PASSED_OVER, "no value after \"%s:\"", f->kind);
        else
            addProblem(m, line, MANIFEST_PASSED_OVER, "no path after \"%s:%s\"", f->kind,
                       shownText(f->value, text, sizeof text));
        return;
    default:
        return;
    }
}

// The launcher finds an entry up to date only when its line reads exactly
// "kind:value path" once stripped.
static void checkCanonical(struct Manifest *m, unsigned line, char *piece, const struct ManifestLine *f)
{
    char canonical[MANIFEST_PIECE_CHARS + 8];
    snprintf(canonical, sizeof canonical, "%s:%s %s", f->kind, f->value, f->path);
    if (strcmp(canonical, strip(piece)) == 0)
        return;
    char value[200], path[600];
    shownText(f->path, path, sizeof path);
    addProblem(m, line, MANIFEST_NOT_CANONICAL,
               "not \"%s:%s %s\" alone: the launcher never finds it up to date and fetches %s on every run",
               f->kind, shownText(f->value, value, sizeof value), path, path);
}

static int lowerASCII(int c)
{
    return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

struct PathIndex {
    const char *path;
    size_t item;
};

// Past what Windows leaves out at the start of a part: further separators,
// and "." parts.
static const unsigned char *partStart(const unsigned char *p)
{
    for (;; ++p) {
        if (p[0] == '.' && (p[1] == '/' || p[1] == '\\'))
            ++p;
        else if (p[0] == '.' && !p[1])
            return p + 1;
        else if (p[0] != '/' && p[0] != '\\')
            return p;
    }
}

static int pathChar(unsigned char c)
{
    return c == '/' ? '\\' : lowerASCII(c);
}

// Paths as Windows resolves names: ASCII letters in any case, either slash,
// "a//b" as "a/b", "./a" and "a/./b" as "a" and "a/b".
static int comparePaths(const char *a, const char *b)
{
    const unsigned char *p = partStart((const unsigned char *)a), *q = partStart((const unsigned char *)b);
    for (;;) {
        int x = pathChar(*p), y = pathChar(*q);
        if (x != y || !x)
            return x - y;
        ++p, ++q;
        if (x == '\\')
            p = partStart(p), q = partStart(q);
    }
}

// By path, then in manifest order.
static int byPath(const void *a, const void *b)
{
    const struct PathIndex *x = (const struct PathIndex *)a, *y = (const struct PathIndex *)b;
    int d = comparePaths(x->path, y->path);
    return d ? d : (x->item > y->item) - (x->item < y->item);
}

// Marks each entry with the first entry of its path: sorting, not comparing
// every pair, so that a large manifest costs little.
static int findRepeats(struct Manifest *m)
{
    struct PathIndex *index = (struct PathIndex *)malloc((m->entries ? m->entries : 1) * sizeof *index);
    if (!index)
        return 0;
    size_t n = 0;
    for (size_t i = 0; i < m->count; ++i)
        if (m->items[i].form == MANIFEST_ENTRY)
            index[n++] = PathIndex{m->items[i].fields.path, i};
    qsort(index, n, sizeof *index, byPath);
    for (size_t i = 0, first = 0; i < n; ++i) {
        if (comparePaths(index[i].path, index[first].path) != 0)
            first = i;
        struct ManifestItem *item = &m->items[index[i].item];
        item->firstOf = index[first].item;
        if (i == first)
            continue;
        ++m->repeats;
        char path[600];
        addProblem(m, item->line, MANIFEST_DUPLICATE_PATH, "%s: also on line %u (Windows names ignore case)",
                   shownText(item->fields.path, path, sizeof path), m->items[item->firstOf].line);
    }
    free(index);
    return 1;
}

static int addItem(struct Manifest *m, size_t *room, enum ManifestLineForm form, const struct ManifestLine *f,
                   unsigned line)
{
    if (m->count == *room) {
        size_t more = *room ? *room * 2 : 64;
        struct ManifestItem *items = (struct ManifestItem *)realloc(m->items, more * sizeof *items);
        if (!items)
            return 0;
        m->items = items;
        *room = more;
    }
    m->items[m->count] = ManifestItem{form, *f, line, m->count};
    ++m->count;
    m->entries += form == MANIFEST_ENTRY;
    return 1;
}

int readManifest(const char *data, size_t size, int problems, struct Manifest *manifest)
{
    struct Manifest m = {};
    // Every piece is kept with its terminator; no piece is empty.
    m.text = (char *)malloc(2 * size + 2);
    if (problems)
        m.problems = (struct ManifestProblem *)malloc(MANIFEST_MAX_PROBLEMS * sizeof *m.problems);
    size_t room = 0, at = 0, used = 0;
    int ok = m.text && (!problems || m.problems);
    if (ok && size >= 3 && memcmp(data, "\xEF\xBB\xBF", 3) == 0) {
        m.bom = 1;
        at = 3;
        addProblem(&m, 1, MANIFEST_BOM, "a byte order mark before the first line");
    }
    unsigned line = 1, nulReported = 0, longReported = 0;
    size_t n;
    while (ok && (n = nextManifestPiece(data, size, &at, m.text + used)) > 0) {
        char *piece = m.text + used, whole[MANIFEST_PIECE_CHARS + 1];
        used += n + 1;
        if (memchr(piece, '\0', n)) {
            m.zeroByte = 1;
            if (nulReported != line)
                addProblem(&m, line, MANIFEST_NUL_BYTE, "a NUL byte: the manifest is not text");
            nulReported = line;
        }
        bool ended = piece[n - 1] == '\n';
        if (!ended && n == MANIFEST_PIECE_CHARS && longReported != line) {
            addProblem(&m, line, MANIFEST_LONG_LINE, "%d characters or more: the launcher reads it in pieces",
                       MANIFEST_PIECE_CHARS);
            longReported = line;
        }
        memcpy(whole, piece, n + 1);
        struct ManifestLine fields;
        enum ManifestLineForm form = cutManifestLine(piece, &fields);
        if (form == MANIFEST_JRE || form == MANIFEST_ENTRY)
            ok = addItem(&m, &room, form, &fields, line);
        else
            passedOver(&m, line, whole, form, &fields);
        if (form == MANIFEST_ENTRY)
            checkCanonical(&m, line, whole, &fields);
        line += ended;
    }
    if (ok && at < size)
        addProblem(&m, line, MANIFEST_END_OF_FILE_BYTE, "byte 0x1A: the launcher reads nothing after it");
    ok = ok && findRepeats(&m);
    if (!ok) {
        freeManifest(&m);
        return 0;
    }
    *manifest = m;
    return 1;
}

void freeManifest(struct Manifest *manifest)
{
    free(manifest->items);
    free(manifest->problems);
    free(manifest->text);
    *manifest = Manifest{};
}
