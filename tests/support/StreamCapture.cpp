#include "StreamCapture.h"

#include <fcntl.h>
#include <io.h>

#include "TempFolder.h"

StreamCapture::StreamCapture(FILE *stream, const std::string &file) : stream_(stream), file_(file)
{
    fflush(stream_);
    saved_ = _dup(_fileno(stream_));
    int fd = _open(file_.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, 0600);
    _dup2(fd, _fileno(stream_));
    _close(fd);
}

std::string StreamCapture::finish()
{
    fflush(stream_);
    _dup2(saved_, _fileno(stream_));
    _close(saved_);
    return readFile(file_);
}
