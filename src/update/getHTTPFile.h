// One HTTP(S) download into one local file.
#pragma once

// Fetches url into path. Returns 1 when the file now holds the complete body
// of a successful response, 0 otherwise (the file is then as it was).
int getHTTPFile(const char *url, const char *path);
