// kovrel-manifest: writes and checks the versions manifest ("fcompare.ini") of
// a published applets folder by the launcher's own rules, and prints the pin
// of a server certificate. See usage below and the README.
#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "rules/manifestRules.h"

#define STRINGIFY_(x) #x
#define STRINGIFY(x) STRINGIFY_(x)

static const char manifestName[] = "fcompare.ini";
static const char clientName[] = "Marvique.jar";

static const char usage[] =
    "Usage:\n"
    "  kovrel-manifest write DIR [--kind md5|sha1] [--jre VERSION]\n"
    "      Prints a manifest for the files at the top level of DIR (all but\n"
    "      fcompare.ini): one line \"KIND:DIGEST NAME\" per file in byte order of\n"
    "      the names, LF line ends, \"JRE:VERSION\" first when given. Fails, printing\n"
    "      nothing, when a name would be refused or mis-handled by the launcher, when\n"
    "      DIR holds a sub-folder or a symbolic link that leads out of it, or when\n"
    "      Marvique.jar is missing.\n"
    "  kovrel-manifest check DIR\n"
    "      Reports every problem the launcher would meet with DIR/fcompare.ini,\n"
    "      one per line: \"DIR/fcompare.ini:LINE: CODE: TEXT\" (LINE 0: the whole\n"
    "      manifest). Codes: bom, nul-byte, end-of-file-byte, long-line,\n"
    "      passed-over, not-canonical, refused-path, sub-folder, bad-name,\n"
    "      duplicate-path, missing-file, wrong-digest, no-client, unreadable.\n"
    "      Exits 1 when there is any.\n"
    "  kovrel-manifest pin CERT.pem\n"
    "      Prints the sha256// pin of the certificate's public key, for the\n"
    "      administrator value PinnedPublicKeys.\n"
    "  kovrel-manifest --help\n"
    "Exit codes: 0 done, 1 problems or failure, 2 wrong usage.\n";

// --- Text shown to people -------------------------------------------------------

// text with bytes outside printable ASCII as \xNN, cut with "..." to fit out.
static const char *shown(const char *text, char *out, size_t outSize)
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

// --- Files ------------------------------------------------------------------------

// dir, "/", name into out; 0 with a message when it does not fit.
static int joinPath(char *out, size_t outSize, const char *dir, const char *name)
{
    if (snprintf(out, outSize, "%s/%s", dir, name) < (int)outSize)
        return 1;
    fprintf(stderr, "kovrel-manifest: path too long: %s/%s\n", dir, name);
    return 0;
}

