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

#include "rules/launcherNames.h"
#include "rules/manifestReader.h"
#include "rules/manifestRules.h"

#define STRINGIFY_(x) #x
#define STRINGIFY(x) STRINGIFY_(x)

static const char manifestName[] = MANIFEST_NAME;
static const char clientName[] = CLIENT_JAR;

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
             shownText(target, shownTarget, sizeof shownTarget));
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
            fprintf(stderr, "kovrel-manifest: %s/%s: %s\n", dir, shownText(name, text, sizeof text), problem);
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

static const char *gManifestPath;
static size_t gProblems;

static void problem(unsigned line, const char *code, const char *format, ...) __attribute__((format(printf, 3, 4)));

static void problem(unsigned line, const char *code, const char *format, ...)
{
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    printf("%s:%u: %s: %s\n", gManifestPath, line, code, text);
    ++gProblems;
}

// What the folder holds for one entry, beyond what the reader found.
static void checkEntry(const char *dir, const ManifestItem *item)
{
    const ManifestLine *f = &item->fields;
    char path[600];
    shownText(f->path, path, sizeof path);
    const char *rule = pathRefusal(f->path);
    if (!rule && !pathFits(f->path, MANIFEST_WORK_FOLDER_BUDGET))
        rule = "too long for a work folder of " STRINGIFY(MANIFEST_WORK_FOLDER_BUDGET) " characters";
    if (rule) {
        problem(item->line, "refused-path", "%s: %s; the line fails and the client is not started", path, rule);
        return;
    }
    if ((rule = publishedNameProblem(f->path))) {
        problem(item->line, strpbrk(f->path, "/\\") ? "sub-folder" : "bad-name", "%s: %s", path, rule);
        return;
    }
    char file[4096];
    if (!joinPath(file, sizeof file, dir, f->path))
        return;
    if (!isRegularFile(file)) {
        problem(item->line, "missing-file", "%s: no such file in %s", path, dir);
        return;
    }
    size_t digits = digestTokenDigits(f->kind, f->value);
    char hex[2 * EVP_MAX_MD_SIZE + 1];
    if (digits && fileDigest(file, f->kind, hex, sizeof hex) && strcasecmp(hex, f->value) != 0)
        problem(item->line, "wrong-digest", "%s: %s %s in the manifest, %s of the file", path, f->kind, f->value,
                hex);
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
    // The launcher's own limit, and one byte to see a manifest past it.
    static char data[MANIFEST_MAX_BYTES + 1];
    size_t size = fread(data, 1, sizeof data, f);
    fclose(f);
    if (size > MANIFEST_MAX_BYTES) {
        problem(0, "unreadable", "larger than %u bytes, which the launcher refuses", (unsigned)MANIFEST_MAX_BYTES);
        return 1;
    }
    Manifest manifest;
    if (!readManifest(data, size, 1, &manifest)) {
        problem(0, "unreadable", "out of memory");
        return 1;
    }
    size_t kept = manifest.problemCount < MANIFEST_MAX_PROBLEMS ? manifest.problemCount : MANIFEST_MAX_PROBLEMS;
    for (size_t i = 0; i < kept; ++i) {
        const ManifestProblem *p = &manifest.problems[i];
        problem(p->line, manifestProblemName(p->code), "%s", p->detail);
    }
    gProblems += manifest.problemCount - kept;
    int client = 0;
    for (size_t i = 0; i < manifest.count; ++i) {
        const ManifestItem *item = &manifest.items[i];
        if (item->form != MANIFEST_ENTRY || item->firstOf != i)
            continue;
        checkEntry(dir, item);
        client |= strcmp(item->fields.path, clientName) == 0;
    }
    freeManifest(&manifest);
    if (!client)
        problem(0, "no-client", "no line names %s, which the launcher starts", clientName);
    fprintf(stderr, "kovrel-manifest: %zu problem%s in %s\n", gProblems, gProblems == 1 ? "" : "s", path);
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
