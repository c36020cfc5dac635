#include "rules/manifestRules.h"

#include <string.h>

// A Windows path holds 259 characters; a download is staged beside its target.
static const size_t longestPath = 259;
static const char stagedSuffix[] = ".part";

static const char leavesText[] = "leaves the work folder";
static const char deviceText[] = "a device name";
static const char ownText[] = "one of the launcher's own file names";

char *strip(char *text)
{
    char *out = text;
    for (const char *in = text; *in; ++in) {
        if (*in != '\t' && *in != '\n')
            *out++ = *in;
    }
    *out = '\0';
    return text;
}

// strtok's step with its state in *rest: skips leading delimiters, ends the
// token in place at the next delimiter and moves *rest past that one.
static char *nextToken(char **rest, const char *delimiters)
{
    char *token = *rest + strspn(*rest, delimiters);
    if (!*token) {
        *rest = token;
        return NULL;
    }
    char *end = token + strcspn(token, delimiters);
    if (*end)
        *end++ = '\0';
    *rest = end;
    return token;
}

enum ManifestLineForm cutManifestLine(char *line, struct ManifestLine *fields)
{
    char *rest = line;
    fields->kind = nextToken(&rest, ":");
    fields->value = fields->path = NULL;
    if (!fields->kind)
        return MANIFEST_NO_KIND;
    if (strcmp(fields->kind, "JRE") == 0) {
        fields->value = nextToken(&rest, " ");
        if (!fields->value)
            return MANIFEST_NO_VERSION;
        strip(fields->value);
        return MANIFEST_JRE;
    }
    if (strcmp(fields->kind, "id") != 0 && strcmp(fields->kind, "md5") != 0 &&
        strcmp(fields->kind, "sha1") != 0)
        return MANIFEST_OTHER_KIND;
    fields->value = nextToken(&rest, " ");
    if (!fields->value)
        return MANIFEST_NO_VALUE;
    fields->path = nextToken(&rest, " ");
    // A blank before the line end leaves a path of nothing but the line feed:
    // no path, not the work folder itself.
    if (!fields->path || !*strip(fields->path))
        return MANIFEST_NO_PATH;
    return MANIFEST_ENTRY;
}

int pathLeavesWorkFolder(const char *path)
{
    if (path[0] == '/' || path[0] == '\\' || strchr(path, ':'))
        return 1;
    // Windows trims trailing dots from names, so "..." is refused like "..".
    for (const char *p = path;; ++p) {
        size_t len = strcspn(p, "/\\");
        if (len >= 2 && strspn(p, ".") == len)
            return 1;
        p += len;
        if (!*p)
            return 0;
    }
}

static char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

// Whether name[0..len) equals the lower-case word, ASCII letters in any case.
static bool sameWord(const char *name, size_t len, const char *word)
{
    if (strlen(word) != len)
        return false;
    for (size_t i = 0; i < len; ++i)
        if (lower(name[i]) != word[i])
            return false;
    return true;
}

// The length of a name without the trailing dots and blanks that Windows drops.
static size_t trimmedLength(const char *name, size_t len)
{
    while (len > 0 && (name[len - 1] == '.' || name[len - 1] == ' '))
        --len;
    return len;
}

// Windows takes a device name before any extension, without trailing blanks.
static bool isDeviceName(const char *name, size_t len)
{
    size_t stem = 0;
    while (stem < len && name[stem] != '.')
        ++stem;
    stem = trimmedLength(name, stem);
    static const char *const plain[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
    for (const char *word : plain)
        if (sameWord(name, stem, word))
            return true;
    if (stem < 4 || (!sameWord(name, 3, "com") && !sameWord(name, 3, "lpt")))
        return false;
    const unsigned char *digit = (const unsigned char *)name + 3;
    if (stem == 4)
        return (digit[0] >= '0' && digit[0] <= '9') || digit[0] == 0xB9 || digit[0] == 0xB2 ||
               digit[0] == 0xB3;
    // The superscript digits as UTF-8, where that is the code page.
    return stem == 5 && digit[0] == 0xC2 && (digit[1] == 0xB9 || digit[1] == 0xB2 || digit[1] == 0xB3);
}

static bool isOwnName(const char *name, size_t len)
{
    len = trimmedLength(name, len);
    size_t suffix = strlen(stagedSuffix);
    return sameWord(name, len, "fcompare.ini") || sameWord(name, len, "fcompare.new") ||
           (len >= suffix && sameWord(name + len - suffix, suffix, stagedSuffix));
}

// Whether any part of path between "/" and "\" satisfies rule.
static int anyPart(const char *path, bool (*rule)(const char *, size_t))
{
    for (const char *p = path;; ++p) {
        size_t len = strcspn(p, "/\\");
        if (rule(p, len))
            return 1;
        p += len;
        if (!*p)
            return 0;
    }
}

int pathNamesDevice(const char *path)
{
    return anyPart(path, isDeviceName);
}

int pathNamesOwnFile(const char *path)
{
    return anyPart(path, isOwnName);
}

const char *pathRefusal(const char *path)
{
    if (pathLeavesWorkFolder(path))
        return leavesText;
    if (pathNamesDevice(path))
        return deviceText;
    return pathNamesOwnFile(path) ? ownText : NULL;
}

int pathFits(const char *path, size_t workFolderLength)
{
    size_t rest = longestPath - (workFolderLength < longestPath ? workFolderLength : longestPath);
    return strlen(path) + 1 + strlen(stagedSuffix) <= rest;
}

const char *publishedNameProblem(const char *name)
{
    static_assert(longestPath - MANIFEST_WORK_FOLDER_BUDGET - 1 - (sizeof stagedSuffix - 1) == 103,
                  "the length in the text below");
    if (!*name)
        return "an empty name";
    if (strpbrk(name, "/\\"))
        return "a sub-folder (the launcher creates none)";
    if (const char *rule = pathRefusal(name))
        return rule;
    if (strchr(name, ' '))
        return "a blank (the launcher cuts the path there)";
    for (const unsigned char *p = (const unsigned char *)name; *p; ++p) {
        if (*p < 0x20 || *p == 0x7F)
            return "a control character";
        if (*p >= 0x80)
            return "a character outside ASCII (its bytes depend on the client's code page)";
    }
    if (strpbrk(name, "#%?"))
        return "a character that changes the URL (#, % or ?)";
    if (strpbrk(name, "<>\"|*"))
        return "a character that Windows names cannot hold";
    if (name[strlen(name) - 1] == '.')
        return "a trailing dot (Windows drops it)";
    if (!pathFits(name, MANIFEST_WORK_FOLDER_BUDGET))
        return "too long (over 103 characters)";
    return NULL;
}

size_t digestTokenDigits(const char *kind, const char *token)
{
    size_t digits = strcmp(kind, "md5") == 0 ? 32 : strcmp(kind, "sha1") == 0 ? 40 : 0;
    if (!digits || strspn(token, "0123456789abcdefABCDEF") != digits || token[digits])
        return 0;
    return digits;
}
