#include "launcher/Usage.h"

#include <curl/curl.h>
#include <stdio.h>
#include <windows.h>

#include "deploy/Deploy.h"
#include "text/Utf8.h"

#define EXAMPLE_LINK \
    "kovrel://https://192.168.10.20:8443/kovrel/servlet/Launch" \
    "?3f2504e0-4f89-11d3-9a0c-0305e82c3301?jsmith"

void InfoEXE(const char *path, char *out, size_t outSize)
{
    // A file that cannot be examined shows zeros, not stale stack contents.
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    SYSTEMTIME st = {};
    wchar_t name[MAX_PATH];
    if (toWide(path, name, MAX_PATH) && GetFileAttributesExW(name, GetFileExInfoStandard, &data))
        FileTimeToSystemTime(&data.ftLastWriteTime, &st);

    int n = snprintf(out, outSize, "Created: %04d-%02d-%02d %02d:%02d:%02d\nSize:    %lu bytes\n\n",
                     st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond,
                     data.nFileSizeLow);
    if (n < 0 || (size_t)n >= outSize)
        return;
    const curl_version_info_data *curl = curl_version_info(CURLVERSION_FIFTH);
    snprintf(out + n, outSize - n, "cURL:    version %s, SSL %s (%s)", curl->version,
             curl->ssl_version ? curl->ssl_version : "",
             (curl->features & CURL_VERSION_SSL) ? "enabled" : "disabled");
}

void programPath(char *path, size_t size)
{
    wchar_t wide[MAX_PATH];
    DWORD n = GetModuleFileNameW(NULL, wide, MAX_PATH);
    if (n == 0 || n >= MAX_PATH || !toUtf8(wide, path, size))
        snprintf(path, size, "?");
}

void help(void)
{
    char path[UTF8_PATH_SIZE], info[1024];
    programPath(path, sizeof path);
    InfoEXE(path, info, sizeof info);
    printf("\n" KOVREL_PRODUCT "\n%s\n\nSintax: kovrel <parameter>\nEx:     kovrel " EXAMPLE_LINK "\n" DEPLOY_USAGE "\n",
           info);
}
