#include "ui/ProgressWindow.h"

#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>
#include <commctrl.h>

#include "KovrelVersion.h"
#include "UnitTest.h"
#include "launcher/SystemLibrary.h"
#include "logging/Logging.h"
#include "text/Utf8.h"
#include "ui/uiText.h"

#define WIDE2(text) L##text
#define WIDE(text) WIDE2(text)
static const wchar_t product[] = WIDE(KOVREL_PRODUCT_NAME);
static const wchar_t windowClass[] = L"KovrelProgress";

// A quick run never shows the window; at most this many updates a second reach it.
static const DWORD appearAfterMs = 1000, postEveryMs = 100;
// Every file's share of the bar.
static const int barPerFile = 1000;

enum { ID_PRODUCT = 99, ID_HOST = 100, ID_STEP, ID_BAR, ID_RATE, ID_START };
#define WM_PROGRESS (WM_APP + 1)

struct ProgressWindow {
    CRITICAL_SECTION lock;
    HANDLE thread;
    HANDLE over;        // manual reset: the window is to close (or never appear)
    volatile LONG stop; // ProgressStop, set by the window's thread
    HANDLE stopped;     // manual reset: set with stop
    TransferSink sink;
    wchar_t host[256];
    LANGID language; // the string table's language
    // Shared with the window's thread, under lock.
    HWND hwnd;        // once the window exists
    bool noLater;     // not shown yet: never shown (the run is starting)
    bool offerStart;
    ProgressStep step;
    wchar_t file[MAX_PATH]; // the file started last
    unsigned n, m;          // its number, and the files to fetch
    unsigned done, share;   // files ended; the running transfers' thousandths of a file
    long long expected, received; // of the running transfer(s)
    long long fetched;      // bytes received since rateStart
    DWORD rateStart;        // tick at the first byte report of the transfer or the fetch
    DWORD lastPost;
    // Set by the window's thread, logged once it has ended: the log is the
    // run's thread's alone.
    bool noControls;
    DWORD controlsError;
};

// --- text ---------------------------------------------------------------------

// The user's UI language as the string table holds it: Spanish, or English.
static LANGID tableLanguage(void)
{
    return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_SPANISH ? MAKELANGID(LANG_SPANISH, SUBLANG_NEUTRAL)
                                                                      : MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
}

// String id of the table in language, into out; empty when missing. A block of
// the table holds 16 counted strings.
static const wchar_t *loadText(LANGID language, UINT id, wchar_t *out, size_t size)
{
    out[0] = L'\0';
    HRSRC found = FindResourceExW(NULL, (LPCWSTR)RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), language);
    if (!found)
        found = FindResourceExW(NULL, (LPCWSTR)RT_STRING, MAKEINTRESOURCEW(id / 16 + 1),
                                MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    const WCHAR *p = found ? (const WCHAR *)LockResource(LoadResource(NULL, found)) : NULL;
    if (!p)
        return out;
    for (UINT i = 0; i < id % 16; ++i)
        p += 1 + *p;
    size_t len = *p < size ? *p : size - 1;
    wmemcpy(out, p + 1, len);
    out[len] = L'\0';
    return out;
}

// The table's text id used as a format.
static void formatText(LANGID language, wchar_t *out, size_t size, UINT id, ...)
{
    wchar_t format[512];
    loadText(language, id, format, sizeof format / sizeof *format);
    va_list args;
    va_start(args, id);
    vswprintf(out, size, format, args);
    va_end(args);
    out[size - 1] = L'\0';
}

UNITTEST void progressSize(long long bytes, wchar_t *out, size_t size)
{
    static const wchar_t *const units[] = {L"KB", L"MB", L"GB"};
    if (bytes < 1024) {
        swprintf(out, size, L"%lld B", bytes);
        return;
    }
    double value = bytes / 1024.0;
    int unit = 0;
    for (; value >= 1024.0 && unit < 2; ++unit)
        value /= 1024.0;
    swprintf(out, size, L"%.1f %ls", value, units[unit]);
}

