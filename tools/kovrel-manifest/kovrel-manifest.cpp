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
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "rules/launcherNames.h"
#include "rules/manifestReader.h"
#include "rules/manifestRules.h"
#include "rules/manifestSignature.h"

#define STRINGIFY_(x) #x
#define STRINGIFY(x) STRINGIFY_(x)

static const char manifestName[] = MANIFEST_NAME;
static const char signatureName[] = SIGNATURE_NAME;
static const char clientName[] = CLIENT_JAR;

static const char usage[] =
    "Usage:\n"
    "  kovrel-manifest write DIR [--kind md5|sha1|sha256] [--jre VERSION]\n"
    "                        [--serial N] [--expires-days D]\n"
    "      Prints a manifest for the files at the top level of DIR (all but\n"
    "      fcompare.ini and fcompare.ini.sig): one line \"KIND:DIGEST NAME\" per file\n"
    "      in byte order of the names, LF line ends, \"JRE:VERSION\" first when\n"
    "      given, and before it \"serial N\" and \"expires TIME\" (D days from now,\n"
    "      UTC) for a signed manifest. Fails, printing\n"
    "      nothing, when a name would be refused or mis-handled by the launcher, when\n"
    "      DIR holds a sub-folder or a symbolic link that leads out of it, or when\n"
    "      Marvique.jar is missing.\n"
    "  kovrel-manifest check DIR\n"
    "      Reports every problem the launcher would meet with DIR/fcompare.ini,\n"
    "      one per line: \"DIR/fcompare.ini:LINE: CODE: TEXT\" (LINE 0: the whole\n"
    "      manifest). Codes: bom, nul-byte, end-of-file-byte, long-line,\n"
    "      passed-over, not-canonical, refused-path, sub-folder, bad-name,\n"
    "      duplicate-path, missing-file, wrong-digest, no-client, unreadable;\n"
    "      where DIR holds fcompare.ini.sig, also unsigned-kind and freshness.\n"
    "      Exits 1 when there is any.\n"
    "  kovrel-manifest keygen KEYFILE [--id ID]\n"
    "      Writes a new ECDSA P-256 private key to KEYFILE (PEM, mode 0600; an\n"
    "      existing file is never overwritten) and prints its entry for the\n"
    "      administrator value ManifestPublicKeys, \"ID:BASE64\" (ID: the file's\n"
    "      name without its extension unless given).\n"
    "  kovrel-manifest sign DIR --key KEYFILE --id ID\n"
    "      Signs DIR/fcompare.ini as it is and writes the line \"ID SIGNATURE\" into\n"
    "      DIR/fcompare.ini.sig, replacing a line of the same ID and keeping others.\n"
    "  kovrel-manifest verify DIR --public ENTRY... [--last-serial N]\n"
    "      Checks DIR/fcompare.ini as a launcher with these ManifestPublicKeys\n"
    "      entries would: a signature of a listed key, the freshness lines (N: the\n"
    "      highest serial the launcher accepted before) and sha256 entries only;\n"
    "      says why on failure. Exits 0 when the launcher would accept it.\n"
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
    const EVP_MD *md = strcmp(kind, "sha1") == 0 ? EVP_sha1() : strcmp(kind, "sha256") == 0 ? EVP_sha256() : EVP_md5();
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
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || strcmp(name, manifestName) == 0 ||
            strcmp(name, signatureName) == 0)
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

// The freshness lines of a signed manifest: "serial N" (serial non-null) and
// "expires" days from now (days > 0), into text; the length written.
static size_t freshnessLines(const char *serial, long days, char *text, size_t size)
{
    size_t n = 0;
    if (serial)
        n += (size_t)snprintf(text + n, size - n, "serial %s\n", serial);
    if (days > 0) {
        time_t at = time(NULL) + (time_t)days * 86400;
        struct tm utc;
        gmtime_r(&at, &utc);
        n += strftime(text + n, size - n, "expires %Y-%m-%dT%H:%M:%SZ\n", &utc);
    }
    return n;
}

static int writeManifest(const char *dir, const char *kind, const char *jre, const char *serial, long days)
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
    size_t n = freshnessLines(serial, days, text, sizeof text);
    if (jre)
        n += (size_t)snprintf(text + n, sizeof text - n, "JRE:%s\n", jre);
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

