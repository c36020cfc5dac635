// A private temporary folder for one test: TMP and TEMP point at it while the
// object lives, so the log and the work folder of the code under test land there.
#pragma once

#include <string>
#include <vector>

class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;

    // The folder, with a trailing backslash, as GetTempPathA now reports it.
    const std::string &path() const { return path_; }
    std::string logText() const;

private:
    std::string path_;
    std::string oldTmp_, oldTemp_;
};

std::string readFile(const std::string &path);
// The lines of a log text, each without its CR LF.
std::vector<std::string> logLines(const std::string &text);
void writeFile(const std::string &path, const std::string &content);
bool fileExists(const std::string &path);