UNITTEST void progressBar(unsigned n, unsigned m, long long expected, long long received, int *range, int *position)
{
    // The manifest gives no file sizes: the bar counts files, and the files
    // being fetched fill their shares by their bytes when their lengths are
    // known. Side by side, received of expected spans several files.
    long long files = n ? m : 1, done = n ? n - 1 : 0;
    if (files > INT_MAX / barPerFile)
        files = INT_MAX / barPerFile;
    long long part = expected > 0 && received > 0 ? received * barPerFile / expected : 0;
    long long position64 = done * barPerFile + part;
    *range = (int)(files * barPerFile);
    *position = (int)(position64 < *range ? position64 : *range);
}

// --- the window -------------------------------------------------------------------

struct Layout {
    HFONT font; // the message font at the window's DPI
};

static UINT windowDpi(HWND hwnd)
{
    typedef UINT(WINAPI * GetDpiForWindowFn)(HWND);
    static GetDpiForWindowFn getDpi =
        (GetDpiForWindowFn)(void *)GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow");
    UINT dpi = getDpi ? getDpi(hwnd) : 0;
    if (!dpi) {
        HDC dc = GetDC(hwnd);
        dpi = dc ? (UINT)GetDeviceCaps(dc, LOGPIXELSY) : 96;
        if (dc)
            ReleaseDC(hwnd, dc);
    }
    return dpi ? dpi : 96;
}

// The system's message font at dpi.
static HFONT messageFont(UINT dpi)
{
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        return NULL;
    // The system's metrics are at the system's DPI.
    HDC dc = GetDC(NULL);
    int systemDpi = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
    if (dc)
        ReleaseDC(NULL, dc);
    metrics.lfMessageFont.lfHeight = MulDiv(metrics.lfMessageFont.lfHeight, (int)dpi, systemDpi ? systemDpi : 96);
    return CreateFontIndirectW(&metrics.lfMessageFont);
}

// Places the controls for the window's DPI (sizes in pixels at 96 DPI), with
// the system's message font at that DPI; resize fits the window around them.
static void layOut(HWND hwnd, bool resize)
{
    Layout *layout = (Layout *)GetWindowLongPtrW(hwnd, GWLP_USERDATA);
    UINT dpi = windowDpi(hwnd);
    if (layout->font)
        DeleteObject(layout->font);
    layout->font = messageFont(dpi);
    auto px = [dpi](int dip) { return MulDiv(dip, (int)dpi, 96); };
    const int width = 360, margin = 12, line = 18, startW = 170, cancelW = 90, buttonH = 26,
              buttonsY = margin + 5 * line + 22;
    const struct {
        int id, x, y, w, h;
    } places[] = {
        {ID_PRODUCT, margin, margin, width - 2 * margin, line},
        {ID_HOST, margin, margin + line, width - 2 * margin, line},
        {ID_STEP, margin, margin + 2 * line + 8, width - 2 * margin, line},
        {ID_BAR, margin, margin + 3 * line + 14, width - 2 * margin, 18},
        {ID_RATE, margin, margin + 4 * line + 18, width - 2 * margin, line},
        {ID_START, width - margin - cancelW - 8 - startW, buttonsY, startW, buttonH},
        {IDCANCEL, width - margin - cancelW, buttonsY, cancelW, buttonH},
    };
    for (const auto &p : places) {
        HWND control = GetDlgItem(hwnd, p.id);
        SetWindowPos(control, NULL, px(p.x), px(p.y), px(p.w), px(p.h), SWP_NOZORDER | SWP_NOACTIVATE);
        SendMessageW(control, WM_SETFONT, (WPARAM)layout->font, TRUE);
    }
    if (resize) {
        RECT r = {0, 0, px(width), px(buttonsY + buttonH + margin)};
        AdjustWindowRectEx(&r, (DWORD)GetWindowLongW(hwnd, GWL_STYLE), FALSE, (DWORD)GetWindowLongW(hwnd, GWL_EXSTYLE));
        SetWindowPos(hwnd, NULL, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOZORDER | SWP_NOMOVE | SWP_NOACTIVATE);
    }
}