static int signedFolder(const char *dir)
{
    char sig[4096];
    return joinPath(sig, sizeof sig, dir, signatureName) && isRegularFile(sig);
}

// What a launcher with ManifestPublicKeys refuses in a manifest that it
// otherwise takes: every entry but sha256, and missing or bad freshness lines.
static void checkSigned(const Manifest *manifest, const char *data, size_t size)
{
    for (size_t i = 0; i < manifest->count; ++i) {
        const ManifestItem *item = &manifest->items[i];
        if (item->form == MANIFEST_ENTRY && item->firstOf == i &&
            (strcmp(item->fields.kind, "sha256") != 0 || !digestTokenDigits("sha256", item->fields.value))) {
            char path[600];
            problem(item->line, "unsigned-kind", "%s: a %s entry, which a launcher with signed manifests refuses",
                    shownText(item->fields.path, path, sizeof path), item->fields.kind);
        }
    }
    ManifestFreshness freshness;
    readFreshness(data, size, &freshness);
    if (freshness.badLine)
        problem(freshness.badLine, "freshness", "%s", freshness.problem);
    else if (!freshness.hasExpires)
        problem(0, "freshness", "no expires line, which a launcher with signed manifests requires");
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
    if (signedFolder(dir))
        checkSigned(&manifest, data, size);
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

// --- Signing ----------------------------------------------------------------------

static int wrongUsage(const char *why);

// Reads the file at path whole, at most maxSize bytes, into a heap block
// ended by a zero byte; null with a message when it cannot be read or is larger.
static char *readFile(const char *path, size_t maxSize, size_t *size)
{
    FILE *f = fopen(path, "rb");
    char *data = f ? (char *)malloc(maxSize + 1) : NULL;
    size_t n = data ? fread(data, 1, maxSize + 1, f) : 0;
    const char *why = !f ? strerror(errno) : !data ? "out of memory" : ferror(f) ? "read error" : NULL;
    if (f)
        fclose(f);
    if (!why && n > maxSize)
        why = "larger than the launcher takes";
    if (why) {
        fprintf(stderr, "kovrel-manifest: %s: %s\n", path, why);
        free(data);
        return NULL;
    }
    data[n] = '\0';
    *size = n;
    return data;
}

// The entry "id:base64" of key's public part into out; 0 when key is no P-256
// key in the form the launcher reads.
static int publicEntry(EVP_PKEY *key, const char *id, char *out, size_t outSize)
{
    unsigned char *der = NULL;
    int derSize = i2d_PUBKEY(key, &der);
    char base64[4 * P256_SPKI_BYTES / 3 + 4];
    int ok = derSize == P256_SPKI_BYTES;
    if (ok) {
        EVP_EncodeBlock((unsigned char *)base64, der, derSize);
        snprintf(out, outSize, "%s:%s", id, base64);
        ManifestPublicKey parsed;
        ok = parsePublicKeyEntry(out, strlen(out), &parsed, NULL);
    }
    OPENSSL_free(der);
    return ok;
}

static int keygen(const char *keyFile, const char *id)
{
    char stem[256];
    if (!id) {
        const char *base = strrchr(keyFile, '/') ? strrchr(keyFile, '/') + 1 : keyFile;
        snprintf(stem, sizeof stem, "%.*s", (int)strcspn(base, "."), base);
        id = stem;
    }
    if (!isKeyId(id, strlen(id))) {
        fprintf(stderr, "kovrel-manifest: key id \"%s\": 1 to %d letters, digits, '.', '_' or '-' (give --id)\n",
                id, KEY_ID_MAX_CHARS);
        return 2;
    }
    EVP_PKEY *key = EVP_PKEY_Q_keygen(NULL, NULL, "EC", "P-256");
    char entry[256];
    if (!key || !publicEntry(key, id, entry, sizeof entry)) {
        fprintf(stderr, "kovrel-manifest: no P-256 key could be made\n");
        EVP_PKEY_free(key);
        return 1;
    }
    // Never over an existing key: a lost key cannot be got back.
    int fd = open(keyFile, O_WRONLY | O_CREAT | O_EXCL, 0600);
    FILE *f = fd >= 0 && fchmod(fd, 0600) == 0 ? fdopen(fd, "w") : NULL;
    int ok = f && PEM_write_PrivateKey(f, key, NULL, NULL, 0, NULL, NULL);
    int err = errno;
    if (f ? fclose(f) != 0 : fd >= 0 && close(fd) != 0)
        ok = 0;
    EVP_PKEY_free(key);
    if (!ok) {
        fprintf(stderr, "kovrel-manifest: %s: %s\n", keyFile, fd < 0 ? strerror(err) : "cannot be written");
        if (fd >= 0)
            unlink(keyFile);
        return 1;
    }
    // The entry names the key: without it the key is of no use, and it would
    // keep keygen from making another at that name.
    if (printf("%s\n", entry) < 0 || fflush(stdout) != 0) {
        fprintf(stderr, "kovrel-manifest: writing the entry: %s\n", strerror(errno));
        unlink(keyFile);
        return 1;
    }
    return 0;
}

static int sign(const char *dir, const char *keyFile, const char *id)
{
    if (!isKeyId(id, strlen(id))) {
        fprintf(stderr, "kovrel-manifest: key id \"%s\": 1 to %d letters, digits, '.', '_' or '-'\n", id,
                KEY_ID_MAX_CHARS);
        return 2;
    }
    char manifestPath[4096], sigPath[4096], staged[4200], entry[256];
    if (!joinPath(manifestPath, sizeof manifestPath, dir, manifestName) ||
        !joinPath(sigPath, sizeof sigPath, dir, signatureName))
        return 1;
    FILE *k = fopen(keyFile, "r");
    EVP_PKEY *key = k ? PEM_read_PrivateKey(k, NULL, NULL, NULL) : NULL;
    if (k)
        fclose(k);
    if (!key || !publicEntry(key, id, entry, sizeof entry)) {
        fprintf(stderr, "kovrel-manifest: %s: no ECDSA P-256 private key in PEM\n", keyFile);
        EVP_PKEY_free(key);
        return 1;
    }
    size_t size = 0, oldSize = 0;
    char *data = readFile(manifestPath, MANIFEST_MAX_BYTES, &size);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    unsigned char der[80];
    size_t derSize = sizeof der;
    int ok = data && ctx && EVP_DigestSignInit(ctx, NULL, EVP_sha256(), NULL, key) == 1 &&
             EVP_DigestSign(ctx, der, &derSize, (const unsigned char *)data, size) == 1;
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    free(data);
    if (!ok) {
        if (data)
            fprintf(stderr, "kovrel-manifest: %s: not signed\n", manifestPath);
        return 1;
    }
    // The other keys' lines stay; this key's line is replaced.
    char *old = isRegularFile(sigPath) ? readFile(sigPath, SIGNATURE_MAX_BYTES, &oldSize) : (char *)calloc(1, 1);
    if (!old)
        return 1;
    snprintf(staged, sizeof staged, "%s.new", sigPath);
    FILE *out = fopen(staged, "wb");
    ok = out != NULL;
    for (size_t at = 0; ok && at < oldSize;) {
        const char *line = old + at, *nl = (const char *)memchr(line, '\n', oldSize - at);
        size_t len = nl ? (size_t)(nl - line) : oldSize - at, idLen = strcspn(line, " \n");
        at += len + (nl ? 1 : 0);
        bool same = idLen == strlen(id) && strncmp(line, id, idLen) == 0;
        if (len && !same)
            ok = fwrite(line, 1, len, out) == len && fputc('\n', out) != EOF;
    }
    char base64[4 * sizeof der / 3 + 4];
    EVP_EncodeBlock((unsigned char *)base64, der, (int)derSize);
    ok = ok && fprintf(out, "%s %s\n", id, base64) > 0;
    free(old);
    if (out && fclose(out) != 0)
        ok = 0;
    if (!ok || rename(staged, sigPath) != 0) {
        fprintf(stderr, "kovrel-manifest: %s: %s\n", sigPath, strerror(errno));
        unlink(staged);
        return 1;
    }
    return 0;
}

// 1 when rs is a signature of data by the public key in spki.
static int verifiedBy(const unsigned char *spki, const unsigned char rs[64], const char *data, size_t size)
{
    const unsigned char *p = spki;
    EVP_PKEY *key = d2i_PUBKEY(NULL, &p, P256_SPKI_BYTES);
    ECDSA_SIG *sig = ECDSA_SIG_new();
    BIGNUM *r = BN_bin2bn(rs, 32, NULL), *s = BN_bin2bn(rs + 32, 32, NULL);
    int ok = 0;
    if (key && sig && r && s && ECDSA_SIG_set0(sig, r, s)) {
        r = s = NULL;
        unsigned char *der = NULL;
        int derSize = i2d_ECDSA_SIG(sig, &der);
        EVP_MD_CTX *ctx = EVP_MD_CTX_new();
        ok = derSize > 0 && ctx && EVP_DigestVerifyInit(ctx, NULL, EVP_sha256(), NULL, key) == 1 &&
             EVP_DigestVerify(ctx, der, (size_t)derSize, (const unsigned char *)data, size) == 1;
        EVP_MD_CTX_free(ctx);
        OPENSSL_free(der);
    }
    BN_free(r);
    BN_free(s);
    ECDSA_SIG_free(sig);
    EVP_PKEY_free(key);
    return ok;
}

// The launcher's decision on DIR, in the launcher's words.
static int verify(const char *dir, const char *const *entries, int count, const char *lastSerial)
{
    static ManifestPublicKey keys[64];
    for (int i = 0; i < count; ++i) {
        const char *why;
        if (!parsePublicKeyEntry(entries[i], strlen(entries[i]), &keys[i], &why)) {
            fprintf(stderr, "kovrel-manifest: --public %s: %s\n", entries[i], why);
            return 2;
        }
    }
    uint64_t last = 0;
    if (lastSerial && !parseSerial(lastSerial, strlen(lastSerial), &last))
        return wrongUsage("--last-serial is a decimal number up to 2^63");
    char manifestPath[4096], sigPath[4096];
    if (!joinPath(manifestPath, sizeof manifestPath, dir, manifestName) ||
        !joinPath(sigPath, sizeof sigPath, dir, signatureName))
        return 1;
    size_t size = 0, sigSize = 0;
    char *data = readFile(manifestPath, MANIFEST_MAX_BYTES, &size);
    char *sigs = data && isRegularFile(sigPath) ? readFile(sigPath, SIGNATURE_MAX_BYTES, &sigSize) : NULL;
    if (!sigs) {
        printf("%s: refused: no signature file\n", manifestPath);
        free(data);
        return 1;
    }
    const char *signer = NULL;
    SignatureLine line;
    size_t at = 0;
    unsigned number = 0;
    while (!signer && nextSignatureLine(sigs, sigSize, &at, &number, &line)) {
        if (line.malformed) {
            printf("%s:%u: malformed, %s\n", sigPath, line.number, line.malformed);
            continue;
        }
        // As the launcher: every listed key of the line's id is tried.
        bool known = false;
        for (int i = 0; i < count && !signer; ++i) {
            if (strcmp(keys[i].id, line.id) != 0)
                continue;
            known = true;
            if (verifiedBy(keys[i].spki, line.rs, data, size))
                signer = keys[i].id;
        }
        if (!signer)
            printf("%s:%u: key id %s: %s\n", sigPath, line.number, line.id, known ? "bad signature" : "unknown id");
    }
    free(sigs);
    int ok = signer != NULL;
    if (!ok)
        printf("%s: refused: no signature of a listed key verifies\n", manifestPath);
    ManifestFreshness freshness;
    readFreshness(data, size, &freshness);
    char why[200];
    if (ok && freshnessRefusal(&freshness, (int64_t)time(NULL), lastSerial != NULL, last, why, sizeof why)) {
        printf("%s: refused: %s\n", manifestPath, why);
        ok = 0;
    }
    Manifest manifest;
    if (ok && readManifest(data, size, 0, &manifest)) {
        for (size_t i = 0; i < manifest.count; ++i) {
            const ManifestItem *item = &manifest.items[i];
            if (item->form == MANIFEST_ENTRY && item->firstOf == i &&
                (strcmp(item->fields.kind, "sha256") != 0 || !digestTokenDigits("sha256", item->fields.value))) {
                printf("%s:%u: refused: not a sha256 entry\n", manifestPath, item->line);
                ok = 0;
                continue;
            }
            // The launcher fetches the file and refuses it when its digest differs.
            char file[4096], hex[2 * EVP_MAX_MD_SIZE + 1];
            if (item->form == MANIFEST_ENTRY && item->firstOf == i &&
                (!joinPath(file, sizeof file, dir, item->fields.path) || !isRegularFile(file) ||
                 !fileDigest(file, "sha256", hex, sizeof hex) || strcasecmp(hex, item->fields.value) != 0)) {
                printf("%s:%u: refused: %s does not have this sha256 digest\n", manifestPath, item->line,
                       item->fields.path);
                ok = 0;
            }
        }
        freeManifest(&manifest);
    }
    free(data);
    if (ok)
        printf("%s: accepted, signed by key id %s\n", manifestPath, signer);
    return ok ? 0 : 1;
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
    if (strcmp(command, "keygen") == 0) {
        if (argc == 3 && argv[2][0] != '-')
            return keygen(argv[2], NULL);
        if (argc == 5 && argv[2][0] != '-' && strcmp(argv[3], "--id") == 0)
            return keygen(argv[2], argv[4]);
        return wrongUsage("keygen takes one key file and --id ID");
    }
    if (strcmp(command, "sign") == 0) {
        const char *dir = NULL, *key = NULL, *id = NULL;
        for (int i = 2; i < argc; ++i) {
            if (strcmp(argv[i], "--key") == 0 && i + 1 < argc)
                key = argv[++i];
            else if (strcmp(argv[i], "--id") == 0 && i + 1 < argc)
                id = argv[++i];
            else if (argv[i][0] != '-' && !dir)
                dir = argv[i];
            else
                return wrongUsage("sign takes one folder, --key KEYFILE and --id ID");
        }
        return dir && key && id ? sign(dir, key, id) : wrongUsage("sign takes one folder, --key KEYFILE and --id ID");
    }
    if (strcmp(command, "verify") == 0) {
        const char *dir = NULL, *last = NULL;
        static const char *entries[64];
        int count = 0;
        for (int i = 2; i < argc; ++i) {
            if (strcmp(argv[i], "--public") == 0) {
                while (i + 1 < argc && argv[i + 1][0] != '-' && count < 64)
                    entries[count++] = argv[++i];
            } else if (strcmp(argv[i], "--last-serial") == 0 && i + 1 < argc) {
                last = argv[++i];
            } else if (argv[i][0] != '-' && !dir) {
                dir = argv[i];
            } else {
                return wrongUsage("verify takes one folder, --public ENTRY... and --last-serial N");
            }
        }
        if (!dir || !count)
            return wrongUsage("verify takes one folder and --public ENTRY...");
        return verify(dir, entries, count, last);
    }
    if (strcmp(command, "write") != 0)
        return wrongUsage("unknown command");

    const char *dir = NULL, *kind = "md5", *jre = NULL, *serial = NULL;
    long days = 0;
    for (int i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "--kind") == 0 && i + 1 < argc)
            kind = argv[++i];
        else if (strcmp(argv[i], "--jre") == 0 && i + 1 < argc)
            jre = argv[++i];
        else if (strcmp(argv[i], "--serial") == 0 && i + 1 < argc)
            serial = argv[++i];
        else if (strcmp(argv[i], "--expires-days") == 0 && i + 1 < argc) {
            char *end;
            days = strtol(argv[++i], &end, 10);
            if (*end || days < 1 || days > 36500)
                return wrongUsage("--expires-days is a number of days from 1 to 36500");
        } else if (argv[i][0] != '-' && !dir)
            dir = argv[i];
        else
            return wrongUsage("write takes one folder, --kind md5|sha1|sha256, --jre VERSION, --serial N and "
                              "--expires-days D");
    }
    if (!dir)
        return wrongUsage("write takes one folder");
    if (strcmp(kind, "md5") != 0 && strcmp(kind, "sha1") != 0 && strcmp(kind, "sha256") != 0)
        return wrongUsage("--kind is md5, sha1 or sha256");
    uint64_t number;
    if (serial && !parseSerial(serial, strlen(serial), &number))
        return wrongUsage("--serial is a decimal number up to 2^63");
    return writeManifest(dir, kind, jre, serial, days);
}
