#include "rules/javaVersion.h"

#include <string.h>

static int isDigit(char c)
{
    return c >= '0' && c <= '9';
}

int parseJavaVersion(const char *text, struct JavaVersion *version)
{
    if (!text || !isDigit(*text))
        return 0;
    unsigned numbers[JAVA_VERSION_PARTS + 1], count = 0;
    const char *p = text;
    for (;;) {
        unsigned value = 0, digits = 0;
        for (; isDigit(*p); ++p) {
            if (++digits > 9)
                return 0;
            value = value * 10 + (unsigned)(*p - '0');
        }
        if (count < JAVA_VERSION_PARTS + 1)
            numbers[count++] = value;
        if ((*p != '.' && *p != '_') || !isDigit(p[1]))
            break;
        ++p;
    }
    // Java 8 and earlier: 1.8.0_392 is version 8, update 392.
    unsigned skip = count > 1 && numbers[0] == 1 ? 1 : 0;
    struct JavaVersion read = {};
    for (unsigned i = skip; i < count && read.count < JAVA_VERSION_PARTS; ++i)
        read.parts[read.count++] = numbers[i];
    *version = read;
    return 1;
}

int compareJavaVersions(const struct JavaVersion *a, const struct JavaVersion *b)
{
    for (unsigned i = 0; i < JAVA_VERSION_PARTS; ++i) {
        unsigned x = i < a->count ? a->parts[i] : 0, y = i < b->count ? b->parts[i] : 0;
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

int javaVersionAtLeast(const char *version, const char *minimum)
{
    struct JavaVersion v, m;
    if (!parseJavaVersion(version, &v))
        return -1;
    if (!parseJavaVersion(minimum, &m))
        return 1;
    return compareJavaVersions(&v, &m) >= 0;
}

int releaseJavaVersion(const char *data, size_t size, char *out, size_t outSize)
{
    static const char name[] = "JAVA_VERSION=";
    const size_t nameLen = sizeof name - 1;
    for (size_t at = 0; at < size;) {
        const char *line = data + at;
        const char *lf = (const char *)memchr(line, '\n', size - at);
        size_t len = lf ? (size_t)(lf - line) : size - at;
        at += len + 1;
        if (len && line[len - 1] == '\r')
            --len;
        if (len < nameLen || memcmp(line, name, nameLen) != 0)
            continue;
        const char *value = line + nameLen;
        size_t valueLen = len - nameLen;
        if (valueLen >= 2 && value[0] == '"' && value[valueLen - 1] == '"') {
            ++value;
            valueLen -= 2;
        }
        if (!valueLen || valueLen >= outSize || memchr(value, '\0', valueLen))
            return 0;
        memcpy(out, value, valueLen);
        out[valueLen] = '\0';
        return 1;
    }
    return 0;
}

const char *versionInName(const char *name)
{
    for (; *name; ++name)
        if (isDigit(*name))
            return name;
    return NULL;
}