static int isRegularFile(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// The digest of kind ("md5" or "sha1") of the file at path in lower-case hex.
// 0 with a message when the file cannot be read.
static int fileDigest(const char *path, const char *kind, char *hex, size_t hexSize)
{
    const EVP_MD *md = strcmp(kind, "sha1") == 0 ? EVP_sha1() : EVP_md5();
    if ((size_t)EVP_MD_get_size(md) * 2 >= hexSize)
        return 0;
    FILE *f = fopen(path, "rb");
    if (!f) {
        fprintf(stderr, "kovrel-manifest: %s: %s\n", path, strerror(errno));
        return 0;
    }
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    int ok = ctx && EVP_DigestInit_ex(ctx, md, NULL);
    static unsigned char block[1 << 16];
    size_t n;
    while (ok && (n = fread(block, 1, sizeof block, f)) > 0)
        ok = EVP_DigestUpdate(ctx, block, n);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    ok = ok && !ferror(f) && EVP_DigestFinal_ex(ctx, digest, &digestSize);
    EVP_MD_CTX_free(ctx);
    fclose(f);
    if (!ok) {
        fprintf(stderr, "kovrel-manifest: %s: cannot be read whole\n", path);
        return 0;
    }
    for (unsigned int i = 0; i < digestSize; ++i)
        snprintf(hex + 2 * i, hexSize - 2 * i, "%02x", digest[i]);
    return 1;
}

// --- write ------------------------------------------------------------------------

static char gNames[1000][256];
static size_t gNameCount;

static int byName(const void *a, const void *b)
{
    return strcmp((const char *)a, (const char *)b);
}

// A symbolic link is published as what it leads to (a web server follows it),
// so that must lie inside the folder, realDir. Returns the problem, or NULL
// with the status of what it leads to in *st.
static const char *followLink(const char *realDir, const char *path, struct stat *st, char *text, size_t textSize)
{
    char target[PATH_MAX], shownTarget[600];
    if (!realpath(path, target) || stat(target, st) != 0)
        return strerror(errno);
    size_t n = strcmp(realDir, "/") == 0 ? 0 : strlen(realDir);
    if (strncmp(target, realDir, n) == 0 && (target[n] == '/' || target[n] == '\0'))
        return NULL;
    snprintf(text, textSize, "a symbolic link out of the folder (to %s)",
             shown(target, shownTarget, sizeof shownTarget));
    return text;
}

// Lists the files of dir into gNames, sorted; 0 after naming every file that
// cannot stand in a manifest, each with its rule.
static int listFolder(const char *dir)
{
    char realDir[PATH_MAX];
    DIR *d = realpath(dir, realDir) ? opendir(dir) : NULL;
    if (!d) {
        fprintf(stderr, "kovrel-manifest: %s: %s\n", dir, strerror(errno));
        return 0;
    }
    int ok = 1;
    gNameCount = 0;
    for (struct dirent *e; (e = readdir(d));) {
        const char *name = e->d_name;
        // The manifest itself, which a redirection may have created already.
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || strcmp(name, manifestName) == 0)
            continue;
        char path[4096], text[600], rule[700];
        struct stat st;
        const char *problem = NULL;
        if (!joinPath(path, sizeof path, dir, name)) {
            ok = 0;
            continue;
        }
        if (lstat(path, &st) != 0)
            problem = strerror(errno);
        else if (S_ISLNK(st.st_mode))
            problem = followLink(realDir, path, &st, rule, sizeof rule);
        if (!problem && S_ISDIR(st.st_mode))
            problem = "a sub-folder (the launcher creates none)";
        else if (!problem && !S_ISREG(st.st_mode))
            problem = "not a regular file";
        else if (!problem)
            problem = publishedNameProblem(name);
        if (!problem && gNameCount == sizeof gNames / sizeof gNames[0])
            problem = "one file too many (at most 1000)";
        if (problem) {
            fprintf(stderr, "kovrel-manifest: %s/%s: %s\n", dir, shown(name, text, sizeof text), problem);
            ok = 0;
            continue;
        }
        snprintf(gNames[gNameCount++], sizeof gNames[0], "%s", name);
    }
    closedir(d);
    qsort(gNames, gNameCount, sizeof gNames[0], byName);
    return ok;
}

static int writeManifest(const char *dir, const char *kind, const char *jre)
{
    if (jre) {
        for (const unsigned char *p = (const unsigned char *)jre; *p; ++p) {
            if (*p <= 0x20 || *p >= 0x7F) {
                fprintf(stderr, "kovrel-manifest: --jre %s: a blank or a character outside printable ASCII\n", jre);
                return 1;
            }
        }
    }
    if (!listFolder(dir))
        return 1;
    if (!bsearch(clientName, gNames, gNameCount, sizeof gNames[0], byName)) {
        fprintf(stderr, "kovrel-manifest: %s: no %s, the client the launcher starts\n", dir, clientName);
        return 1;
    }

    // The whole manifest first: nothing is printed unless every file was read.
    // A line holds a kind, a digest of at most 128 digits and a name of 255.
    static char text[sizeof gNames / sizeof gNames[0] * 400];
    size_t n = 0;
    if (jre)
        n = (size_t)snprintf(text, sizeof text, "JRE:%s\n", jre);
    for (size_t i = 0; i < gNameCount; ++i) {
        char path[4096], hex[2 * EVP_MAX_MD_SIZE + 1];
        if (!joinPath(path, sizeof path, dir, gNames[i]) || !fileDigest(path, kind, hex, sizeof hex))
            return 1;
        n += (size_t)snprintf(text + n, sizeof text - n, "%s:%s %s\n", kind, hex, gNames[i]);
    }
    if (fwrite(text, 1, n, stdout) != n || fflush(stdout) != 0) {
        fprintf(stderr, "kovrel-manifest: writing the manifest: %s\n", strerror(errno));
        return 1;
    }
    return 0;
}

// --- check ------------------------------------------------------------------------

static char gManifest[1 << 20];
static const char *gManifestPath;
static int gProblems;

static void problem(int line, const char *code, const char *format, ...) __attribute__((format(printf, 3, 4)));

static void problem(int line, const char *code, const char *format, ...)
{
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    printf("%s:%d: %s: %s\n", gManifestPath, line, code, text);
    ++gProblems;
}

// The manifest's paths so far, for duplicates: path and line of each entry.
static struct {
    char path[1024];
    int line;
} gEntries[2000];
static size_t gEntryCount;

