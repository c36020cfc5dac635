#include "Fakes.h"

#include <stdio.h>

#include "process/ListProcesses.h"
#include "update/getHTTPFile.h"

std::vector<std::string> fakeCalls;
std::map<std::string, std::string> fakeServer;
int fakeSearchResult;
std::vector<std::string> fakeDigestKinds;

void resetFakes()
{
    fakeCalls.clear();
    fakeServer.clear();
    fakeSearchResult = 0;
    fakeDigestKinds.clear();
}

int SearchProcesses(const char *searchText, int action)
{
    fakeCalls.push_back(std::string("search ") + searchText + "|" + std::to_string(action));
    return fakeSearchResult;
}

int getHTTPFile(const Downloads *, const char *url, const char *path, const char *digestKind, const char *)
{
    fakeCalls.push_back(std::string("get ") + url + "|" + path);
    fakeDigestKinds.push_back(digestKind ? digestKind : "-");
    auto body = fakeServer.find(url);
    if (body == fakeServer.end())
        return 0;
    FILE *f = fopen(path, "wb");
    if (!f)
        return 0;
    fwrite(body->second.data(), 1, body->second.size(), f);
    fclose(f);
    return 1;
}