// Shows the shared state in the window.
static void showState(ProgressWindow *w)
{
    EnterCriticalSection(&w->lock);
    ProgressStep step = w->step;
    wchar_t file[MAX_PATH];
    wcscpy_s(file, MAX_PATH, w->file);
    unsigned n = w->n, m = w->m, done = w->done, share = w->share;
    long long expected = w->expected, received = w->received, fetched = w->fetched;
    DWORD elapsed = GetTickCount() - w->rateStart;
    bool offer = w->offerStart;
    HWND hwnd = w->hwnd;
    LeaveCriticalSection(&w->lock);

    wchar_t text[600];
    static const UINT stepText[] = {IDS_CONNECTING, IDS_CHECKING, IDS_DOWNLOADING, IDS_STARTING};
    if (w->stop == STOP_CANCEL)
        loadText(w->language, IDS_CANCELLING, text, 600);
    else
        formatText(w->language, text, 600, stepText[step], file, n, m);
    SetDlgItemTextW(hwnd, ID_STEP, text);
    // The title names the product and the step, for screen readers and the taskbar.
    wchar_t title[700];
    swprintf(title, 700, L"%ls - %ls", product, text);
    title[699] = L'\0';
    SetWindowTextW(hwnd, title);

    // Fetching, the files ended and the running ones' shares; otherwise the
    // one transfer's bytes.
    int range, position;
    if (step == STEP_DOWNLOADING)
        progressBar(done + 1, m, barPerFile, share, &range, &position);
    else
        progressBar(0, 0, expected, received, &range, &position);
    HWND bar = GetDlgItem(hwnd, ID_BAR);
    SendMessageW(bar, PBM_SETRANGE32, 0, range);
    SendMessageW(bar, PBM_SETPOS, position, 0);

    // Rate and time left of the current download(s), once there is something to go by.
    text[0] = L'\0';
    if (expected > 0 && received > 0 && fetched > 0 && elapsed >= 500) {
        double rate = fetched * 1000.0 / elapsed;
        unsigned left = (unsigned)((expected - received) / (rate > 1 ? rate : 1));
        wchar_t got[32], all[32], per[32], remaining[64];
        progressSize(received, got, 32);
        progressSize(expected, all, 32);
        progressSize((long long)rate, per, 32);
        if (left >= 60)
            formatText(w->language, remaining, 64, IDS_MINUTES, left / 60, left % 60);
        else
            formatText(w->language, remaining, 64, IDS_SECONDS, left);
        formatText(w->language, text, 600, IDS_RATE, got, all, per, remaining);
    }
    SetDlgItemTextW(hwnd, ID_RATE, text);
    HWND start = GetDlgItem(hwnd, ID_START);
    bool offered = offer && w->stop == STOP_NONE;
    if (!offered && GetFocus() == start)
        SetFocus(GetDlgItem(hwnd, IDCANCEL));
    ShowWindow(start, offered ? SW_SHOWNA : SW_HIDE);
    EnableWindow(start, offered);
    EnableWindow(GetDlgItem(hwnd, IDCANCEL), w->stop == STOP_NONE);
}

// The first request counts: Cancel after Start changes nothing. Start counts
// only while it is offered, judged under the lock with the offer: a click
// still queued when the run withdrew it would otherwise be taken after the run
// has looked, start nothing, and leave Cancel disabled for the rest of the run.
static void askStop(ProgressWindow *w, ProgressStop stop)
{
    EnterCriticalSection(&w->lock);
    if (stop != STOP_START_NOW || w->offerStart)
        InterlockedCompareExchange(&w->stop, stop, STOP_NONE);
    LeaveCriticalSection(&w->lock);
    if (w->stop != STOP_NONE)
        SetEvent(w->stopped);
    showState(w);
}

