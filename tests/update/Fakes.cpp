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

int fetchFiles(const Downloads *, FetchJob *jobs, size_t count)
{
    int all = 1;
    for (size_t i = 0; i < count; ++i) {
        fakeCalls.push_back(std::string("get ") + jobs[i].url);
        fakeDigestKinds.push_back(jobs[i].digestKind ? jobs[i].digestKind : "-");
        auto body = fakeServer.find(jobs[i].url);
        FILE *f = body == fakeServer.end() ? NULL : fopen(jobs[i].path, "wb");
        if (f) {
            fwrite(body->second.data(), 1, body->second.size(), f);
            fclose(f);
        }
        all &= jobs[i].ok = f != NULL;
    }
    return all;
}