static void checkEntry(const char *dir, int line, const char *piece, const ManifestLine *f, int *client)
{
    char path[600], value[200];
    shown(f->path, path, sizeof path);
    // The launcher compares its entry text with the installed lines stripped.
    char canonical[1024 + 8], stripped[1024];
    snprintf(canonical, sizeof canonical, "%s:%s %s", f->kind, f->value, f->path);
    snprintf(stripped, sizeof stripped, "%s", piece);
    if (strcmp(canonical, strip(stripped)) != 0)
        problem(line, "not-canonical", "not \"%s:%s %s\" alone: the launcher never finds it up to date and "
                "fetches %s on every run", f->kind, shown(f->value, value, sizeof value), path, path);

    const size_t room = sizeof gEntries / sizeof gEntries[0];
    for (size_t i = 0; i < gEntryCount && i < room; ++i) {
        if (strcasecmp(gEntries[i].path, f->path) == 0) {
            problem(line, "duplicate-path", "%s: also on line %d (Windows names ignore case)", path,
                    gEntries[i].line);
            break;
        }
    }
    if (gEntryCount < room) {
        snprintf(gEntries[gEntryCount].path, sizeof gEntries[0].path, "%s", f->path);
        gEntries[gEntryCount].line = line;
    } else if (gEntryCount == room) {
        problem(line, "unreadable", "over %u entries: duplicates of this one and later ones are not looked for",
                (unsigned)room);
    }
    ++gEntryCount;
    if (strcmp(f->path, clientName) == 0)
        *client = 1;

    const char *rule = pathRefusal(f->path);
    if (!rule && !pathFits(f->path, MANIFEST_WORK_FOLDER_BUDGET))
        rule = "too long for a work folder of " STRINGIFY(MANIFEST_WORK_FOLDER_BUDGET) " characters";
    if (rule) {
        problem(line, "refused-path", "%s: %s; the line fails and the client is not started", path, rule);
        return;
    }
    if ((rule = publishedNameProblem(f->path))) {
        problem(line, strpbrk(f->path, "/\\") ? "sub-folder" : "bad-name", "%s: %s", path, rule);
        return;
    }
    char file[4096];
    if (!joinPath(file, sizeof file, dir, f->path))
        return;
    if (!isRegularFile(file)) {
        problem(line, "missing-file", "%s: no such file in %s", path, dir);
        return;
    }
    size_t digits = digestTokenDigits(f->kind, f->value);
    char hex[2 * EVP_MAX_MD_SIZE + 1];
    if (digits && fileDigest(file, f->kind, hex, sizeof hex) && strcasecmp(hex, f->value) != 0)
        problem(line, "wrong-digest", "%s: %s %s in the manifest, %s of the file", path, f->kind, f->value, hex);
}

static void checkLine(const char *dir, int line, const char *piece, int *client)
{
    char cut[1024];
    snprintf(cut, sizeof cut, "%s", piece);
    ManifestLine f;
    char text[200];
    switch (cutManifestLine(cut, &f)) {
    case MANIFEST_NO_KIND:
    case MANIFEST_JRE:
        return;
    case MANIFEST_OTHER_KIND:
        // Empty lines are passed over too, but they hide nothing.
        if (strspn(piece, " \t\r\n") != strlen(piece))
            problem(line, "passed-over", "the kind \"%s\" is none of JRE, id, md5, sha1 (case counts)",
                    shown(f.kind, text, sizeof text));
        return;
    case MANIFEST_NO_VERSION:
        problem(line, "passed-over", "JRE without a version");
        return;
    case MANIFEST_NO_VALUE:
        problem(line, "passed-over", "no value after \"%s:\"", f.kind);
        return;
    case MANIFEST_NO_PATH:
        if (!*strip(f.value))
            problem(line, "passed-over", "no value after \"%s:\"", f.kind);
        else
            problem(line, "passed-over", "no path after \"%s:%s\"", f.kind, shown(f.value, text, sizeof text));
        return;
    case MANIFEST_ENTRY:
        checkEntry(dir, line, piece, &f, client);
        return;
    }
}