static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    ProgressWindow *w = (ProgressWindow *)GetPropW(hwnd, L"KovrelRun");
    switch (message) {
    case WM_PROGRESS:
        if (w)
            showState(w);
        return 0;
    case WM_COMMAND:
        if (w && LOWORD(wParam) == IDCANCEL)
            askStop(w, STOP_CANCEL);
        else if (w && LOWORD(wParam) == ID_START)
            askStop(w, STOP_START_NOW);
        return 0;
    case WM_CLOSE: // the title bar's close box: Cancel
        if (w)
            askStop(w, STOP_CANCEL);
        return 0;
    case 0x02E0: { // WM_DPICHANGED: the suggested rectangle, then the controls
        const RECT *r = (const RECT *)lParam;
        SetWindowPos(hwnd, NULL, r->left, r->top, r->right - r->left, r->bottom - r->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        layOut(hwnd, false);
        return 0;
    }
    case WM_DESTROY: {
        Layout *layout = (Layout *)GetWindowLongPtrW(hwnd, GWLP_USERDATA);
        if (layout && layout->font)
            DeleteObject(layout->font);
        free(layout);
        RemovePropW(hwnd, L"KovrelRun");
        return 0;
    }
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

static HWND control(HWND parent, const wchar_t *cls, const wchar_t *text, DWORD style, int id)
{
    return CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, parent, (HMENU)(INT_PTR)id,
                           GetModuleHandleW(NULL), NULL);
}

// The window with its controls, hidden; null when none can be made.
static HWND makeWindow(ProgressWindow *w)
{
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = windowProc;
    wc.hInstance = GetModuleHandleW(NULL);
    wc.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    wc.lpszClassName = windowClass;
    RegisterClassExW(&wc);
    Layout *layout = (Layout *)calloc(1, sizeof *layout);
    HWND hwnd = !layout ? NULL : CreateWindowExW(WS_EX_CONTROLPARENT, windowClass, product,
                                WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN, CW_USEDEFAULT,
                                CW_USEDEFAULT, 400, 200, NULL, NULL, GetModuleHandleW(NULL), NULL);
    if (!hwnd) {
        free(layout);
        return NULL;
    }
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, (LONG_PTR)layout);
    // The common controls weigh a fifth of a start-up: loaded only once a
    // window exists to hold them.
    typedef BOOL(WINAPI * InitCommonControlsExFn)(const INITCOMMONCONTROLSEX *);
    HMODULE comctl32 = systemLibrary(L"comctl32.dll");
    auto initControls =
        (InitCommonControlsExFn)(void *)(comctl32 ? GetProcAddress(comctl32, "InitCommonControlsEx") : NULL);
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    if (!initControls || !initControls(&controls)) {
        w->noControls = true;
        w->controlsError = GetLastError();
        DestroyWindow(hwnd);
        return NULL;
    }
    wchar_t text[300];
    formatText(w->language, text, 300, IDS_SERVER, w->host);
    // Creation order is the tab order: Start, then Cancel.
    control(hwnd, L"STATIC", product, SS_LEFT | SS_NOPREFIX, ID_PRODUCT);
    control(hwnd, L"STATIC", text, SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, ID_HOST);
    control(hwnd, L"STATIC", L"", SS_LEFT | SS_NOPREFIX | SS_PATHELLIPSIS, ID_STEP);
    control(hwnd, PROGRESS_CLASSW, L"", 0, ID_BAR);
    control(hwnd, L"STATIC", L"", SS_LEFT | SS_NOPREFIX, ID_RATE);
    control(hwnd, L"BUTTON", loadText(w->language, IDS_START, text, 300), BS_PUSHBUTTON | WS_TABSTOP, ID_START);
    control(hwnd, L"BUTTON", loadText(w->language, IDS_CANCEL, text, 300), BS_DEFPUSHBUTTON | WS_TABSTOP,
            IDCANCEL);
    layOut(hwnd, true);
    // In the middle of the work area.
    RECT area, r;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    GetWindowRect(hwnd, &r);
    SetWindowPos(hwnd, NULL, area.left + (area.right - area.left - (r.right - r.left)) / 2,
                 area.top + (area.bottom - area.top - (r.bottom - r.top)) / 2, 0, 0, SWP_NOZORDER | SWP_NOSIZE);
    return hwnd;
}

