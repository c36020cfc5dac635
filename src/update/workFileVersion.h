// The update pass: brings the work folder into line with the versions manifest.
#pragma once

#include <stddef.h>

struct Downloads;

// One pass: what the run hands it, and what it learns as it goes.
struct UpdatePass {
    // Set by the caller.
    const char *workFolder;
    const char *appletsURL; // ending in "/": below it, every file of the manifest
    const char *javaExe;    // the Java launcher whose running clients the pass terminates
    int verifyDigests;      // as the administrator's VerifyDigests: 1 a digest token must match
                            // the file it names, 2 and every entry must carry one
    bool signedManifest;    // the manifest's signature was checked: every entry must be a
                            // sha256 digest, and each one is verified
    const Downloads *downloads;
    // The pass's own, zero at its start.
    bool clientsSearched; // the search for running clients was made
    int clientsFound;     // and its result
    int installedRead;    // 0 not yet, 1 read, -1 could not be opened (errno in installedError)
    int installedError;
    char *installedText;         // the installed manifest's lines, stripped
    const char **installedLines; // sorted
    size_t installedCount;
    const struct ManifestItem **needed; // the entries whose file the pass fetches, in manifest order
    size_t neededCount, neededRoom;
    char minimumJava[64]; // the newest of the manifest's "JRE" versions; "" none
};

// The pass over the manifest at manifestPath ("fcompare.new" in the work
// folder), in three phases. Check: each entry's file is looked at in the work
// folder and the installed manifest, with no network; a UTF-8 byte order
// mark is skipped, and a path named before is passed over. Fetch: every
// changed or missing file is downloaded into the staging folder (fetchFiles)
// while the client keeps running. Switch: only when every entry passed and
// every file arrived, running clients are terminated, each file moves into
// place with the one it replaces kept aside (and put back, all of them, when
// a move fails), and the manifest becomes the installed "fcompare.ini".
// Returns 1 when the work folder holds the new version whole; 0 when it still
// holds the old one whole: the manifest cannot be read, holds a zero byte
// (not text), an entry failed its check, a file failed, or the switch failed;
// PASS_NOT_A_MANIFEST, with nothing done, when it names no file at all (an
// error page, for instance). Releases what the pass held.
int workFileVersion(UpdatePass *pass, const char *manifestPath);

#define PASS_NOT_A_MANIFEST (-1)

// A switch that a run left cut short (ended in the middle, or its machine
// stopped) is finished from its journal: its files put back while its
// manifest had not moved in, so that the old version is whole again, and
// what it kept aside removed after. For each run, before anything reads the
// work folder.
void finishCutSwitch(const char *workFolder);

// True while the journal of a switch that could not be put back stands: the
// work folder then holds files of two versions, and no client may start from it.
bool switchNotPutBack(const char *workFolder);

// The minimum Java version that the work folder's installed "fcompare.ini"
// names, chosen as the pass chooses it, into out (64 bytes); "" when it names
// none or cannot be read. For a run whose pass did not run on a new manifest.
void installedMinimumJava(const char *workFolder, char *out);

#ifdef KOVREL_UNITTESTS
// One manifest line (cut up in place) as a pass of that line alone: 0 when its
// path was refused or its file failed; 1 otherwise (up to date, fetched and
// switched to, "JRE" or passed over).
int workFileVersionLine(UpdatePass *pass, char *line);

// 1 when the work folder holds path and "kind:value path" stands, as a line
// without tabs and line feeds, in its "fcompare.ini"; 0 otherwise.
int checkFileEqual(UpdatePass *pass, const char *path, const char *value, const char *kind);

// Releases what the pass read.
void endUpdatePass(UpdatePass *pass);
#endif