static int checkManifest(const char *dir)
{
    static char path[4096];
    if (!joinPath(path, sizeof path, dir, manifestName))
        return 1;
    gManifestPath = path;
    FILE *f = fopen(path, "rb");
    if (!f) {
        problem(0, "unreadable", "%s", strerror(errno));
        return 1;
    }
    size_t size = fread(gManifest, 1, sizeof gManifest, f);
    int large = size == sizeof gManifest && fgetc(f) != EOF;
    fclose(f);
    if (large) {
        problem(0, "unreadable", "larger than %u bytes", (unsigned)sizeof gManifest);
        return 1;
    }

    size_t at = 0;
    if (size >= 3 && memcmp(gManifest, "\xef\xbb\xbf", 3) == 0) {
        problem(1, "bom", "a byte order mark before the first line");
        at = 3;
    }
    // Read as the launcher reads it: the C runtime's text mode drops the
    // carriage return of CR LF and ends the file at byte 0x1A; fgets then hands
    // on pieces of at most 1023 characters.
    int line = 1, client = 0, nulReported = 0, longReported = 0;
    char piece[1024];
    size_t n = 0;
    for (; at <= size; ++at) {
        char c = at < size ? gManifest[at] : '\0';
        int end = at == size || c == '\x1a';
        if (c == '\x1a')
            problem(line, "end-of-file-byte", "byte 0x1A: the launcher reads nothing after it");
        if (!end && c == '\0' && nulReported != line) {
            problem(line, "nul-byte", "a NUL byte: the manifest is not text");
            nulReported = line;
        }
        if (!end && c == '\r' && at + 1 < size && gManifest[at + 1] == '\n')
            continue;
        if (!end)
            piece[n++] = c;
        if (end ? n > 0 : c == '\n' || n == sizeof piece - 1) {
            piece[n] = '\0';
            // NUL bytes: the launcher's line ends at the first.
            checkLine(dir, line, piece, &client);
            if (!end && c != '\n' && longReported != line) {
                problem(line, "long-line", "1023 characters or more: the launcher reads it in pieces");
                longReported = line;
            }
            if (c == '\n')
                ++line;
            n = 0;
        }
        if (end)
            break;
    }
    if (!client)
        problem(0, "no-client", "no line names %s, which the launcher starts", clientName);
    fprintf(stderr, "kovrel-manifest: %d problem%s in %s\n", gProblems, gProblems == 1 ? "" : "s", path);
    return gProblems ? 1 : 0;
}

// --- pin --------------------------------------------------------------------------

static int printPin(const char *pemPath)
{
    FILE *f = fopen(pemPath, "r");
    if (!f) {
        fprintf(stderr, "kovrel-manifest: %s: %s\n", pemPath, strerror(errno));
        return 1;
    }
    X509 *cert = PEM_read_X509(f, NULL, NULL, NULL);
    fclose(f);
    EVP_PKEY *key = cert ? X509_get0_pubkey(cert) : NULL;
    unsigned char *der = NULL;
    int derSize = key ? i2d_PUBKEY(key, &der) : -1;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    int ok = derSize > 0 && EVP_Digest(der, (size_t)derSize, digest, &digestSize, EVP_sha256(), NULL);
    OPENSSL_free(der);
    X509_free(cert);
    if (!ok) {
        fprintf(stderr, "kovrel-manifest: %s: no PEM certificate with a public key\n", pemPath);
        return 1;
    }
    unsigned char base64[4 * EVP_MAX_MD_SIZE / 3 + 4];
    EVP_EncodeBlock(base64, digest, (int)digestSize);
    printf("sha256//%s\n", base64);
    return 0;
}

// --- Command line -----------------------------------------------------------------

static int wrongUsage(const char *why)
{
    fprintf(stderr, "kovrel-manifest: %s\n%s", why, usage);
    return 2;
}

int main(int argc, char *argv[])
{
    if (argc < 2)
        return wrongUsage("no command");
    const char *command = argv[1];
    if (strcmp(command, "--help") == 0 || strcmp(command, "-h") == 0 || strcmp(command, "help") == 0) {
        fputs(usage, stdout);
        return 0;
    }
    if (strcmp(command, "pin") == 0)
        return argc == 3 ? printPin(argv[2]) : wrongUsage("pin takes one certificate file");
    if (strcmp(command, "check") == 0)
        return argc == 3 ? checkManifest(argv[2]) : wrongUsage("check takes one folder");
    if (strcmp(command, "write") != 0)
        return wrongUsage("unknown command");

    const char *dir = NULL, *kind = "md5", *jre = NULL;
    for (int i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "--kind") == 0 && i + 1 < argc)
            kind = argv[++i];
        else if (strcmp(argv[i], "--jre") == 0 && i + 1 < argc)
            jre = argv[++i];
        else if (argv[i][0] != '-' && !dir)
            dir = argv[i];
        else
            return wrongUsage("write takes one folder, --kind md5|sha1 and --jre VERSION");
    }
    if (!dir)
        return wrongUsage("write takes one folder");
    if (strcmp(kind, "md5") != 0 && strcmp(kind, "sha1") != 0)
        return wrongUsage("--kind is md5 or sha1");
    return writeManifest(dir, kind, jre);
}