static DWORD WINAPI windowThread(void *parameter)
{
    ProgressWindow *w = (ProgressWindow *)parameter;
    if (WaitForSingleObject(w->over, appearAfterMs) != WAIT_TIMEOUT)
        return 0;
    EnterCriticalSection(&w->lock);
    bool later = !w->noLater;
    LeaveCriticalSection(&w->lock);
    if (!later)
        return 0;
    HWND hwnd = makeWindow(w);
    if (!hwnd)
        return 0;
    SetPropW(hwnd, L"KovrelRun", w);
    EnterCriticalSection(&w->lock);
    w->hwnd = hwnd;
    // The run may have started the client while the window was being made.
    later = !w->noLater;
    LeaveCriticalSection(&w->lock);
    if (later) {
        showState(w);
        ShowWindow(hwnd, SW_SHOWNORMAL);
        SetFocus(GetDlgItem(hwnd, IDCANCEL));
        for (;;) {
            DWORD woke = MsgWaitForMultipleObjects(1, &w->over, FALSE, INFINITE, QS_ALLINPUT);
            if (woke != WAIT_OBJECT_0 + 1)
                break;
            MSG msg;
            while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
                // Tab between the buttons; Esc becomes IDCANCEL.
                if (!IsDialogMessageW(hwnd, &msg)) {
                    TranslateMessage(&msg);
                    DispatchMessageW(&msg);
                }
            }
        }
    }
    EnterCriticalSection(&w->lock);
    w->hwnd = NULL;
    LeaveCriticalSection(&w->lock);
    DestroyWindow(hwnd);
    return 0;
}

// Called with the lock held, after a change of the shared state: tells the
// window, at most every postEveryMs unless forced, and releases the lock.
static void changed(ProgressWindow *w, bool force)
{
    DWORD now = GetTickCount();
    HWND hwnd = w->hwnd;
    if (hwnd && (force || now - w->lastPost >= postEveryMs)) {
        w->lastPost = now;
        PostMessageW(hwnd, WM_PROGRESS, 0, 0);
    }
    LeaveCriticalSection(&w->lock);
}

// --- the sink ----------------------------------------------------------------------

static int sinkBytes(void *context, curl_off_t expected, curl_off_t received)
{
    ProgressWindow *w = (ProgressWindow *)context;
    EnterCriticalSection(&w->lock);
    if (received < w->received || (!w->expected && !w->received))
        w->rateStart = GetTickCount();
    bool done = expected > 0 && received == expected && w->received != received;
    w->expected = expected;
    w->received = w->fetched = received;
    changed(w, done);
    return w->stop != STOP_NONE;
}

static void sinkFetch(void *context, const FetchProgress *progress)
{
    ProgressWindow *w = (ProgressWindow *)context;
    EnterCriticalSection(&w->lock);
    if (w->step != STEP_DOWNLOADING) {
        w->step = STEP_DOWNLOADING;
        w->rateStart = GetTickCount();
    }
    // A file started or ended is shown at once.
    bool force = progress->number != w->n || progress->done != w->done;
    if (progress->name) {
        // The file's own name, without its folders.
        const char *base = progress->name;
        for (const char *p = progress->name; *p; ++p)
            if (*p == '/' || *p == '\\')
                base = p + 1;
        toWide(base, w->file, MAX_PATH);
    }
    w->n = progress->number;
    w->m = progress->count;
    w->done = progress->done;
    w->share = progress->runningShare;
    w->expected = progress->expected;
    w->received = progress->received;
    w->fetched = progress->fetched;
    changed(w, force);
}

static int sinkStopped(void *context)
{
    return ((ProgressWindow *)context)->stop == STOP_CANCEL;
}

// --- the run's calls ----------------------------------------------------------------

ProgressWindow *progressStart(bool show, const char *host)
{
    if (!show)
        return NULL;
    ProgressWindow *w = (ProgressWindow *)calloc(1, sizeof *w);
    if (!w)
        return NULL;
    InitializeCriticalSection(&w->lock);
    w->language = tableLanguage();
    w->sink.context = w;
    w->sink.bytes = sinkBytes;
    w->sink.fetch = sinkFetch;
    w->sink.stopped = sinkStopped;
    toWide(host, w->host, sizeof w->host / sizeof *w->host);
    w->over = CreateEventW(NULL, TRUE, FALSE, NULL);
    w->stopped = CreateEventW(NULL, TRUE, FALSE, NULL);
    w->thread = w->over && w->stopped ? CreateThread(NULL, 0, windowThread, w, 0, NULL) : NULL;
    if (!w->thread) {
        LogFormat(true, "Progress window - no thread for it: %lu", GetLastError());
        if (w->over)
            CloseHandle(w->over);
        if (w->stopped)
            CloseHandle(w->stopped);
        DeleteCriticalSection(&w->lock);
        free(w);
        return NULL;
    }
    return w;
}

