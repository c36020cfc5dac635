#include "rules/manifestRules.h"

#include <stdio.h>
#include <string.h>

#include "rules/launcherNames.h"

// A Windows path holds 259 characters; a download is staged beside its target.
static const size_t longestPath = 259;
static const char stagedSuffix[] = STAGED_SUFFIX;

static const char leavesText[] = "leaves the work folder";
static const char deviceText[] = "a device name";
static const char ownText[] = "one of the launcher's own file names";
static const char trailingText[] = "a trailing dot or blank (Windows drops it)";
static const char javaText[] = "a name that cmd.exe runs for the Java command";

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
        strcmp(fields->kind, "sha1") != 0 && strcmp(fields->kind, "sha256") != 0)
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

bool sameWord(const char *name, size_t len, const char *word)
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
    return sameWord(name, len, MANIFEST_NAME) || sameWord(name, len, NEW_MANIFEST_NAME) ||
           sameWord(name, len, NEW_SIGNATURE_NAME) || sameWord(name, len, SERIAL_NAME) ||
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

static bool endsInDotOrBlank(const char *name, size_t len)
{
    return len > 0 && (name[len - 1] == '.' || name[len - 1] == ' ') && !(len == 1 && name[0] == '.');
}

int pathEndsInDotOrBlank(const char *path)
{
    return anyPart(path, endsInDotOrBlank);
}

// The extensions of Windows' default PATHEXT, and "exe" again, which Wine's
// cmd.exe appends to "javaw.exe" when looking for it.
static bool isProgramExtension(const char *ext, size_t len)
{
    static const char *const extensions[] = {"com", "exe", "bat", "cmd", "vbs", "vbe",
                                             "js",  "jse", "wsf", "wsh", "msc"};
    for (const char *word : extensions)
        if (sameWord(ext, len, word))
            return true;
    return false;
}

int pathNamesJavaCommand(const char *path)
{
    if (strpbrk(path, "/\\"))
        return 0;
    size_t len = trimmedLength(path, strlen(path)), stem = strcspn(path, ".");
    stem = stem < len ? stem : len;
    if (!sameWord(path, stem, "java") && !sameWord(path, stem, "javaw"))
        return 0;
    // "java.exe" looked for as "java.exe", then with each extension added.
    int extensions = 0;
    for (size_t at = stem; at < len; ++extensions) {
        size_t extLen = strcspn(path + at + 1, ".");
        extLen = at + 1 + extLen < len ? extLen : len - at - 1;
        if (!isProgramExtension(path + at + 1, extLen))
            return 0;
        at += 1 + extLen;
    }
    return extensions <= 2;
}

const char *pathRefusal(const char *path)
{
    if (pathLeavesWorkFolder(path))
        return leavesText;
    if (pathNamesDevice(path))
        return deviceText;
    if (pathNamesOwnFile(path))
        return ownText;
    if (pathEndsInDotOrBlank(path))
        return trailingText;
    return pathNamesJavaCommand(path) ? javaText : NULL;
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
    if (!pathFits(name, MANIFEST_WORK_FOLDER_BUDGET))
        return "too long (over 103 characters)";
    return NULL;
}

size_t digestTokenDigits(const char *kind, const char *token)
{
    size_t digits = strcmp(kind, "md5") == 0      ? 32
                    : strcmp(kind, "sha1") == 0   ? 40
                    : strcmp(kind, "sha256") == 0 ? 64
                                                  : 0;
    if (!digits || strspn(token, "0123456789abcdefABCDEF") != digits || token[digits])
        return 0;
    return digits;
}

const char *shownText(const char *text, char *out, size_t outSize)
{
    size_t n = 0;
    for (const unsigned char *p = (const unsigned char *)text; *p; ++p) {
        char piece[5];
        snprintf(piece, sizeof piece, *p >= 0x20 && *p < 0x7F ? "%c" : "\\x%02x", *p);
        size_t len = strlen(piece);
        if (n + len + 4 > outSize) {
            snprintf(out + n, outSize - n, "...");
            return out;
        }
        memcpy(out + n, piece, len);
        n += len;
    }
    out[n] = '\0';
    return out;
}
