// Stand-ins for the download and the process search, so that the update pass
// runs in-process against a scripted server.
#pragma once

#include <map>
#include <string>
#include <vector>

// Every call in order: "search <text>|<action>" or "get <url>" (one a file).
extern std::vector<std::string> fakeCalls;
// url -> body. A URL not listed fails and leaves the file as it was.
extern std::map<std::string, std::string> fakeServer;
extern int fakeSearchResult;
// The digest kind each get was to verify, "-" for none.
extern std::vector<std::string> fakeDigestKinds;

void resetFakes();