void progressStep(ProgressWindow *w, ProgressStep step)
{
    if (!w)
        return;
    EnterCriticalSection(&w->lock);
    w->step = step;
    w->expected = w->received = w->fetched = 0;
    if (step == STEP_STARTING)
        w->noLater = true;
    changed(w, true);
}

void progressOfferStart(ProgressWindow *w, bool offer)
{
    if (!w)
        return;
    EnterCriticalSection(&w->lock);
    w->offerStart = offer;
    changed(w, true);
}

ProgressStop progressStopped(ProgressWindow *w)
{
    return w ? (ProgressStop)w->stop : STOP_NONE;
}

HANDLE progressStopEvent(ProgressWindow *w)
{
    return w ? w->stopped : NULL;
}

const TransferSink *progressSink(ProgressWindow *w)
{
    return w ? &w->sink : NULL;
}

// Closes the window and ends its thread; the record stays for a message box.
static void closeWindow(ProgressWindow *w)
{
    if (!w->thread)
        return;
    SetEvent(w->over);
    WaitForSingleObject(w->thread, INFINITE);
    CloseHandle(w->thread);
    w->thread = NULL;
    if (w->noControls)
        LogFormat(true, "Progress window - no common controls: %lu", w->controlsError);
}

// True where a window can be made: a visible window station, and a window
// (hidden) that the system actually creates. Wine without a display fails here.
static bool windowsPossible(void)
{
    USEROBJECTFLAGS flags = {};
    HWINSTA station = GetProcessWindowStation();
    if (station && GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, NULL) &&
        !(flags.dwFlags & WSF_VISIBLE))
        return false;
    HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, NULL, NULL, GetModuleHandleW(NULL), NULL);
    if (!probe)
        return false;
    DestroyWindow(probe);
    return true;
}

// A message box of the product's, once the window is closed; none where no
// window can be made.
static void messageBox(ProgressWindow *w, const wchar_t *text, UINT icon)
{
    closeWindow(w);
    if (!windowsPossible())
        return;
    MessageBoxW(NULL, text, product, MB_OK | icon | MB_SETFOREGROUND | MB_TOPMOST);
}

void progressError(ProgressWindow *w, ProgressError error, const char *subject)
{
    if (!w)
        return;
    // The log's place, as the log module opens it.
    wchar_t log[MAX_PATH];
    if (logFilePath(log) != 1)
        wcscpy_s(log, MAX_PATH, L"%TEMP%\\Kovrel.log");
    wchar_t wideSubject[512];
    toWide(subject ? subject : "", wideSubject, 512);
    static const UINT ids[] = {IDS_NO_SERVER,    IDS_REFUSED_SERVER, IDS_REFUSED_LINK,
                               IDS_LOCK_TIMEOUT, IDS_PASS_FAILED,    IDS_UNUSABLE_SETTING};
    wchar_t text[2048];
    if (ids[error] == IDS_REFUSED_LINK || ids[error] == IDS_LOCK_TIMEOUT)
        formatText(w->language, text, 2048, ids[error], log);
    else
        formatText(w->language, text, 2048, ids[error], wideSubject, log);
    messageBox(w, text, MB_ICONERROR);
}

void progressJavaNeeded(ProgressWindow *w, const char *minimum)
{
    if (!w)
        return;
    wchar_t text[1024];
    if (minimum && minimum[0])
        formatText(w->language, text, 1024, IDS_JAVA_NEWER, minimum);
    else
        loadText(w->language, IDS_JAVA_NEEDED, text, 1024);
    messageBox(w, text, MB_ICONINFORMATION);
}

void progressFinish(ProgressWindow **window)
{
    ProgressWindow *w = *window;
    if (!w)
        return;
    closeWindow(w);
    CloseHandle(w->over);
    CloseHandle(w->stopped);
    DeleteCriticalSection(&w->lock);
    free(w);
    *window = NULL;
}
