#include "TempFolder.h"

#include <stdio.h>
#include <windows.h>

static std::string getEnv(const char *name)
{
    char value[MAX_PATH] = "";
    GetEnvironmentVariableA(name, value, sizeof value);
    return value;
}

static void removeTree(const std::string &dir)
{
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string name = fd.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string full = dir + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                removeTree(full + "\\");
            else {
                SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(full.c_str());
            }
        } while (FindNextFileA(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryA(dir.c_str());
}

TempFolder::TempFolder() : oldTmp_(getEnv("TMP")), oldTemp_(getEnv("TEMP"))
{
    static unsigned counter;
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    char name[MAX_PATH];
    snprintf(name, sizeof name, "%skt%lu_%u\\", base, GetCurrentProcessId(), ++counter);
    path_ = name;
    removeTree(path_);
    CreateDirectoryA(path_.c_str(), NULL);
    SetEnvironmentVariableA("TMP", path_.c_str());
    SetEnvironmentVariableA("TEMP", path_.c_str());
}

TempFolder::~TempFolder()
{
    SetEnvironmentVariableA("TMP", oldTmp_.c_str());
    SetEnvironmentVariableA("TEMP", oldTemp_.c_str());
    removeTree(path_);
}

std::string TempFolder::logText() const { return readFile(path_ + "Kovrel.log"); }

std::string readFile(const std::string &path)
{
    std::string content;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return content;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        content.append(buf, n);
    fclose(f);
    return content;
}

void writeFile(const std::string &path, const std::string &content)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f) {
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
    }
}

bool fileExists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> logLines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = text.find("\r\n", start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}
