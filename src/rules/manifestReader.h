// The whole versions manifest, read as the launcher reads it: one pure reader
// for the update pass and for the operator's tool, so that what the tool
// reports is what the launcher does. No I/O, no Windows API.
#pragma once

#include <stddef.h>

#include "rules/manifestRules.h"

// The largest manifest (decoded body) that the launcher takes, and the tool checks.
#define MANIFEST_MAX_BYTES ((size_t)16 << 20)

// The launcher reads the manifest in pieces of at most this many characters,
// the line feed included: a longer line is several pieces.
#define MANIFEST_PIECE_CHARS 1023

// The next piece of data[*at..size) as the C library's text mode and fgets
// hand it on: a carriage return before a line feed is dropped, byte 0x1A ends
// the text, and a piece ends after its line feed or at MANIFEST_PIECE_CHARS.
// Writes it, terminated, into piece (MANIFEST_PIECE_CHARS + 1 bytes; a NUL
// byte inside ends it as a string) and moves *at past it. Returns its length,
// 0 at the end of the text.
size_t nextManifestPiece(const char *data, size_t size, size_t *at, char *piece);

// What the tool reports; the launcher needs only the items.
enum ManifestProblemCode {
    MANIFEST_BOM,              // a byte order mark before the first line (skipped)
    MANIFEST_NUL_BYTE,         // the manifest is not text: the launcher refuses it
    MANIFEST_END_OF_FILE_BYTE, // 0x1A: nothing after it is read
    MANIFEST_LONG_LINE,        // read in several pieces
    MANIFEST_PASSED_OVER,      // a line that is no entry and no "JRE" line
    MANIFEST_NOT_CANONICAL,    // never found up to date: fetched on every pass
    MANIFEST_DUPLICATE_PATH,   // a path named before, ignoring case: passed over
};

// The code's name as the tool prints it ("bom", "nul-byte", ...).
const char *manifestProblemName(enum ManifestProblemCode code);

struct ManifestProblem {
    unsigned line; // 1-based
    enum ManifestProblemCode code;
    char detail[720];
};

// A "JRE" line or an entry, in manifest order.
struct ManifestItem {
    enum ManifestLineForm form; // MANIFEST_JRE or MANIFEST_ENTRY
    struct ManifestLine fields; // into the manifest's own text
    unsigned line;              // 1-based
    size_t firstOf;             // entries: the item that named this path first (itself when none)
};

struct Manifest {
    struct ManifestItem *items;
    size_t count;
    size_t entries; // items that are entries
    size_t repeats; // entries whose path was named before
    int zeroByte;   // a NUL byte: not a text manifest
    int bom;
    struct ManifestProblem *problems; // only when asked for
    size_t problemCount;              // all found; at most MANIFEST_MAX_PROBLEMS are kept
    char *text;
};

#define MANIFEST_MAX_PROBLEMS 10000

// Reads data[0..size) whole into manifest; with problems, also what the tool
// reports. 0 when memory ran out (manifest then holds nothing to free).
int readManifest(const char *data, size_t size, int problems, struct Manifest *manifest);
void freeManifest(struct Manifest *manifest);
